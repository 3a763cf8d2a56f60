// Levels of one direction of a stream over a window of blocks (one second for --meter): the RMS
// and the peak of every channel, in dBFS.
//
// Threads: one (the thread that polls the engine's level tap and prints).
#pragma once

#include <string>
#include <vector>

namespace veltrin::cli {

class LevelMeter
{
public:
    // Adds one block of channels * frames interleaved samples. A block with another channel
    // count than the blocks before it starts the window again.
    void add(const float *interleaved, int channels, int frames);

    // "in  rms -18.1 -18.3  peak -12.0 -12.2 dBFS" for the window so far, or "in  no audio"
    // when no block was added; then starts a new window.
    std::string takeLine(const std::string &label);

    // "-inf" for zero, else 20 log10(amplitude) with one decimal.
    static std::string decibels(double amplitude);

private:
    int m_channels = 0;
    long long m_frames = 0;
    std::vector<double> m_squares; // sum of squares per channel
    std::vector<float> m_peaks;    // largest magnitude per channel
};

} // namespace veltrin::cli
