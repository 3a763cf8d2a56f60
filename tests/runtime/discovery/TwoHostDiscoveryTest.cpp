// Discovery between two hosts: this test's network namespace and a second one, joined by a
// veth pair, with a discovery peer process on the far side.

#include "ChildProcess.h"
#include "Discovery.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace veltrin::rt;
using veltrin::test::ChildProcess;
using veltrin::test::shell;

namespace {

using Clock = std::chrono::steady_clock;

// The far host: a namespace of its own reached through the veth pair vnear (10.77.0.1)
// and vfar (10.77.0.2), running the discovery peer with the given arguments.
class FarHost
{
public:
    explicit FarHost(std::vector<std::string> peerArgs)
    {
        m_linked = shell("ip link add vnear type veth peer name vfar && "
                         "ip addr add 10.77.0.1/24 dev vnear && ip link set vnear up")
                   == 0;
        std::vector<std::string> argv{
            "unshare",
            "--net",
            "sh",
            "-c",
            "echo NETNS; while ! ip link show vfar >/dev/null 2>&1; do sleep 0.05; done; "
            "ip link set lo up && ip addr add 10.77.0.2/24 dev vfar && ip link set vfar up && exec "
            "\"$@\"",
            "far-host",
            VELTRIN_DISCOVERY_PEER};
        argv.insert(argv.end(), peerArgs.begin(), peerArgs.end());
        m_peer = std::make_unique<ChildProcess>(argv);
        // Until the shell speaks, the child may not have left this namespace yet.
        m_linked = m_linked && m_peer->waitFor("NETNS", 10000)
                   && shell("ip link set vfar netns " + std::to_string(m_peer->pid())) == 0;
    }
    ~FarHost()
    {
        m_peer.reset();
        shell("ip link del vnear 2>/dev/null");
    }
    bool linked() const { return m_linked; }
    ChildProcess &peer() { return *m_peer; }

private:
    bool m_linked = false;
    std::unique_ptr<ChildProcess> m_peer;
};

std::optional<FoundSource> waitFind(Browser &browser, const std::string &name, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto found = browser.find(name))
            return found;
        if (Clock::now() > deadline)
            return std::nullopt;
        browser.waitForChange(200);
    }
}

bool waitGone(Browser &browser, const std::string &name, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (browser.find(name)) {
        if (Clock::now() > deadline)
            return false;
        browser.waitForChange(200);
    }
    return true;
}

DiscoveryConfig machine(const std::string &name)
{
    DiscoveryConfig c;
    c.machineName = name;
    return c;
}

} // namespace

TEST(TwoHostDiscovery, SourcesCrossTheLinkBothWays)
{
    // This side starts before the link exists, as when a cable is plugged in later.
    Announcer near(machine("near"), "NEAR (here)", 7101);
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(waitFind(browser, "NEAR (here)", 10000));

    FarHost far({"--announce", "REMOTE (far)", "7100", "--machine", "remote", "--browse"});
    ASSERT_TRUE(far.linked());
    ASSERT_TRUE(far.peer().waitFor("READY", 10000));
    const auto remote = waitFind(browser, "REMOTE (far)", 10000);
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->address, "10.77.0.2:7100");
    // The far host reaches this one only through the link, so it sees the link's address;
    // here, the address others can reach wins over loopback.
    EXPECT_TRUE(far.peer().waitFor("NEAR (here)=10.77.0.1:7101;", 10000));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (browser.find("NEAR (here)")->address != "10.77.0.1:7101" && Clock::now() < deadline)
        browser.waitForChange(200);
    EXPECT_EQ(browser.find("NEAR (here)")->address, "10.77.0.1:7101");

    EXPECT_EQ(far.peer().finish(), 0);
    EXPECT_TRUE(waitGone(browser, "REMOTE (far)", 5000)) << "no goodbye across the link";
}

TEST(TwoHostDiscovery, PullingTheCableDropsTheFarSources)
{
    FarHost far({"--announce", "REMOTE (cable)", "7103", "--machine", "remote"});
    ASSERT_TRUE(far.linked());
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(waitFind(browser, "REMOTE (cable)", 10000));
    ASSERT_EQ(shell("ip link del vnear"), 0); // no goodbye can cross any more
    EXPECT_TRUE(waitGone(browser, "REMOTE (cable)", 10000));
}

TEST(TwoHostDiscovery, ConfiguredAddressesAreQueriedByUnicast)
{
    FarHost far({"--announce", "REMOTE (unicast)", "7102", "--machine", "remote"});
    ASSERT_TRUE(far.linked());
    ASSERT_TRUE(far.peer().waitFor("READY", 10000));

    // Both browsers keep off the link's multicast; only the second one asks the far host.
    DiscoveryConfig loopbackOnly;
    loopbackOnly.allowedAdapters = {"lo"};
    Browser deaf(loopbackOnly);
    DiscoveryConfig withServer = loopbackOnly;
    withServer.extraIps = {"10.77.0.2"};
    Browser asking(withServer);

    const auto remote = waitFind(asking, "REMOTE (unicast)", 10000);
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->address, "10.77.0.2:7102");
    EXPECT_FALSE(deaf.waitForChange(1500));
    EXPECT_FALSE(deaf.find("REMOTE (unicast)"));
}
