// The level tap under a reader that hammers it while blocks flow: every snapshot must be one
// whole block, never a mix of two, and the storage must never be read past a block's end.
#include "LevelTap.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

namespace {

// Block k: (k % 7 + 1) channels of (k % 300 + 1) frames at k + 8000 Hz, every sample k.
bool whole(const LevelTap::Block &b)
{
    const int k = int(b.samples.front());
    return b.channels == k % 7 + 1 && b.frames == k % 300 + 1 && b.sampleRate == k + 8000
           && b.samples == std::vector<float>(size_t(b.channels * b.frames), float(k));
}

// The writer never skips; clear() always lands.
TEST(LevelTap, ReaderNeverSeesATornBlock)
{
    LevelTap tap;
    std::atomic<bool> done{false};
    std::atomic<long> checked{0}, torn{0};
    std::thread reader([&] {
        for (LevelTap::Block block; !done.load(); tap.snapshot(block))
            if (block.frames > 0 && (++checked, !whole(block)))
                ++torn;
    });
    // At least 40000 blocks, and on until the reader has checked a thousand of them: on a loaded
    // machine the reader may not run at all while the first blocks go by. Block numbers stay
    // below 2^20, so each is exact as a float.
    std::vector<float> samples(7 * 300);
    int k = 0, published = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (; k < 40000
           || (checked < 1000 && k < (1 << 20) && std::chrono::steady_clock::now() < giveUp);
         ++k) {
        std::fill(samples.begin(), samples.end(), float(k));
        published += tap.publish(samples.data(), k % 7 + 1, k % 300 + 1, k + 8000) ? 1 : 0;
    }
    tap.clear();
    done = true;
    reader.join();
    LevelTap::Block last;
    tap.snapshot(last);
    EXPECT_EQ(
        std::make_tuple(published, torn.load(), checked > 0, last.frames, last.samples.size()),
        std::make_tuple(k, 0, true, 0, 0u));
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
