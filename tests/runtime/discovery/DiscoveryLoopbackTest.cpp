// Discovery on a host whose only interface is loopback, without its MULTICAST flag (as the
// test namespace leaves it): within one process, between three processes, goodbyes, silent
// disappearance, groups, and hostile packets on port 5353.

#include "ChildProcess.h"
#include "Discovery.h"
#include "DiscoveryEngine.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace veltrin::rt;
using veltrin::test::ChildProcess;

namespace {

using Clock = std::chrono::steady_clock;

// Waits (generously: the machine is shared) until the browser's list satisfies `done`.
template <typename Predicate>
bool waitUntil(Browser &browser, Predicate done, int timeoutMs = 10000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(browser.sources())) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        browser.waitForChange(static_cast<uint32_t>(std::min<int64_t>(left.count(), 500)));
    }
    return true;
}

bool contains(const std::vector<FoundSource> &list, const std::string &name)
{
    for (const FoundSource &s : list)
        if (s.name == name)
            return true;
    return false;
}

DiscoveryConfig machine(const std::string &name)
{
    DiscoveryConfig c;
    c.machineName = name;
    return c;
}

std::vector<std::string> peer(std::vector<std::string> args)
{
    args.insert(args.begin(), VELTRIN_DISCOVERY_PEER);
    return args;
}

void sendTo(const char *ip, const std::vector<uint8_t> &bytes)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5353);
    inet_pton(AF_INET, ip, &to.sin_addr);
    if (IN_MULTICAST(ntohl(to.sin_addr.s_addr))) {
        ip_mreqn request{};
        request.imr_ifindex = 1; // lo
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
    }
    EXPECT_EQ(
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
        static_cast<ssize_t>(bytes.size()));
    close(fd);
}

} // namespace

TEST(DiscoveryLoopback, SourceOfTheSameProcessComesAndGoes)
{
    Browser browser(DiscoveryConfig{});
    EXPECT_FALSE(browser.waitForChange(300)); // nothing on the network yet
    auto announcer = std::make_unique<Announcer>(machine("cart"), "CART (Program)", 5961);
    ASSERT_TRUE(waitUntil(browser, [](const auto &l) { return contains(l, "CART (Program)"); }));
    const auto found = browser.find("CART (Program)");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->address, "127.0.0.1:5961");

    // A change that happens between two calls is reported by the next call at once.
    browser.waitForChange(0); // waitUntil may have seen the source before waiting
    EXPECT_FALSE(browser.waitForChange(0));
    Announcer second(machine("cart"), "CART (Second)", 5960);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!browser.find("CART (Second)") && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(browser.waitForChange(0));
    EXPECT_FALSE(browser.waitForChange(0));

    // A second browser in the process starts from what the engine already knows.
    Browser late(DiscoveryConfig{});
    EXPECT_TRUE(late.find("CART (Program)"));

    announcer.reset(); // goodbye
    ASSERT_TRUE(waitUntil(
        browser, [](const auto &l) { return l.size() == 1; }, 5000));
    EXPECT_FALSE(browser.find("CART (Program)"));
}

TEST(DiscoveryLoopback, GroupsKeepSourcesApart)
{
    DiscoveryConfig studio = machine("cart");
    studio.sendGroups = {"studio"};
    Announcer inStudio(studio, "CART (Studio only)", 5962);
    Announcer inPublic(machine("cart"), "CART (Everyone)", 5963);

    DiscoveryConfig studioReceiver;
    studioReceiver.recvGroups = {"studio", "other"};
    Browser studioBrowser(studioReceiver);
    Browser publicBrowser(DiscoveryConfig{});
    ASSERT_TRUE(
        waitUntil(studioBrowser, [](const auto &l) { return contains(l, "CART (Studio only)"); }));
    ASSERT_TRUE(
        waitUntil(publicBrowser, [](const auto &l) { return contains(l, "CART (Everyone)"); }));
    EXPECT_FALSE(contains(studioBrowser.sources(), "CART (Everyone)"));
    EXPECT_FALSE(contains(publicBrowser.sources(), "CART (Studio only)"));
}

