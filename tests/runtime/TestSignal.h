// The test signal that the transport tests, the sender program and the fault bench send.
//
// Frame k of channel c carries ((k mod 65536) - 32768) / 32768, negated on odd channels: every
// value is exact in float, and one value tells where in the sequence a block sits, so a
// receiver can check bit-exactness from wherever it joins, across lost periods.
#pragma once

#include "NdiLib.h"

#include <cstddef>
#include <cstdint>
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
    const int32_t stride = block * int(sizeof(float));
    return {rate, channels, block, NDIlib_send_timecode_synthesize, planar.data(), stride};
}

} // namespace veltrin::test
