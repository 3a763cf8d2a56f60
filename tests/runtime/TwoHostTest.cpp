// The whole runtime between two hosts, through discovery: this test's network namespace and a
// second one joined to it by a veth pair. The far host runs the sender program; this one finds
// the source by name and receives it over the link, after the link was down, until the sender
// dies.
#include "ChildProcess.h"
#include "Discovery.h"
#include "FrameSync.h"
#include "NdiLib.h"
#include "Receiver.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using veltrin::test::shell;

namespace {

// A receiver of the test signal by source name, pulled like a sound card (48 kHz stereo,
// 256-frame blocks on an absolute schedule) on a thread of its own that records, under m_mutex,
// how many frames of every block were exact (the frame after the one before), wrong (no frame
// of the signal: an altered sample) or silent. A frame of the signal that does not follow the
// one before is neither: audio goes on after a lost stretch.
class PulledReceiver
{
public:
    struct Block {
        Clock::time_point time;
        int exact = 0, wrong = 0, silent = 0;
    };

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
    // The frames of the blocks pulled after `from`.
    Block since(Clock::time_point from)
    {
        std::lock_guard lock(m_mutex);
        Block sum;
        for (const Block &b : m_blocks)
            if (b.time >= from)
                sum = {b.time, sum.exact + b.exact, sum.wrong + b.wrong, sum.silent + b.silent};
        return sum;
    }
    // Waits until a block of the test signal has arrived after `from`.
    bool waitForAudio(Clock::time_point from, std::chrono::milliseconds timeout)
    {
        for (const auto end = Clock::now() + timeout; Clock::now() < end;) {
            std::this_thread::sleep_for(10ms);
            std::lock_guard lock(m_mutex);
            for (const Block &b : m_blocks)
                if (b.time >= from && b.exact > 0 && b.wrong == 0)
                    return true;
        }
        return false;
    }

private:
    void run()
    {
        const auto start = Clock::now();
        int64_t next = -1;
        for (int64_t frame = 0; !m_stop.load(); frame += 256) {
            std::this_thread::sleep_until(start + std::chrono::duration<double>(frame / 48000.0));
            NDIlib_audio_frame_v2_t audio;
            m_sync.capture(audio, 48000, 2, 256);
            const float *left = audio.p_data, *right = left + audio.channel_stride_in_bytes / 4;
            Block b{Clock::now()};
            for (int i = 0; i < audio.no_samples; ++i) {
                const float k = left[i] * 32768.f + 32768.f; // the frame, if this is the signal
                const bool silent = left[i] == 0.f && right[i] == 0.f;
                const bool signal = right[i] == -left[i] && k == std::floor(k);
                b.silent += silent;
                b.wrong += !silent && !signal;
                b.exact += !silent && signal && int64_t(k) == next;
                next = !silent && signal ? (int64_t(k) + 1) % 65536 : -1;
            }
            std::lock_guard lock(m_mutex);
            m_blocks.push_back(b);
        }
    }

    veltrin::rt::Receiver m_receiver;
    // Copying whatever pace the arrivals seem to have: a busy machine can hold a sender's blocks
    // back by half a millisecond over five seconds, which the default synchroniser takes for a
    // clock 100 ppm slow and resamples, after which no sample is exact.
    veltrin::rt::FrameSync m_sync{[] {
        veltrin::rt::FrameSyncConfig config;
        config.minDriftPpm = 1e9;
        config.passthroughHoldSeconds = 1e9;
        return config;
    }()};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Block> m_blocks;
    std::thread m_thread;
};

} // namespace

// The source is found at the far end of the link and received bit-exact, 64 channels (a block is
// 62 datagrams here, two groups of 26 data and 5 parity); lost periods of a busy machine are
// tolerated, an altered sample is not. The link goes down for 2 s: audio comes back by itself,
// from the subscription the sender kept. The sender is killed: silence.
TEST(TwoHosts, AudioCrossesTheLinkAndComesBackAfterItWasDown)
{
    ASSERT_TRUE(NDIlib_initialize());
    const std::string name = "Far " + std::to_string(getpid());
    const std::string full = veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name);
    {
        // The far host behind the veth pair anear (10.78.0.1) / afar (10.78.0.2).
        auto argv = veltrin::test::FarHost::upAndRun("afar", "10.78.0");
        argv.insert(argv.end(), {VELTRIN_SIGNAL_SENDER, name, "60", "48000", "64", "256"});
        veltrin::test::FarHost far("anear", "afar", "10.78.0", argv);
        ASSERT_TRUE(far.linked());
        ASSERT_TRUE(far.child().waitFor("sending", 10000));
        veltrin::rt::Browser browser(veltrin::rt::DiscoveryConfig::load());
        const auto deadline = Clock::now() + 10s;
        std::optional<veltrin::rt::FoundSource> found;
        while (!(found = browser.find(full)) && Clock::now() < deadline)
            browser.waitForChange(200);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->address.rfind("10.78.0.2:", 0), 0u) << found->address;

        PulledReceiver receiver(full);
        ASSERT_TRUE(receiver.waitForAudio(Clock::now(), 10000ms));
        const auto settled = Clock::now() + 1s;
        std::this_thread::sleep_until(settled + 3s);
        EXPECT_GT(receiver.since(settled).exact, 48000 * 3 / 2);
        EXPECT_EQ(receiver.since(settled).wrong, 0);

        ASSERT_EQ(shell("ip link set anear down"), 0);
        std::this_thread::sleep_for(2s);
        ASSERT_EQ(shell("ip link set anear up"), 0);
        ASSERT_TRUE(receiver.waitForAudio(Clock::now(), 5000ms));

        far.child().kill(SIGKILL);
        const auto killed = Clock::now();
        std::this_thread::sleep_for(1500ms);
        const PulledReceiver::Block after = receiver.since(killed + 500ms);
        EXPECT_GT(after.silent, 100 * 256);
        EXPECT_EQ(after.exact, 0);
    }
    NDIlib_destroy();
}