TEST(DiscoveryLoopback, AdapterListLeavesOutOtherInterfaces)
{
    Announcer announcer(machine("cart"), "CART (Adapters)", 5964);
    DiscoveryConfig elsewhere;
    elsewhere.allowedAdapters = {"eth7"};
    Browser blind(elsewhere);
    DiscoveryConfig byAddress;
    byAddress.allowedAdapters = {"127.0.0.1"};
    Browser seeing(byAddress);
    ASSERT_TRUE(waitUntil(seeing, [](const auto &l) { return contains(l, "CART (Adapters)"); }));
    EXPECT_FALSE(blind.waitForChange(1500));
    EXPECT_TRUE(blind.sources().empty());
}

TEST(DiscoveryLoopback, LongNamesSurviveTheLabelLimit)
{
    const std::string name = "CART (" + std::string(80, 'n') + " \xC3\xA9)";
    Announcer announcer(machine("cart"), name, 5965);
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(waitUntil(browser, [&](const auto &l) { return contains(l, name); }));
}

TEST(DiscoveryLoopback, HostilePacketsAreCountedAndDropped)
{
    Browser browser(DiscoveryConfig{});
    Announcer announcer(machine("cart"), "CART (Sturdy)", 5966);
    ASSERT_TRUE(waitUntil(browser, [](const auto &l) { return contains(l, "CART (Sturdy)"); }));
    auto engine = DiscoveryEngine::acquire(DiscoveryConfig{});
    const auto before = engine->counters();
    // A response whose answer name points at itself, a truncated header, random bytes.
    const std::vector<uint8_t> loop{0,  0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0,    0xC0,
                                    12, 0, 12,   0, 1, 0, 0, 0, 8, 0, 2, 0xC0, 12};
    for (int i = 0; i < 5; ++i) {
        sendTo("224.0.0.251", loop);
        sendTo("224.0.0.251", {1, 2, 3});
        sendTo("127.0.0.1", std::vector<uint8_t>(700, 0xFF));
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (engine->counters().malformed < before.malformed + 10 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(engine->counters().malformed, before.malformed + 10);
    EXPECT_TRUE(engine->listening());
    EXPECT_TRUE(browser.find("CART (Sturdy)"));
}

TEST(DiscoveryLoopback, ThreeProcessesSeeEachOtherGoodbyesAndSilentDeaths)
{
    // Two peers announce and browse; this process browses too. Unicast to 127.0.0.1:5353
    // would reach only one of the three sockets on the port, so this shows the multicast
    // path on loopback works for all of them.
    ChildProcess a(peer({"--announce", "ALPHA (one)", "7001", "--machine", "alpha", "--browse"}));
    ChildProcess b(peer({"--announce", "BRAVO (two)", "7002", "--machine", "bravo", "--browse"}));
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(waitUntil(browser, [](const auto &l) {
        return contains(l, "ALPHA (one)") && contains(l, "BRAVO (two)");
    }));
    EXPECT_EQ(browser.find("ALPHA (one)")->address, "127.0.0.1:7001");
    EXPECT_TRUE(a.waitFor("BRAVO (two)=127.0.0.1:7002", 10000));
    EXPECT_TRUE(b.waitFor("ALPHA (one)=127.0.0.1:7001", 10000));

    EXPECT_EQ(a.finish(), 0); // a clean exit says goodbye
    ASSERT_TRUE(waitUntil(
        browser, [](const auto &l) { return !contains(l, "ALPHA (one)"); }, 5000));
    EXPECT_TRUE(contains(browser.sources(), "BRAVO (two)"));

    b.kill(SIGKILL); // no goodbye: the records must age out
    ASSERT_TRUE(waitUntil(
        browser, [](const auto &l) { return l.empty(); }, 15000));
}
