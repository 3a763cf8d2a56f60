// The whole runtime between processes on loopback, through the NDI interface and discovery:
// a sender program publishes the test signal, this process receives it by name.
#include "ChildProcess.h"
#include "Discovery.h"
#include "NdiLib.h"
#include "TestSignal.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using veltrin::test::ChildProcess;

namespace {

std::string uniqueName(const char *what)
{
    return std::string(what) + " " + std::to_string(getpid());
}

std::string fullName(const std::string &name)
{
    return veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name);
}

std::unique_ptr<ChildProcess> startSender(const std::string &name, double seconds)
{
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{VELTRIN_SIGNAL_SENDER, name, std::to_string(seconds)});
}

// A receiver pulled like a sound card on its own thread, recording each block's verdict.
class PulledReceiver
{
public:
    explicit PulledReceiver(const std::string &source)
    {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = source.c_str();
        settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
        m_recv = NDIlib_recv_create_v3(&settings);
        m_sync = NDIlib_framesync_create(m_recv);
        m_thread = std::thread([this] { run(); });
    }
    ~PulledReceiver()
    {
        m_stop = true;
        m_thread.join();
        NDIlib_framesync_destroy(m_sync);
        NDIlib_recv_destroy(m_recv);
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
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    void run()
    {
        veltrin::test::SignalChecker checker(2);
        const auto start = Clock::now();
        int64_t frame = 0;
        while (!m_stop.load()) {
            std::this_thread::sleep_until(start + std::chrono::duration<double>(frame / 48000.0));
            NDIlib_audio_frame_v2_t audio;
            NDIlib_framesync_capture_audio(m_sync, &audio, 48000, 2, 256);
            checker.reset();
            checker.feed(audio.p_data, audio.channel_stride_in_bytes / 4, audio.no_samples);
            NDIlib_framesync_free_audio(m_sync, &audio);
            frame += 256;
            std::lock_guard lock(m_mutex);
            m_blocks.push_back({Clock::now(), checker.exact(), checker.wrong(), checker.silent()});
        }
    }

    NDIlib_recv_instance_t m_recv = nullptr;
    NDIlib_framesync_instance_t m_sync = nullptr;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Block> m_blocks;
    std::thread m_thread;
};

class ProcessTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NDIlib_initialize()); }
    static void TearDownTestSuite() { NDIlib_destroy(); }
};

} // namespace

// Two receivers in this process, found by name, both get the sender's samples bit-exact.
TEST_F(ProcessTest, TwoReceiversGetBitExactAudioFromAnotherProcess)
{
    const std::string name = uniqueName("Loopback");
    auto sender = startSender(name, 30);
    ASSERT_TRUE(sender->waitFor("sending", 5000));
    PulledReceiver first(fullName(name));
    PulledReceiver second(fullName(name));
    Clock::time_point at;
    ASSERT_TRUE(first.waitForAudio(Clock::now() - 1h, 5000ms, at));
    ASSERT_TRUE(second.waitForAudio(Clock::now() - 1h, 5000ms, at));
    const auto settled = Clock::now() + 1s;
    std::this_thread::sleep_until(settled + 3s);
    for (PulledReceiver *r : {&first, &second}) {
        int64_t exact = 0, wrong = 0;
        for (const auto &b : r->blocks())
            if (b.time >= settled) {
                exact += b.exact;
                wrong += b.wrong;
            }
        // Three seconds; a lost period is tolerated, a wrong sample is not.
        EXPECT_GT(exact, 48000 * 3 * 8 / 10);
        EXPECT_EQ(wrong, 0);
    }
}

// The sender dies: silence; a new sender of the same name: audio again within 2 s.
TEST_F(ProcessTest, SilenceWhenSenderDiesAndAudioWhenANewOneComes)
{
    const std::string name = uniqueName("Comeback");
    auto sender = startSender(name, 60);
    ASSERT_TRUE(sender->waitFor("sending", 5000));
    PulledReceiver receiver(fullName(name));
    Clock::time_point at;
    ASSERT_TRUE(receiver.waitForAudio(Clock::now() - 1h, 5000ms, at));

    sender->kill(SIGKILL);
    const auto killed = Clock::now();
    std::this_thread::sleep_for(1500ms);
    int silentBlocks = 0, audioBlocks = 0;
    for (const auto &b : receiver.blocks())
        if (b.time > killed + 500ms) {
            silentBlocks += b.silent == 256;
            audioBlocks += b.exact > 0;
        }
    EXPECT_GT(silentBlocks, 100);
    EXPECT_EQ(audioBlocks, 0);
    sender.reset();

    auto second = startSender(name, 30);
    ASSERT_TRUE(second->waitFor("sending", 5000));
    const auto restarted = Clock::now();
    ASSERT_TRUE(receiver.waitForAudio(restarted, 4000ms, at));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(at - restarted);
    std::printf("audio back %lld ms after the new sender started\n",
                static_cast<long long>(took.count()));
    EXPECT_LE(took.count(), 2000);
}
