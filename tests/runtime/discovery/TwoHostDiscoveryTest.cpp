// Discovery between two hosts: this test's network namespace and a second one, joined by a
// veth pair, with a discovery peer process on the far side.

#include "ChildProcess.h"
#include "Discovery.h"
#include "DnsRecords.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace veltrin::rt;
using veltrin::test::ChildProcess;
using veltrin::test::shell;
using veltrin::test::dns::machine;
using veltrin::test::dns::waitUntil;

namespace {

// The far host behind the veth pair vnear (10.77.0.1) / vfar (10.77.0.2), running the
// discovery peer with the given arguments.
class FarPeer : public veltrin::test::FarHost
{
public:
    explicit FarPeer(std::vector<std::string> peerArgs)
        : FarHost("vnear", "vfar", "10.77.0", withPeer(std::move(peerArgs)))
    {
    }
    ChildProcess &peer() { return child(); }

private:
    static std::vector<std::string> withPeer(std::vector<std::string> args)
    {
        auto argv = upAndRun("vfar", "10.77.0");
        argv.push_back(VELTRIN_DISCOVERY_PEER);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
};

bool listed(Browser &browser, const std::string &name, int timeoutMs = 10000)
{
    return waitUntil(
        browser, [&](Browser &b) { return b.find(name).has_value(); }, timeoutMs);
}

bool gone(Browser &browser, const std::string &name, int timeoutMs)
{
    return waitUntil(
        browser, [&](Browser &b) { return !b.find(name); }, timeoutMs);
}

} // namespace

TEST(TwoHostDiscovery, SourcesCrossTheLinkBothWays)
{
    // This side starts before the link exists, as when a cable is plugged in later.
    Announcer near(machine("near"), "NEAR (here)", 7101);
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(listed(browser, "NEAR (here)"));

    FarPeer far({"--announce", "REMOTE (far)", "7100", "--machine", "remote", "--browse"});
    ASSERT_TRUE(far.linked());
    ASSERT_TRUE(far.peer().waitFor("READY", 10000));
    ASSERT_TRUE(listed(browser, "REMOTE (far)"));
    EXPECT_EQ(browser.find("REMOTE (far)")->address, "10.77.0.2:7100");
    // The far host reaches this one only through the link, so it sees the link's address;
    // here, the address others can reach wins over loopback.
    EXPECT_TRUE(far.peer().waitFor("NEAR (here)=10.77.0.1:7101;", 10000));
    EXPECT_TRUE(waitUntil(browser, [](Browser &b) {
        return b.find("NEAR (here)")->address == "10.77.0.1:7101";
    })) << browser.find("NEAR (here)")->address;

    // Browsers kept off the link's multicast: only the one given the far host's address finds
    // it, by asking it by unicast.
    DiscoveryConfig loopbackOnly;
    loopbackOnly.allowedAdapters = {"lo"};
    DiscoveryConfig withServer = loopbackOnly;
    withServer.extraIps = {"10.77.0.2"};
    Browser deaf(loopbackOnly), asking(withServer);
    ASSERT_TRUE(listed(asking, "REMOTE (far)"));
    EXPECT_EQ(asking.find("REMOTE (far)")->address, "10.77.0.2:7100");
    EXPECT_FALSE(listed(deaf, "REMOTE (far)", 1500));

    EXPECT_EQ(far.peer().finish(), 0);
    EXPECT_TRUE(gone(browser, "REMOTE (far)", 5000)) << "no goodbye across the link";
}

TEST(TwoHostDiscovery, PullingTheCableDropsTheFarSources)
{
    FarPeer far({"--announce", "REMOTE (cable)", "7103", "--machine", "remote"});
    ASSERT_TRUE(far.linked());
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(listed(browser, "REMOTE (cable)"));
    ASSERT_EQ(shell("ip link del vnear"), 0); // no goodbye can cross any more
    EXPECT_TRUE(gone(browser, "REMOTE (cable)", 10000));
}
