// The whole runtime between processes on loopback, through the NDI interface and discovery:
// a sender program publishes the test signal, this process receives it by name.
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
using Clock = std::chrono::steady_clock;
using veltrin::test::ChildProcess;
using veltrin::test::PulledReceiver;

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

class ProcessTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NDIlib_initialize()); }
    static void TearDownTestSuite() { NDIlib_destroy(); }
};

} // namespace

// A receiver in this process, finding the sender by name, gets its samples bit-exact; the
// sender dies: silence; a new sender of the same name: audio again within 2 s.
TEST_F(ProcessTest, BitExactThenSilenceWhenTheSenderDiesThenAudioFromANewOne)
{
    const std::string name = uniqueName("Comeback");
    auto sender = startSender(name, 60);
    ASSERT_TRUE(sender->waitFor("sending", 5000));
    PulledReceiver receiver(fullName(name));
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

    auto second = startSender(name, 30);
    ASSERT_TRUE(second->waitFor("sending", 5000));
    const auto restarted = Clock::now();
    ASSERT_TRUE(receiver.waitForAudio(restarted, 4000ms, at));
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(at - restarted).count(), 2000);
}

// A finder lists the other process's source by its full name with an address, reports the
// change, and reports it gone once the sender ends.
TEST_F(ProcessTest, FinderListsAndDropsTheSource)
{
    const std::string name = uniqueName("Listed");
    const std::string full = fullName(name);
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
    ASSERT_NE(finder, nullptr);
    auto listed = [&](std::string *address) {
        uint32_t count = 0;
        const NDIlib_source_t *sources = NDIlib_find_get_current_sources(finder, &count);
        for (uint32_t i = 0; i < count; ++i)
            if (sources[i].p_ndi_name == full) {
                if (address)
                    *address = sources[i].p_url_address ? sources[i].p_url_address : "";
                return true;
            }
        return false;
    };
    {
        auto sender = startSender(name, 30);
        ASSERT_TRUE(sender->waitFor("sending", 5000));
        std::string address;
        // The finder was empty when it was created, so this reports a change (at once if the
        // source has already been seen).
        const bool changed = NDIlib_find_wait_for_sources(finder, 5000);
        const auto end = Clock::now() + 5s;
        while (!listed(&address) && Clock::now() < end)
            NDIlib_find_wait_for_sources(finder, 200);
        ASSERT_TRUE(listed(&address));
        EXPECT_TRUE(changed);
        EXPECT_NE(address.find(':'), std::string::npos) << address;
        EXPECT_EQ(sender->finish(), 0);
    }
    const auto end = Clock::now() + 5s;
    while (listed(nullptr) && Clock::now() < end)
        NDIlib_find_wait_for_sources(finder, 200);
    EXPECT_FALSE(listed(nullptr));
    NDIlib_find_destroy(finder);
}
