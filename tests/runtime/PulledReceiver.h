// A receiver of the test signal by source name, pulled like a sound card (48 kHz stereo,
// 256-frame blocks on an absolute schedule) on a thread of its own that records, under
// m_mutex, how many frames of every block were exact, wrong or silent; the test reads copies.
#pragma once

#include "FrameSync.h"
#include "Receiver.h"
#include "TestSignal.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltrin::test {

using Clock = std::chrono::steady_clock;

class PulledReceiver
{
public:
    explicit PulledReceiver(const std::string &source) : m_receiver(source, "")
    {
        m_receiver.attach(&m_sync);
        m_thread = std::thread([this] { run(); });
    }
    ~PulledReceiver()
    {
        m_stop = true;
        m_thread.join();
        m_receiver.detach(&m_sync);
    }

    struct Block {
        Clock::time_point time;
        int64_t exact, wrong, silent;
    };
    std::vector<Block> blocks()
    {
        std::lock_guard lock(m_mutex);
        return m_blocks;
    }
    // Waits until a block of the test signal has arrived after `since`; its time.
    bool waitForAudio(Clock::time_point since, std::chrono::milliseconds timeout,
                      Clock::time_point &at)
    {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            for (const auto &b : blocks())
                if (b.time >= since && b.exact > 0 && b.wrong == 0) {
                    at = b.time;
                    return true;
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    void run()
    {
        SignalChecker checker(2);
        const auto start = Clock::now();
        int64_t frame = 0;
        while (!m_stop.load()) {
            std::this_thread::sleep_until(start + std::chrono::duration<double>(frame / 48000.0));
            NDIlib_audio_frame_v2_t audio;
            m_sync.capture(audio, 48000, 2, 256);
            checker.reset();
            checker.feed(audio.p_data, audio.channel_stride_in_bytes / 4, audio.no_samples);
            frame += 256;
            std::lock_guard lock(m_mutex);
            m_blocks.push_back({Clock::now(), checker.exact(), checker.wrong(), checker.silent()});
        }
    }

    rt::Receiver m_receiver;
    rt::FrameSync m_sync{copyingSync()};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Block> m_blocks;
    std::thread m_thread;
};

// Lets a second settle, then three seconds of audio arrive, and counts their frames: lost
// periods (a busy machine) are tolerated, an altered sample is not.
inline void expectThreeSecondsBitExact(std::initializer_list<PulledReceiver *> receivers)
{
    const auto settled = Clock::now() + std::chrono::seconds(1);
    std::this_thread::sleep_until(settled + std::chrono::seconds(3));
    for (PulledReceiver *r : receivers) {
        int64_t exact = 0, wrong = 0;
        for (const auto &b : r->blocks())
            if (b.time >= settled) {
                exact += b.exact;
                wrong += b.wrong;
            }
        EXPECT_GT(exact, 48000 * 3 / 2);
        EXPECT_EQ(wrong, 0);
    }
}

} // namespace veltrin::test
