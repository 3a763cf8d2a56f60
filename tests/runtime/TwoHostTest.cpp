// Audio between two hosts: this test's network namespace and a second one joined to it by a
// veth pair. The far host runs the sender program; this one finds the source by name through
// discovery and receives it over the link.
#include "ChildProcess.h"
#include "Discovery.h"
#include "PulledReceiver.h"

#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using veltrin::test::ChildProcess;
using veltrin::test::Clock;
using veltrin::test::PulledReceiver;
using veltrin::test::shell;

namespace {

// The far host: a namespace of its own behind the veth pair anear (10.78.0.1) / afar
// (10.78.0.2), running the sender program there.
class FarSender
{
public:
    explicit FarSender(const std::string &name)
    {
        m_linked = shell("ip link add anear type veth peer name afar && "
                         "ip addr add 10.78.0.1/24 dev anear && ip link set anear up")
                   == 0;
        m_child = std::make_unique<ChildProcess>(std::vector<std::string>{
            "unshare", "--net", "sh", "-c",
            "echo NETNS; while ! ip link show afar >/dev/null 2>&1; do sleep 0.05; done; "
            "ip link set lo up && ip addr add 10.78.0.2/24 dev afar && ip link set afar up && "
            "exec \"$@\"",
            "far-host", VELTRIN_SIGNAL_SENDER, name, "60"});
        m_linked = m_linked && m_child->waitFor("NETNS", 10000)
                   && shell("ip link set afar netns " + std::to_string(m_child->pid())) == 0;
    }
    ~FarSender()
    {
        m_child.reset();
        shell("ip link del anear 2>/dev/null");
    }
    bool linked() const { return m_linked; }
    ChildProcess &child() { return *m_child; }

private:
    bool m_linked = false;
    std::unique_ptr<ChildProcess> m_child;
};

} // namespace

TEST(TwoHosts, AudioCrossesTheLinkBitExact)
{
    ASSERT_TRUE(NDIlib_initialize());
    const std::string name = "Far " + std::to_string(getpid());
    const std::string full = veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name);
    {
        FarSender far(name);
        ASSERT_TRUE(far.linked());
        ASSERT_TRUE(far.child().waitFor("sending", 10000));

        // Found through discovery, at the far end of the link.
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
        const auto settled = Clock::now() + 1s;
        std::this_thread::sleep_until(settled + 3s);
        int64_t exact = 0, wrong = 0;
        veltrin::test::countSince(receiver, settled, exact, wrong);
        // Three seconds: lost periods (a busy machine) are tolerated, an altered sample is not.
        EXPECT_GT(exact, 48000 * 3 / 2);
        EXPECT_EQ(wrong, 0);
    }
    NDIlib_destroy();
}
