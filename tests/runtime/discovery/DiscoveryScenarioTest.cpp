// Discovery between real processes, one scenario per behaviour a user sees: processes of one
// host on loopback (which the test namespace leaves without its MULTICAST flag), the port held
// by another program, another responder that answers incompletely, and a configured server on
// a far host. The other processes run this program as a discovery peer (runPeer).

#include "ChildProgram.h"
#include "Discovery.h"
#include "MdnsRecords.h"
#include "MdnsSockets.h"
#include "Socket.h"
#include "WaitFor.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace veltrin::rt;
using namespace std::chrono_literals;
using pwtest::ChildProgram;
using pwtest::shell;
using veltrin::test::waitFor;

namespace {

// Run as `<this program> --peer NAME PORT MACHINE`: announces one source until SIGTERM (and
// then says goodbye) or until it is killed.
volatile std::sig_atomic_t stopped = 0;

int runPeer(char **argv)
{
    std::signal(SIGTERM, [](int) { stopped = 1; });
    Announcer announcer({argv[3], {}, {}, {}, {}}, argv[1], uint16_t(std::atoi(argv[2])));
    std::printf("READY\n");
    std::fflush(stdout);
    while (!stopped)
        std::this_thread::sleep_for(50ms);
    return 0;
}

// The command line of a peer announcing `args` (its name, port and machine), run by `prefix`.
std::vector<std::string> peer(std::vector<std::string> args, std::vector<std::string> prefix = {})
{
    args.insert(args.begin(), {std::filesystem::read_symlink("/proc/self/exe"), "--peer"});
    prefix.insert(prefix.end(), args.begin(), args.end());
    return prefix;
}

// Waits (generously: the machine is shared) until `name` is listed, or is gone with !present.
bool listed(Browser &browser, const std::string &name, int timeoutMs = 10000, bool present = true)
{
    return waitFor([&] { return browser.find(name).has_value() == present; }, timeoutMs, 100);
}

} // namespace

// Two peer processes and this one list each other's sources, in the groups they receive; a
// clean exit says goodbye, a killed process's sources age out.
TEST(DiscoveryLoopback, ProcessesOfOneHostFindEachOther)
{
    ChildProgram a(peer({"ALPHA (one)", "7001", "alpha"}));
    ChildProgram b(peer({"BRAVO (two)", "7002", "bravo"}));
    Announcer inStudio({"cart", {}, {"studio"}, {}, {}}, "CART (Studio)", 7003);
    Announcer everyone({"cart", {}, {}, {}, {}}, "CART (Everyone)", 7004);
    // Names in use, for a generated sender name to avoid: with nothing in this process
    // browsing, asking for them asks the network; later they are the network's and this
    // process's own, in every group.
    ASSERT_TRUE(b.waitFor("READY", 5000));
    EXPECT_TRUE(sourceNamesInUse(DiscoveryConfig{}, 1500ms).count("BRAVO (two)"));

    Browser browser(DiscoveryConfig{}), studioBrowser({"", {}, {}, {"studio", "other"}, {}});
    for (const char *name : {"ALPHA (one)", "BRAVO (two)", "CART (Everyone)"})
        ASSERT_TRUE(listed(browser, name)) << name;
    EXPECT_EQ(browser.find("ALPHA (one)")->address, "127.0.0.1:7001");
    EXPECT_TRUE(Browser(DiscoveryConfig{}).find("BRAVO (two)")) << "a new browser starts listed";
    ASSERT_TRUE(listed(studioBrowser, "CART (Studio)"));
    EXPECT_EQ(studioBrowser.sources().size(), 1u);
    EXPECT_FALSE(browser.find("CART (Studio)"));
    const auto names = sourceNamesInUse(DiscoveryConfig{}, 0ms);
    EXPECT_TRUE(names.count("BRAVO (two)") && names.count("CART (Studio)"));

    a.signal(SIGTERM);
    EXPECT_EQ(a.wait(5000), 0);
    EXPECT_TRUE(listed(browser, "ALPHA (one)", 5000, false)) << "no goodbye";
    b.signal(SIGKILL);
    EXPECT_TRUE(listed(browser, "BRAVO (two)", 15000, false));
    EXPECT_TRUE(browser.find("CART (Everyone)"));
}

