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
    const int n = static_cast<int>(k);
    return (k >= 2e6f
                ? b.channels == 64 && b.frames == 64
                : b.channels == n % 7 + 1 && b.frames == n % 300 + 1 && b.sampleRate == n + 8000)
           && b.samples == std::vector<float>(static_cast<size_t>(b.channels * b.frames), k);
}

// One writer never skips; a second one at once skips rather than mixes; clear() always lands.
TEST(LevelTap, ReaderNeverSeesATornBlock)
{
    for (const bool twoWriters : {false, true}) {
        LevelTap tap;
        std::atomic<bool> done{false};
        std::atomic<long> checked{0}, torn{0};
        std::thread reader([&] {
            for (LevelTap::Block block; !done.load();) {
                tap.snapshot(block);
                checked += block.frames > 0 ? 1 : 0;
                torn += block.frames > 0 && !whole(block) ? 1 : 0;
            }
        });
        std::thread second([&] {
            std::vector<float> samples(64 * 64);
            for (int k = 0; twoWriters && k < 5000; ++k) {
                std::fill(samples.begin(), samples.end(), 2e6f + static_cast<float>(k));
                tap.publish(samples.data(), 64, 64, 48000);
            }
        });
        std::vector<float> samples(7 * 300);
        // At least 40000 blocks, and on until the reader has checked a thousand of them: on a
        // loaded machine the reader may not run at all while the first blocks go by. Block
        // numbers stay below 2^20, so each is exact as a float and below the second writer's.
        int k = 0, published = 0;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (; k < 40000
               || (checked < 1000 && k < (1 << 20) && std::chrono::steady_clock::now() < giveUp);
             ++k) {
            std::fill(samples.begin(), samples.end(), static_cast<float>(k));
            published += tap.publish(samples.data(), k % 7 + 1, k % 300 + 1, k + 8000) ? 1 : 0;
        }
        second.join();
        tap.clear();
        done = true;
        reader.join();
        EXPECT_TRUE(twoWriters || published == k);
        EXPECT_EQ(torn.load(), 0) << twoWriters;
        EXPECT_GT(checked.load(), 0);
        LevelTap::Block last;
        tap.snapshot(last);
        EXPECT_EQ(std::make_tuple(last.frames, last.samples.size()), std::make_tuple(0, 0u));
    }
}

// A block larger than the storage is cut to it; a missing buffer or a bad shape publishes nothing.
TEST(LevelTap, OversizedBlocksAreCutAndBadShapesPublishNothing)
{
    LevelTap tap;
    LevelTap::Block block;
    std::vector<float> big(static_cast<size_t>(80) * 9000, 0.25f);
    ASSERT_TRUE(tap.publish(big.data(), 80, 9000, 48000));
    tap.snapshot(block);
    EXPECT_EQ(std::make_tuple(block.channels, block.frames, block.samples.size()),
              std::make_tuple(LevelTap::kMaxChannels, LevelTap::kMaxFrames, size_t(LevelTap::kCapacity)));
    for (const int channels : {2, -3}) {
        ASSERT_TRUE(tap.publish(channels > 0 ? nullptr : big.data(), channels, 256, 48000));
        tap.snapshot(block);
        EXPECT_EQ(std::make_tuple(block.frames, block.samples.size()), std::make_tuple(0, 0u));
    }
}

} // namespace
