// The whole runtime between two hosts, through discovery: this test's network namespace and a
// second one joined to it by a veth pair. The far host runs the sender program; this one finds
// the source by name and receives it over the link, after the link was down, until the sender
// dies.
#include "ChildProcess.h"
#include "Discovery.h"
#include "FrameSync.h"
#include "NdiLib.h"
#include "Receiver.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using veltrin::test::shell;

namespace {

// Receives the test signal by source name and pulls it like a sound card (48 kHz stereo, 256
// frames on an absolute schedule), counting the frames pulled: exact (the frame after the one
// before), wrong (no frame of the signal: an altered sample) or silent. A frame of the signal
// that does not follow the one before is neither: audio goes on after a lost stretch.
class Puller
{
public:
    struct Frames {
        int64_t exact = 0, wrong = 0, silent = 0;
    };

    explicit Puller(const std::string &source) : m_receiver(source, "")
    {
        m_receiver.attach(&m_sync);
    }
    ~Puller() { m_receiver.detach(&m_sync); }
    bool connected() const { return m_receiver.stats().connected; }

    // Pulls for `seconds`, or with `untilAudio` until a block of the signal is pulled whole.
    Frames pull(double seconds, bool untilAudio = false)
    {
        Frames all;
        for (const int64_t end = m_frame + int64_t(seconds * 48000); m_frame < end;
             m_frame += 256) {
            std::this_thread::sleep_until(m_start
                                          + std::chrono::duration<double>(m_frame / 48000.0));
            NDIlib_audio_frame_v2_t audio;
            m_sync.capture(audio, 48000, 2, 256);
            const float *left = audio.p_data, *right = left + audio.channel_stride_in_bytes / 4;
            Frames block;
            for (int i = 0; i < audio.no_samples; ++i) {
                const float k = left[i] * 32768.f + 32768.f; // the frame, if this is the signal
                const bool silent = left[i] == 0.f && right[i] == 0.f;
                const bool signal = right[i] == -left[i] && k == std::floor(k);
                block.silent += silent;
                block.wrong += !silent && !signal;
                block.exact += !silent && signal && int64_t(k) == m_next;
                m_next = !silent && signal ? (int64_t(k) + 1) % 65536 : -1;
            }
            all = {all.exact + block.exact, all.wrong + block.wrong, all.silent + block.silent};
            if (untilAudio && block.exact > 0 && block.wrong == 0)
                break;
        }
        return all;
    }

private:
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
    const Clock::time_point m_start = Clock::now();
    int64_t m_frame = 0, m_next = -1;
};

} // namespace

// The source is found at the far end of the link and received bit-exact, 64 channels (a block is
// 62 datagrams here, two groups of 26 data and 5 parity); lost periods of a busy machine are
// tolerated, an altered sample is not. The link goes down for 2 s: audio comes back by itself,
// from the subscription the sender kept. The sender is killed: the stream is taken for gone once
// quiet, and silence is played.
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

        Puller receiver(full);
        ASSERT_GT(receiver.pull(10, true).exact, 0);
        receiver.pull(1);
        const Puller::Frames settled = receiver.pull(3);
        EXPECT_GT(settled.exact, 48000 * 3 / 2);
        EXPECT_EQ(settled.wrong, 0);

        ASSERT_EQ(shell("ip link set anear down"), 0);
        receiver.pull(2);
        ASSERT_EQ(shell("ip link set anear up"), 0);
        ASSERT_GT(receiver.pull(5, true).exact, 0);

        far.child().kill(SIGKILL);
        receiver.pull(0.5);
        const Puller::Frames after = receiver.pull(1);
        EXPECT_GT(after.silent, 48000 / 2);
        EXPECT_EQ(after.exact, 0);
        EXPECT_FALSE(receiver.connected());
    }
    NDIlib_destroy();
}
