#include "LevelMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace veltrin::cli {

void LevelMeter::add(const float *interleaved, int channels, int frames)
{
    if (channels <= 0 || frames <= 0 || interleaved == nullptr)
        return;
    if (channels != m_channels) {
        m_channels = channels;
        m_frames = 0;
        m_squares.assign(static_cast<size_t>(channels), 0.0);
        m_peaks.assign(static_cast<size_t>(channels), 0.0f);
    }
    for (int f = 0; f < frames; ++f) {
        const float *frame = interleaved + static_cast<size_t>(f) * static_cast<size_t>(channels);
        for (int c = 0; c < channels; ++c) {
            const float x = frame[c];
            m_squares[static_cast<size_t>(c)] += static_cast<double>(x) * x;
            m_peaks[static_cast<size_t>(c)] =
                std::max(m_peaks[static_cast<size_t>(c)], std::fabs(x));
        }
    }
    m_frames += frames;
}

std::string LevelMeter::takeLine(const std::string &label)
{
    std::string line = label;
    if (m_frames == 0) {
        line += "  no audio";
    } else {
        line += "  rms";
        for (double squares : m_squares)
            line += " " + decibels(std::sqrt(squares / static_cast<double>(m_frames)));
        line += "  peak";
        for (float peak : m_peaks)
            line += " " + decibels(peak);
        line += " dBFS";
    }
    m_frames = 0;
    std::fill(m_squares.begin(), m_squares.end(), 0.0);
    std::fill(m_peaks.begin(), m_peaks.end(), 0.0f);
    return line;
}

std::string LevelMeter::decibels(double amplitude)
{
    if (!(amplitude > 0.0))
        return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", 20.0 * std::log10(amplitude));
    return text;
}

} // namespace veltrin::cli
