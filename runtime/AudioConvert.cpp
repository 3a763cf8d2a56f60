#include "AudioConvert.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace veltrin::rt {

namespace {

// Channel c of a planar frame, given its stride in bytes (0 means tightly packed).
inline float *planarChannel(float *base, int channel, int strideBytes, int samples)
{
    const std::ptrdiff_t strideFloats =
        strideBytes > 0 ? strideBytes / static_cast<int>(sizeof(float)) : samples;
    return base + static_cast<std::ptrdiff_t>(channel) * strideFloats;
}

// Frames per tile for the general case: a tile of every channel's frames stays in the first
// level cache, so the strided side is written (or read) there and not in memory.
constexpr int kTile = 16;

// A known channel count lets the compiler turn the inner loop into vector shuffles.
template <int Channels> void interleaveFixed(float *const *in, float *__restrict out, int samples)
{
    for (int s = 0; s < samples; ++s)
        for (int c = 0; c < Channels; ++c)
            out[static_cast<std::ptrdiff_t>(s) * Channels + c] = in[c][s];
}

template <int Channels>
void deinterleaveFixed(const float *__restrict in, float *const *out, int samples)
{
    for (int s = 0; s < samples; ++s)
        for (int c = 0; c < Channels; ++c)
            out[c][s] = in[static_cast<std::ptrdiff_t>(s) * Channels + c];
}

void interleaveTiled(float *const *in, float *__restrict out, int channels, int samples)
{
    for (int s0 = 0; s0 < samples; s0 += kTile) {
        const int end = std::min(samples, s0 + kTile);
        for (int c = 0; c < channels; ++c) {
            const float *__restrict src = in[c];
            for (int s = s0; s < end; ++s)
                out[static_cast<std::ptrdiff_t>(s) * channels + c] = src[s];
        }
    }
}

void deinterleaveTiled(const float *__restrict in, float *const *out, int channels, int samples)
{
    for (int s0 = 0; s0 < samples; s0 += kTile) {
        const int end = std::min(samples, s0 + kTile);
        for (int c = 0; c < channels; ++c) {
            float *__restrict dst = out[c];
            for (int s = s0; s < end; ++s)
                dst[s] = in[static_cast<std::ptrdiff_t>(s) * channels + c];
        }
    }
}

// More channels than the engine ever uses: plain loops, no table of channel pointers.
constexpr int kMaxPointers = 64;

void interleaveWide(const NDIlib_audio_frame_v2_t &src, float *out)
{
    for (int c = 0; c < src.no_channels; ++c) {
        const float *in = planarChannel(src.p_data, c, src.channel_stride_in_bytes, src.no_samples);
        for (int s = 0; s < src.no_samples; ++s)
            out[static_cast<std::ptrdiff_t>(s) * src.no_channels + c] = in[s];
    }
}

void deinterleaveWide(const float *in, NDIlib_audio_frame_v2_t &dst)
{
    for (int c = 0; c < dst.no_channels; ++c) {
        float *out = planarChannel(dst.p_data, c, dst.channel_stride_in_bytes, dst.no_samples);
        for (int s = 0; s < dst.no_samples; ++s)
            out[s] = in[static_cast<std::ptrdiff_t>(s) * dst.no_channels + c];
    }
}

// Copies rate, channel count, sample count and timecode from src to dst; true when there are
// samples to move between two buffers.
template <typename From, typename To> bool copyFormat(const From &src, To &dst)
{
    dst.sample_rate = src.sample_rate;
    dst.no_channels = src.no_channels;
    dst.no_samples = src.no_samples;
    dst.timecode = src.timecode;
    return dst.p_data != nullptr && src.p_data != nullptr && src.no_channels > 0
           && src.no_samples > 0;
}

} // namespace

void planarToInterleaved(const NDIlib_audio_frame_v2_t &src,
                         NDIlib_audio_frame_interleaved_32f_t &dst)
{
    if (!copyFormat(src, dst))
        return;
    const int channels = src.no_channels;
    const int samples = src.no_samples;
    if (channels > kMaxPointers) {
        interleaveWide(src, dst.p_data);
        return;
    }
    float *in[kMaxPointers];
    for (int c = 0; c < channels; ++c)
        in[c] = planarChannel(src.p_data, c, src.channel_stride_in_bytes, samples);
    switch (channels) {
    case 1:
        std::memcpy(dst.p_data, in[0], static_cast<size_t>(samples) * sizeof(float));
        break;
    case 2:
        interleaveFixed<2>(in, dst.p_data, samples);
        break;
    case 4:
        interleaveFixed<4>(in, dst.p_data, samples);
        break;
    default:
        interleaveTiled(in, dst.p_data, channels, samples);
    }
}

void interleavedToPlanar(const NDIlib_audio_frame_interleaved_32f_t &src,
                         NDIlib_audio_frame_v2_t &dst)
{
    if (!copyFormat(src, dst))
        return;
    const int channels = src.no_channels;
    const int samples = src.no_samples;
    if (channels > kMaxPointers) {
        deinterleaveWide(src.p_data, dst);
        return;
    }
    float *out[kMaxPointers];
    for (int c = 0; c < channels; ++c)
        out[c] = planarChannel(dst.p_data, c, dst.channel_stride_in_bytes, samples);
    switch (channels) {
    case 1:
        std::memcpy(out[0], src.p_data, static_cast<size_t>(samples) * sizeof(float));
        break;
    case 2:
        deinterleaveFixed<2>(src.p_data, out, samples);
        break;
    case 4:
        deinterleaveFixed<4>(src.p_data, out, samples);
        break;
    default:
        deinterleaveTiled(src.p_data, out, channels, samples);
    }
}

} // namespace veltrin::rt
