// Interleaving and de-interleaving as the engine uses them: with the caller's channel stride,
// and with the frame's description copied along.
#include "AudioConvert.h"

#include <gtest/gtest.h>
#include <vector>

using namespace veltrin::rt;

TEST(AudioConvert, RoundTripWithStrideKeepsEverySample)
{
    for (auto [channels, samples, stride] : {std::tuple{1, 1, 0},
                                             {2, 256, 256},
                                             {4, 100, 0},
                                             {64, 33, 40},
                                             {5, 2048, 2048},
                                             {80, 17, 20}}) {
        std::vector<float> interleaved(size_t(channels) * size_t(samples));
        for (size_t i = 0; i < interleaved.size(); ++i)
            interleaved[i] = float(i) * 0.5f - 7.f;
        NDIlib_audio_frame_interleaved_32f_t in;
        in.sample_rate = 96000;
        in.no_channels = channels;
        in.no_samples = samples;
        in.timecode = 42;
        in.p_data = interleaved.data();
        const int strideFloats = stride > 0 ? stride : samples;
        std::vector<float> planar(size_t(channels) * size_t(strideFloats), -1.f);
        NDIlib_audio_frame_v2_t mid;
        mid.p_data = planar.data();
        mid.channel_stride_in_bytes = stride * 4;
        interleavedToPlanar(in, mid);
        EXPECT_EQ(mid.sample_rate, 96000);
        EXPECT_EQ(mid.no_channels, channels);
        EXPECT_EQ(mid.no_samples, samples);
        EXPECT_EQ(mid.timecode, 42);
        for (int c = 0; c < channels; ++c)
            for (int s = 0; s < samples; ++s)
                ASSERT_EQ(planar[size_t(c) * size_t(strideFloats) + size_t(s)],
                          interleaved[size_t(s) * size_t(channels) + size_t(c)]);
        // Padding between channels is left alone.
        for (int c = 0; c < channels; ++c)
            for (int s = samples; s < strideFloats; ++s)
                ASSERT_EQ(planar[size_t(c) * size_t(strideFloats) + size_t(s)], -1.f);
        std::vector<float> back(interleaved.size(), 0.f);
        NDIlib_audio_frame_interleaved_32f_t out;
        out.p_data = back.data();
        planarToInterleaved(mid, out);
        EXPECT_EQ(back, interleaved);
        EXPECT_EQ(out.no_channels, channels);
        EXPECT_EQ(out.no_samples, samples);
        EXPECT_EQ(out.sample_rate, 96000);
        EXPECT_EQ(out.timecode, 42);
    }
}

TEST(AudioConvert, NullBuffersOnlyCopyTheDescription)
{
    NDIlib_audio_frame_v2_t src;
    src.no_channels = 3;
    src.no_samples = 10;
    src.sample_rate = 44100;
    NDIlib_audio_frame_interleaved_32f_t dst;
    planarToInterleaved(src, dst);
    EXPECT_EQ(dst.no_channels, 3);
    EXPECT_EQ(dst.no_samples, 10);
    EXPECT_EQ(dst.sample_rate, 44100);
    EXPECT_EQ(dst.p_data, nullptr);
}
