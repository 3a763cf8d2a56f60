#include "ToneCheck.h"

#include <cmath>
#include <sstream>

namespace tonecheck {

Reading measure(const float *samples, size_t count, size_t stride, double rate)
{
    Reading r;
    if (count == 0)
        return r;
    double squares = 0.0;
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = 0; i < count; ++i) {
        const double v = samples[i * stride];
        squares += v * v;
        if (i == 0)
            continue;
        const double previous = samples[(i - 1) * stride];
        if (previous < 0.0 && v >= 0.0) {
            // Where the straight line between the two samples crosses zero, in samples.
            const double at = static_cast<double>(i - 1) + previous / (previous - v);
            if (crossings == 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    r.rms = std::sqrt(squares / static_cast<double>(count));
    if (crossings >= 2 && last > first)
        r.frequency = (crossings - 1) * rate / (last - first);
    return r;
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
    const size_t channels = tones.size();
    if (channels == 0 || window == 0)
        return 0;
    const size_t windows = interleaved.size() / channels / window;
    int matching = 0;
    for (size_t w = 0; w < windows; ++w) {
        const float *start = interleaved.data() + w * window * channels;
        size_t bad = channels;
        Reading reading;
        for (size_t c = 0; c < channels && bad == channels; ++c) {
            reading = measure(start + c, window, channels, rate);
            if (!matches(reading, tones[c]))
                bad = c;
        }
        if (bad == channels) {
            ++matching;
        } else if (mismatch != nullptr) {
            std::ostringstream text;
            text << "window " << w << " channel " << bad << ": rms " << reading.rms
                 << ", frequency " << reading.frequency << " Hz (expected rms "
                 << tones[bad].amplitude / std::sqrt(2.0) << ", " << tones[bad].frequency << " Hz)";
            *mismatch = text.str();
        }
    }
    return matching;
}

} // namespace tonecheck
