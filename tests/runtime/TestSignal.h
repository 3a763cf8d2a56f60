// The test signal that the transport tests and the sender program send.
//
// Frame k of channel c carries ((k mod 65536) - 32768) / 32768, negated on odd channels: every
// value is exact in float, and one value tells where in the sequence a block sits, so a
// receiver can check bit-exactness from wherever it joins, across lost periods.
#pragma once

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

} // namespace veltrin::test
