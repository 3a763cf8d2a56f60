// The test signal that the transport tests send, a checker for what arrives, and the frame
// synchroniser they check it through.
//
// Frame k of channel c carries ((k mod 65536) - 32768) / 32768, negated on odd channels: every
// value is exact in float, and one value tells where in the sequence a block sits, so a
// receiver can check bit-exactness from wherever it joins, across lost periods. A frame that
// breaks the sequence is a jump (audio was lost) when the next one continues from it, and
// wrong (audio was altered) when it does not.
#pragma once

#include "FrameSync.h"
#include "NdiLib.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace veltrin::test {

inline float signalValue(int64_t frame, int channel)
{
    const float v = (float(frame % 65536) - 32768.f) / 32768.f;
    return channel % 2 == 0 ? v : -v;
}

// Frames `frame` .. frame + block - 1 of the signal, planar in `planar` (block * channels
// floats), as an audio frame that points into it.
inline NDIlib_audio_frame_v2_t signalBlock(int rate, int channels, int block, int64_t frame,
                                           std::vector<float> &planar)
{
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < block; ++i)
            planar[size_t(c) * size_t(block) + size_t(i)] = signalValue(frame + i, c);
    NDIlib_audio_frame_v2_t audio;
    audio.sample_rate = rate;
    audio.no_channels = channels;
    audio.no_samples = block;
    audio.p_data = planar.data();
    audio.channel_stride_in_bytes = block * int(sizeof(float));
    return audio;
}

// Sends the signal on an absolute schedule, like a sound card, while more(seconds sent) holds.
template <typename More, typename Send>
void sendPaced(int rate, int channels, int block, More more, Send send)
{
    std::vector<float> planar(size_t(block) * size_t(channels));
    const auto start = std::chrono::steady_clock::now();
    for (int64_t frame = 0; more(double(frame) / rate); frame += block) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(double(frame) / rate));
        send(signalBlock(rate, channels, block, frame, planar));
    }
}

// A frame synchroniser that keeps copying, whatever pace the arrivals seem to have. A busy
// machine can hold a sender's blocks back by half a millisecond over five seconds, which the
// default one takes for a clock 100 ppm slow and resamples, after which no sample is exact.
// The clock decision has tests of its own; these check that the transport alters nothing.
inline rt::FrameSyncConfig copyingSync()
{
    rt::FrameSyncConfig config;
    config.minDriftPpm = 1e9;
    config.passthroughHoldSeconds = 1e9;
    return config;
}

// Threads: one (the thread that captures).
class SignalChecker
{
public:
    explicit SignalChecker(int channels) : m_channels(channels) {}

    // One planar block of n frames with `stride` floats between channels.
    void feed(const float *planar, int stride, int n)
    {
        for (int i = 0; i < n; ++i) {
            bool silent = true;
            for (int c = 0; c < m_channels; ++c)
                silent = silent && planar[c * stride + i] == 0.f;
            if (silent) {
                // Also the value of frame 32768, once in 65536 frames: the check then simply
                // picks the sequence up again on the next frame.
                ++m_silent;
                m_expected = -1;
                continue;
            }
            const float first = planar[i];
            if (m_expected < 0)
                m_expected = int64_t(first * 32768.f + 32768.f);
            bool exact = true;
            for (int c = 0; c < m_channels; ++c)
                exact = exact && planar[c * stride + i] == signalValue(m_expected, c);
            if (exact) {
                ++m_exact;
                m_afterJump = false;
            } else if (!m_afterJump) {
                // A lost stretch: the sequence goes on from another place. Count it, follow it.
                ++m_jumps;
                m_afterJump = true;
                m_expected = int64_t(first * 32768.f + 32768.f);
            } else {
                // Not the signal at all (altered samples): wrong.
                ++m_wrong;
                m_expected = int64_t(first * 32768.f + 32768.f);
            }
            m_expected = (m_expected + 1) % 65536;
        }
    }

    int64_t jumps() const { return m_jumps; }
    int64_t exact() const { return m_exact; }
    int64_t wrong() const { return m_wrong; }
    int64_t silent() const { return m_silent; }
    void reset() { m_exact = m_wrong = m_silent = m_jumps = 0; }

private:
    int m_channels;
    int64_t m_expected = -1;
    int64_t m_exact = 0, m_wrong = 0, m_silent = 0, m_jumps = 0;
    bool m_afterJump = false;
};

} // namespace veltrin::test
