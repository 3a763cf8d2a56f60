// Interoperation with a real multicast DNS stack: avahi-daemon runs on a far host (a network
// namespace joined by a veth pair) and must list a Veltrin source with its host, port and
// name; a service that avahi-publish puts up under Veltrin's type must reach a Browser. A
// Veltrin peer on the far host shares port 5353 with the daemon there.

#include "ChildProcess.h"
#include "Discovery.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace veltrin::rt;
using veltrin::test::ChildProcess;
using veltrin::test::shell;

namespace {

using Clock = std::chrono::steady_clock;

// avahi-far-host.sh brings its end of the link up itself.
class AvahiFarHost : public veltrin::test::FarHost
{
public:
    AvahiFarHost()
        : FarHost("vnear", "vfar", "10.77.0",
                  {"--net", "--mount", "--pid", "--kill-child", "--propagation", "private", "sh",
                   VELTRIN_AVAHI_FAR_HOST, VELTRIN_DISCOVERY_PEER, "--announce", "FARPEER (shared)",
                   "7202", "--machine", "farpeer", "--browse"})
    {
    }
    ChildProcess &host() { return child(); }
};

} // namespace

TEST(AvahiInterop, EachSideListsTheOthersService)
{
    AvahiFarHost far;
    ASSERT_TRUE(far.linked());
    ASSERT_TRUE(far.host().waitFor("READY", 20000)) << "avahi-daemon did not start";

    DiscoveryConfig config;
    config.machineName = "veltrinhost";
    Announcer announcer(config, sourceName(config, "interop"), 7201);
    Browser browser(config);

    // avahi-browse -p escapes the space and the brackets as decimal \032 \040 \041.
    EXPECT_TRUE(
        far.host().waitFor("=;vfar;IPv4;VELTRINHOST\\032\\040interop\\041;_veltrin._tcp;local;"
                           "veltrinhost.local;10.77.0.1;7201;",
                           20000));

    std::optional<FoundSource> published;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!(published = browser.find("AVAHIHOST (published)")) && Clock::now() < deadline)
        browser.waitForChange(200);
    ASSERT_TRUE(published);
    EXPECT_EQ(published->address, "10.77.0.2:7200");

    // On the far host, the daemon and the peer both hear everything on port 5353.
    EXPECT_TRUE(far.host().waitFor("AVAHIHOST (published)=10.77.0.2:7200;", 20000));
    EXPECT_TRUE(far.host().waitFor("VELTRINHOST (interop)=10.77.0.1:7201;", 20000));
    EXPECT_TRUE(far.host().waitFor("=;vfar;IPv4;FARPEER\\032\\040shared\\041;_veltrin._tcp;local;"
                                   "farpeer.local;10.77.0.2;7202;",
                                   20000));
    EXPECT_TRUE(browser.find("FARPEER (shared)"));
}