// Another program holds port 5353 to itself: each process says once what it cannot do, and
// the sources of this host are still found on the loopback channel of its processes.
TEST(DiscoveryLoopback, PortHeldByAnotherProgram)
{
    const int held = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    parseAddress("0.0.0.0:5353", any);
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr *>(&any), sizeof any), 0)
        << "port 5353 already taken in the test's namespace";
    ChildProgram alpha(peer({"ALPHA (held)", "7101", "alpha"}));
    EXPECT_TRUE(alpha.waitFor("UDP port 5353 is held by another program", 10000, true));
    testing::internal::CaptureStderr();
    Announcer bravo({"bravo", {}, {}, {}, {}}, "BRAVO (held)", 7102);
    Browser browser(DiscoveryConfig{});
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("held by another program"), std::string::npos);
    EXPECT_EQ(said.find("held by another program"), said.rfind("held by another program"));
    EXPECT_TRUE(listed(browser, "ALPHA (held)"));
    EXPECT_TRUE(listed(browser, "BRAVO (held)"));
    ::close(held);
}

// Another responder on port 5353 that answers each question with the one record it asks for:
// a source named by a PTR alone is listed once the engine has asked for its SRV and then for
// its host's address.
TEST(ForeignResponder, IncompleteAnswersAreCompletedByAsking)
{
    MdnsSockets other;
    const MdnsInterface lo{1, "lo", {{inet_addr("127.0.0.1")}}, true};
    other.join(lo, true);
    Browser browser(DiscoveryConfig{});
    const DnsName deck{"DECK (Bare)", "_veltrin", "_tcp", "local"}, host{"deck", "local"};
    const DnsRecord records[] = {
        {veltrinServiceType(), kTypePtr, kClassIn, false, 120, deck, 0, 0, 0, {}, {}, {}},
        {deck, kTypeSrv, kClassIn, false, 120, host, 0, 0, 9001, {}, {}, {}},
        {host, kTypeA, kClassIn, false, 120, {}, 0, 0, 0, {}, {127, 0, 0, 9}, {}}};
    const auto serve = [&](const uint8_t *data, size_t size, const sockaddr_in &, int, bool, bool) {
        const auto query = parseDnsMessage(data, size);
        for (const DnsQuestion &q :
             query && !query->isResponse() ? query->questions : std::vector<DnsQuestion>{})
            for (const DnsRecord &r : records)
                if (q.type == r.type && sameName(q.name, r.name))
                    other.multicast({0, DnsMessage::kFlagResponse, {}, {r}, {}, {}}, lo);
    };
    const auto servedAndFound = [&] {
        other.wait(100);
        other.receive(MdnsSockets::Channel::Mdns, 16, serve);
        return browser.find("DECK (Bare)").value_or(FoundSource{}).address == "127.0.0.9:9001";
    };
    EXPECT_TRUE(waitFor(servedAndFound, 10000, 0));
}

// A host behind a link that this browser is kept off (the adapters it may use) is found when
// its address is given to ask by unicast, and only then.
TEST(TwoHostDiscovery, AConfiguredServerIsAskedByUnicast)
{
    // The far host: a network namespace of its own behind the veth pair vnear (10.77.0.1) /
    // vfar (10.77.0.2). It says NETNS once it has left this namespace; vfar is then moved in,
    // and it brings vfar up before it runs the peer. Its namespace takes the pair with it.
    ASSERT_EQ(shell("ip link add vnear type veth peer name vfar && ip addr add 10.77.0.1/24 "
                    "dev vnear && ip link set vnear up"),
              0);
    const std::string farSide =
        "echo NETNS; while ! ip link show vfar >/dev/null 2>&1; do sleep 0.05; done; ip link set "
        "lo up && ip addr add 10.77.0.2/24 dev vfar && ip link set vfar up && exec \"$@\"";
    ChildProgram far(peer({"REMOTE (far)", "7100", "remote"},
                          {"unshare", "--net", "sh", "-c", farSide, "far-host"}));
    ASSERT_TRUE(far.waitFor("NETNS", 10000));
    ASSERT_EQ(shell("ip link set vfar netns " + std::to_string(far.pid())), 0);
    Browser deaf({"", {}, {}, {}, {"lo"}}), asking({"", {"10.77.0.2"}, {}, {}, {"lo"}});
    ASSERT_TRUE(listed(asking, "REMOTE (far)"));
    EXPECT_EQ(asking.find("REMOTE (far)")->address, "10.77.0.2:7100");
    EXPECT_FALSE(listed(deaf, "REMOTE (far)", 1500));
}

int main(int argc, char **argv)
{
    if (argc == 5 && std::string(argv[1]) == "--peer")
        return runPeer(argv + 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
