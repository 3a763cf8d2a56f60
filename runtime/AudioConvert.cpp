#include "AudioConvert.h"

#include <cstddef>

namespace veltrin::rt {

namespace {

// Channel c of a planar frame, given its stride in bytes (0 means tightly packed).
inline float *planarChannel(float *base, int channel, int strideBytes, int samples)
{
    const std::ptrdiff_t strideFloats =
        strideBytes > 0 ? strideBytes / static_cast<int>(sizeof(float)) : samples;
    return base + static_cast<std::ptrdiff_t>(channel) * strideFloats;
}

} // namespace

void planarToInterleaved(const NDIlib_audio_frame_v2_t &src,
                         NDIlib_audio_frame_interleaved_32f_t &dst)
{
    dst.sample_rate = src.sample_rate;
    dst.no_channels = src.no_channels;
    dst.no_samples = src.no_samples;
    dst.timecode = src.timecode;
    if (dst.p_data == nullptr || src.p_data == nullptr || src.no_channels <= 0
        || src.no_samples <= 0)
        return;
    const int channels = src.no_channels;
    const int samples = src.no_samples;
    float *__restrict out = dst.p_data;
    for (int c = 0; c < channels; ++c) {
        const float *__restrict in =
            planarChannel(src.p_data, c, src.channel_stride_in_bytes, samples);
        for (int s = 0; s < samples; ++s)
            out[static_cast<std::ptrdiff_t>(s) * channels + c] = in[s];
    }
}

void interleavedToPlanar(const NDIlib_audio_frame_interleaved_32f_t &src,
                         NDIlib_audio_frame_v2_t &dst)
{
    dst.sample_rate = src.sample_rate;
    dst.no_channels = src.no_channels;
    dst.no_samples = src.no_samples;
    dst.timecode = src.timecode;
    if (dst.p_data == nullptr || src.p_data == nullptr || src.no_channels <= 0
        || src.no_samples <= 0)
        return;
    const int channels = src.no_channels;
    const int samples = src.no_samples;
    const float *__restrict in = src.p_data;
    for (int c = 0; c < channels; ++c) {
        float *__restrict out = planarChannel(dst.p_data, c, dst.channel_stride_in_bytes, samples);
        for (int s = 0; s < samples; ++s)
            out[s] = in[static_cast<std::ptrdiff_t>(s) * channels + c];
    }
}

} // namespace veltrin::rt
