// Interleaving and de-interleaving as the engine uses them: with the caller's channel stride,
// with the frame's description copied along, and with no buffer at all.
#include "AudioConvert.h"

#include <gtest/gtest.h>
#include <vector>

using namespace veltrin::rt;

TEST(AudioConvert, RoundTripWithStrideKeepsEverySampleAndThePadding)
{
    for (auto [channels, samples, stride] :
         {std::tuple{1, 1, 0}, {2, 256, 256}, {4, 100, 0}, {64, 33, 40}, {80, 17, 20}}) {
        std::vector<float> interleaved(size_t(channels) * size_t(samples));
        for (size_t i = 0; i < interleaved.size(); ++i)
            interleaved[i] = float(i) * 0.5f - 7.f;
        NDIlib_audio_frame_interleaved_32f_t in{96000, channels, samples, 42, interleaved.data()};
        const int strideFloats = stride > 0 ? stride : samples;
        std::vector<float> planar(size_t(channels) * size_t(strideFloats), -1.f);
        NDIlib_audio_frame_v2_t mid{0, 0, 0, 0, planar.data(), stride * 4};
        interleavedToPlanar(in, mid);
        for (int c = 0; c < channels; ++c)
            for (int s = 0; s < strideFloats; ++s)
                ASSERT_EQ(planar[size_t(c) * size_t(strideFloats) + size_t(s)],
                          s < samples ? interleaved[size_t(s) * size_t(channels) + size_t(c)]
                                      : -1.f)
                    << channels << " channels, stride " << stride;
        std::vector<float> back(interleaved.size(), 0.f);
        NDIlib_audio_frame_interleaved_32f_t out{0, 0, 0, 0, back.data()};
        planarToInterleaved(mid, out);
        EXPECT_EQ(back, interleaved);
        EXPECT_EQ(std::tuple(out.sample_rate, out.no_channels, out.no_samples, out.timecode),
                  std::tuple(96000, channels, samples, int64_t(42)));
    }
    // No buffer: only the description is copied.
    const NDIlib_audio_frame_v2_t src{44100, 3, 10};
    NDIlib_audio_frame_interleaved_32f_t dst;
    planarToInterleaved(src, dst);
    EXPECT_EQ(std::tuple(dst.no_channels, dst.no_samples, dst.sample_rate),
              std::tuple(3, 10, 44100));
    EXPECT_EQ(dst.p_data, nullptr);
}
