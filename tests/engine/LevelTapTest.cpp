// The level tap under a reader that hammers it while blocks flow: every snapshot must be one
// whole block, never a mix of two, and the storage must never be read past a block's end.
#include "LevelTap.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

namespace {

// Block k: (k % 7 + 1) channels of (k % 300 + 1) frames at k + 8000 Hz, every sample k; from the
// second writer, 64 x 64 frames of 2e6 + k.
bool whole(const LevelTap::Block &b)
{
    const float k = b.samples.front();
    const int n = int(k);
    return (k >= 2e6f
                ? b.channels == 64 && b.frames == 64
                : b.channels == n % 7 + 1 && b.frames == n % 300 + 1 && b.sampleRate == n + 8000)
           && b.samples == std::vector<float>(size_t(b.channels * b.frames), k);
}

// One writer never skips; a second one at once skips rather than mixes; clear() always lands.
TEST(LevelTap, ReaderNeverSeesATornBlock)
{
    for (const bool twoWriters : {false, true}) {
        LevelTap tap;
        std::atomic<bool> done{false};
        std::atomic<long> checked{0}, torn{0};
        std::thread reader([&] {
            for (LevelTap::Block block; !done.load(); tap.snapshot(block))
                if (block.frames > 0 && (++checked, !whole(block)))
                    ++torn;
        });
        std::thread second([&] {
            std::vector<float> samples(64 * 64);
            for (int k = 0; twoWriters && k < 5000; ++k)
                tap.publish(
                    (std::fill(samples.begin(), samples.end(), 2e6f + float(k)), samples.data()),
                    64, 64, 48000);
        });
        // At least 40000 blocks, and on until the reader has checked a thousand of them: on a
        // loaded machine the reader may not run at all while the first blocks go by. Block
        // numbers stay below 2^20, so each is exact as a float and below the second writer's.
        std::vector<float> samples(7 * 300);
        int k = 0, published = 0;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (; k < 40000
               || (checked < 1000 && k < (1 << 20) && std::chrono::steady_clock::now() < giveUp);
             ++k) {
            std::fill(samples.begin(), samples.end(), float(k));
            published += tap.publish(samples.data(), k % 7 + 1, k % 300 + 1, k + 8000) ? 1 : 0;
        }
        second.join();
        tap.clear();
        done = true;
        reader.join();
        LevelTap::Block last;
        tap.snapshot(last);
        EXPECT_EQ(std::make_tuple(twoWriters || published == k, torn.load(), checked > 0,
                                  last.frames, last.samples.size()),
                  std::make_tuple(true, 0, true, 0, 0u))
            << twoWriters;
    }
}

// A block larger than the storage is cut to it; a missing buffer or a bad shape publishes nothing.
TEST(LevelTap, OversizedBlocksAreCutAndBadShapesPublishNothing)
{
    LevelTap tap;
    LevelTap::Block block;
    std::vector<float> big(size_t(80) * 9000, 0.25f);
    for (const int channels : {80, 2, -3}) {
        ASSERT_TRUE(tap.publish(channels == 2 ? nullptr : big.data(), channels, 9000, 48000));
        tap.snapshot(block);
        const bool cut = channels == 80;
        EXPECT_EQ(std::make_tuple(block.channels, block.frames, block.samples.size()),
                  std::make_tuple(cut ? LevelTap::kMaxChannels : block.channels,
                                  cut ? LevelTap::kMaxFrames : 0,
                                  cut ? size_t(LevelTap::kCapacity) : 0u));
    }
}

} // namespace
