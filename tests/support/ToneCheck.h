// Recognises known sine tones in audio that went through real devices: level and frequency per
// window, and how many windows carry on every channel its own tone. What arrives through a real
// audio server starts late and may lose a period now and then, which spoils the windows around
// it; a fault of the path (channels swapped or mixed, a wrong level or rate) spoils them all. So
// callers count matching windows anywhere, never compare from the first sample.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tonecheck {

// A sine of `frequency` Hz and peak `amplitude`; amplitude 0 stands for silence.
struct Tone {
    double frequency = 0.0;
    double amplitude = 0.0;
};

struct Reading {
    double rms = 0.0;
    double frequency = 0.0; // from the upward zero crossings; 0 when there are fewer than two
};

// Level and frequency of `count` samples taken every `stride` floats from `samples`.
Reading measure(const float *samples, size_t count, size_t stride, double rate);

// Within 1 dB of the tone's RMS level and 1 % of its frequency; for silence, below -80 dBFS.
bool matches(const Reading &reading, const Tone &tone);

// The number of windows of `window` frames of `interleaved` in which channel c matches tones[c]
// for every c. `mismatch`, when given, describes the last window that did not.
int matchingWindows(const std::vector<float> &interleaved, const std::vector<Tone> &tones,
                    size_t window, double rate, std::string *mismatch = nullptr);

} // namespace tonecheck
