// The whole runtime between two hosts, through discovery: this test's network namespace and a
// second one joined to it by a veth pair. The far host runs the sender program; this one finds
// the source by name and receives it over the link, after the link was down, until the sender
// dies.
#include "ChildProcess.h"
#include "Discovery.h"
#include "PulledReceiver.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using veltrin::test::Clock;
using veltrin::test::PulledReceiver;
using veltrin::test::shell;

// The source is found at the far end of the link and received bit-exact, 64 channels (a block is
// 62 datagrams here, two groups of 26 data and 5 parity). The link goes down for 2 s: audio comes
// back by itself, from the subscription the sender kept. The sender is killed: silence.
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
        Clock::time_point at;
        ASSERT_TRUE(receiver.waitForAudio(Clock::now() - 1h, 10000ms, at));
        veltrin::test::expectThreeSecondsBitExact({&receiver});

        ASSERT_EQ(shell("ip link set anear down"), 0);
        std::this_thread::sleep_for(2s);
        ASSERT_EQ(shell("ip link set anear up"), 0);
        ASSERT_TRUE(receiver.waitForAudio(Clock::now(), 5000ms, at));

        far.child().kill(SIGKILL);
        const auto killed = Clock::now();
        std::this_thread::sleep_for(1500ms);
        int silent = 0, audio = 0;
        for (const auto &b : receiver.blocks())
            if (b.time > killed + 500ms) {
                silent += b.silent == 256;
                audio += b.exact > 0;
            }
        EXPECT_GT(silent, 100);
        EXPECT_EQ(audio, 0);
    }
    NDIlib_destroy();
}
