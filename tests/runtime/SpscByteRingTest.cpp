// The sender's lock-free ring between a producer and a consumer thread: records of every size
// arrive whole, in order, across wrap-arounds; a full ring refuses instead of overwriting.
#include "SpscByteRing.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using veltrin::rt::SpscByteRing;

TEST(SpscByteRing, RecordsArriveWholeAndInOrderAcrossThreads)
{
    SpscByteRing ring(1 << 14);
    constexpr uint32_t kRecords = 200000;
    std::thread producer([&] {
        std::mt19937 random(3);
        for (uint32_t k = 0; k < kRecords;) {
            const size_t size = 4 + random() % 3000;
            if (uint8_t *p = ring.reserve(size); p != nullptr) {
                std::memcpy(p, &k, 4);
                for (size_t i = 4; i < size; ++i)
                    p[i] = uint8_t(k + i);
                ring.commit();
                ++k;
            } else {
                std::this_thread::yield();
            }
        }
    });
    bool intact = true;
    for (uint32_t expected = 0; expected < kRecords;) {
        size_t size = 0;
        if (const uint8_t *p = ring.peek(size); p != nullptr) {
            uint32_t k = 0;
            std::memcpy(&k, p, 4);
            intact = intact && k == expected++ && size >= 4;
            for (size_t i = 4; i < size && intact; ++i)
                intact = p[i] == uint8_t(k + i);
            ring.release(size);
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_TRUE(intact);
}

// 4 * (1000 + header) fits in 4096, a fifth does not; a record the size of the ring never does.
TEST(SpscByteRing, FullRingRefusesAndOversizedRecordsNeverFit)
{
    SpscByteRing ring(4096);
    EXPECT_EQ(ring.reserve(ring.capacity()), nullptr);
    int accepted = 0;
    for (; ring.reserve(1000) != nullptr; ++accepted)
        ring.commit();
    EXPECT_EQ(accepted, 4);
    size_t size = 0;
    ASSERT_NE(ring.peek(size), nullptr);
    EXPECT_EQ(size, 1000u);
    ring.release(size);
    EXPECT_NE(ring.reserve(1000), nullptr);
}
