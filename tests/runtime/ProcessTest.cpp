// The whole runtime between processes on loopback, through the NDI interface and discovery:
// a sender program publishes the test signal, this process finds it and receives it by name.
#include "ChildProcess.h"
#include "Discovery.h"
#include "NdiLib.h"
#include "PulledReceiver.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using veltrin::test::ChildProcess;
using veltrin::test::Clock;
using veltrin::test::PulledReceiver;

namespace {

std::unique_ptr<ChildProcess> startSender(const std::string &name)
{
    auto sender =
        std::make_unique<ChildProcess>(std::vector<std::string>{VELTRIN_SIGNAL_SENDER, name, "60"});
    EXPECT_TRUE(sender->waitFor("sending", 5000));
    return sender;
}

} // namespace

// A finder lists the other process's source by its full name with an address, and reports the
// change; a receiver by name gets its samples bit-exact. The sender dies: silence; a new sender
// of the same name: audio again within 2 s. Once that one ends, the finder drops the source.
TEST(ProcessTest, FoundReceivedLostAndFoundAgain)
{
    ASSERT_TRUE(NDIlib_initialize());
    const std::string name = "Comeback " + std::to_string(getpid());
    const std::string full = veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name);
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
    ASSERT_NE(finder, nullptr);
    std::string address;
    auto listed = [&] {
        uint32_t count = 0;
        const NDIlib_source_t *sources = NDIlib_find_get_current_sources(finder, &count);
        for (uint32_t i = 0; i < count; ++i)
            if (sources[i].p_ndi_name == full) {
                address = sources[i].p_url_address ? sources[i].p_url_address : "";
                return true;
            }
        return false;
    };
    auto listedWithin = [&](bool wanted) {
        const auto end = Clock::now() + 5s;
        while (listed() != wanted && Clock::now() < end)
            NDIlib_find_wait_for_sources(finder, 200);
        return listed() == wanted;
    };
    {
        auto sender = startSender(name);
        // The finder was empty when it was created, so this reports a change (at once if the
        // source has already been seen).
        EXPECT_TRUE(NDIlib_find_wait_for_sources(finder, 5000));
        ASSERT_TRUE(listedWithin(true));
        EXPECT_NE(address.find(':'), std::string::npos) << address;

        PulledReceiver receiver(full);
        Clock::time_point at;
        ASSERT_TRUE(receiver.waitForAudio(Clock::now() - 1h, 5000ms, at));
        veltrin::test::expectThreeSecondsBitExact({&receiver});

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

        sender = startSender(name);
        const auto restarted = Clock::now();
        ASSERT_TRUE(receiver.waitForAudio(restarted, 4000ms, at));
        EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(at - restarted).count(),
                  2000);
        EXPECT_EQ(sender->finish(), 0);
    }
    EXPECT_TRUE(listedWithin(false));
    NDIlib_find_destroy(finder);
    NDIlib_destroy();
}
