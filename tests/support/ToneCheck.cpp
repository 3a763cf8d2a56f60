#include "ToneCheck.h"

#include <cmath>

namespace tonecheck {

Reading measure(const float *samples, size_t count, size_t stride, double rate)
{
    double squares = 0.0, first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = 0; i < count; ++i) {
        const double v = samples[i * stride], previous = i > 0 ? samples[(i - 1) * stride] : 0.0;
        squares += v * v;
        if (i > 0 && previous < 0.0 && v >= 0.0) {
            // Where the straight line between the two samples crosses zero, in samples.
            last = static_cast<double>(i - 1) + previous / (previous - v);
            first = crossings++ == 0 ? last : first;
        }
    }
    return {count == 0 ? 0.0 : std::sqrt(squares / static_cast<double>(count)),
            crossings >= 2 && last > first ? (crossings - 1) * rate / (last - first) : 0.0};
}

bool matches(const Reading &reading, const Tone &tone)
{
    if (tone.amplitude <= 0.0)
        return reading.rms < 1e-4;
    const double expected = tone.amplitude / std::sqrt(2.0);
    return reading.rms > 0.0 && std::fabs(20.0 * std::log10(reading.rms / expected)) <= 1.0
           && std::fabs(reading.frequency - tone.frequency) <= 0.01 * tone.frequency;
}

int matchingWindows(const std::vector<float> &interleaved, const std::vector<Tone> &tones,
                    size_t window, double rate, std::string *mismatch)
{
    const size_t channels = tones.size(), frames = channels * window;
    int matching = 0;
    for (size_t w = 0; frames > 0 && w < interleaved.size() / frames; ++w) {
        size_t c = 0;
        Reading r;
        while (
            c < channels
            && matches(r = measure(&interleaved[w * frames + c], window, channels, rate), tones[c]))
            ++c;
        matching += c == channels;
        if (c < channels && mismatch != nullptr)
            *mismatch = "window " + std::to_string(w) + " channel " + std::to_string(c) + ": rms "
                        + std::to_string(r.rms) + ", " + std::to_string(r.frequency) + " Hz";
    }
    return matching;
}

} // namespace tonecheck
