// The level tap under a reader that hammers it while blocks flow: every snapshot must be one
// whole block, never a mix of two, and the storage must never be read past a block's end.
#include "LevelTap.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

// Block k: (k % 7 + 1) channels of (k % 300 + 1) frames, every sample equal to k.
struct BlockShape {
    int channels, frames;
};
BlockShape shapeOf(int k)
{
    return {k % 7 + 1, k % 300 + 1};
}

TEST(LevelTap, ReaderNeverSeesATornBlock)
{
    LevelTap tap;
    std::atomic<bool> done{false};
    std::atomic<long> snapshots{0}, nonEmpty{0}, torn{0};

    std::thread reader([&] {
        LevelTap::Block block;
        while (!done.load()) {
            tap.snapshot(block);
            ++snapshots;
            if (block.frames == 0)
                continue;
            ++nonEmpty;
            const float k = block.samples.front();
            const BlockShape shape = shapeOf(static_cast<int>(k));
            bool ok = block.channels == shape.channels && block.frames == shape.frames
                      && block.samples.size() == static_cast<size_t>(shape.channels * shape.frames)
                      && block.sampleRate == static_cast<int>(k) + 8000;
            for (float v : block.samples)
                ok = ok && v == k;
            if (!ok)
                ++torn;
        }
    });

    std::vector<float> samples(7 * 300);
    // At least 40000 blocks, and on until the reader has checked a thousand of them: on a loaded
    // machine the reader may not run at all while the first blocks go by. Block numbers stay
    // below 2^24, so each is exact as a float.
    int blocks = 0, published = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (blocks < 40000
           || (nonEmpty.load() < 1000 && blocks < (1 << 24)
               && std::chrono::steady_clock::now() < giveUp)) {
        const int k = blocks++;
        const BlockShape shape = shapeOf(k);
        std::fill(samples.begin(), samples.end(), static_cast<float>(k));
        published += tap.publish(samples.data(), shape.channels, shape.frames, k + 8000) ? 1 : 0;
    }
    tap.clear();
    done = true;
    reader.join();

    EXPECT_EQ(published, blocks); // one writer never skips
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(nonEmpty.load(), 0);
    LevelTap::Block last;
    tap.snapshot(last);
    EXPECT_EQ(last.frames, 0);
    EXPECT_TRUE(last.samples.empty());
}

TEST(LevelTap, TwoWritersSkipRatherThanMixAndClearAlwaysLands)
{
    LevelTap tap;
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        LevelTap::Block block;
        while (!done.load()) {
            tap.snapshot(block);
            if (block.frames == 0)
                continue;
            const float k = block.samples.front();
            for (float v : block.samples)
                if (v != k)
                    ++torn;
        }
    });
    auto writer = [&](float base) {
        std::vector<float> samples(64 * 64);
        for (int k = 0; k < 5000; ++k) {
            std::fill(samples.begin(), samples.end(), base + static_cast<float>(k));
            tap.publish(samples.data(), 64, 64, 48000);
        }
    };
    std::thread a(writer, 0.0f), b(writer, 1e6f);
    a.join();
    b.join();
    tap.clear();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    LevelTap::Block last;
    tap.snapshot(last);
    EXPECT_EQ(last.frames, 0);
}

TEST(LevelTap, OversizedBlocksAreCutToTheStorageAndBadShapesPublishNothing)
{
    LevelTap tap;
    std::vector<float> big(static_cast<size_t>(80) * 9000, 0.25f);
    ASSERT_TRUE(tap.publish(big.data(), 80, 9000, 48000));
    LevelTap::Block block;
    tap.snapshot(block);
    EXPECT_EQ(block.channels, LevelTap::kMaxChannels);
    EXPECT_EQ(block.frames, LevelTap::kMaxFrames);
    EXPECT_EQ(block.samples.size(), static_cast<size_t>(LevelTap::kCapacity));

    ASSERT_TRUE(tap.publish(nullptr, 2, 256, 48000));
    tap.snapshot(block);
    EXPECT_EQ(block.frames, 0);
    ASSERT_TRUE(tap.publish(big.data(), -3, 256, 48000));
    tap.snapshot(block);
    EXPECT_EQ(block.frames, 0);
    EXPECT_TRUE(block.samples.empty());
}

} // namespace
