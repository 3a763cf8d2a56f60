// Discovery between real processes, one scenario per behaviour a user sees: processes of one
// host on loopback (which the test namespace leaves without its MULTICAST flag), two hosts
// joined by a veth pair, another responder that answers incompletely, and interoperation
// with avahi-daemon on a far host. The other
// processes run this program as a discovery peer (runPeer).

#include "ChildProcess.h"
#include "Discovery.h"
#include "MdnsSockets.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace veltrin::rt;
using namespace std::chrono_literals;
using veltrin::test::ChildProcess;
using veltrin::test::FarHost;

namespace {

// Run as `<this program> --peer NAME PORT MACHINE [--browse]`: announces one source and, with
// --browse, prints every change of its source list as "SOURCES name=address;name=address;".
// Runs until SIGTERM (and then says goodbye) or until it is killed.
volatile std::sig_atomic_t stopped = 0;

int runPeer(char **argv, bool browse)
{
    std::signal(SIGTERM, [](int) { stopped = 1; });
    DiscoveryConfig config;
    config.machineName = argv[3];
    Announcer announcer(config, argv[1], static_cast<uint16_t>(std::atoi(argv[2])));
    std::optional<Browser> browser;
    if (browse)
        browser.emplace(config);
    std::printf("READY\n");
    std::fflush(stdout);
    while (!stopped) {
        if (browser && browser->waitForChange(200)) {
            std::string line = "SOURCES ";
            for (const auto &source : browser->sources())
                line += source.name + '=' + source.address + ';';
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        } else if (!browser) {
            std::this_thread::sleep_for(200ms);
        }
    }
    return 0;
}

std::vector<std::string> peer(std::vector<std::string> args)
{
    args.insert(args.begin(), {std::filesystem::read_symlink("/proc/self/exe"), "--peer"});
    return args;
}

// The peer on the far host behind the veth pair vnear (10.77.0.1) / vfar (10.77.0.2).
std::vector<std::string> farPeer(const std::vector<std::string> &args)
{
    auto argv = FarHost::upAndRun("vfar", "10.77.0");
    const auto own = peer(args);
    argv.insert(argv.end(), own.begin(), own.end());
    return argv;
}

// Waits (generously: the machine is shared) until `done(browser)` holds.
template <typename Predicate>
bool waitUntil(Browser &browser, Predicate done, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(browser)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        browser.waitForChange(100);
    }
    return true;
}

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

DiscoveryConfig machine(const std::string &name, std::vector<std::string> sendGroups = {})
{
    DiscoveryConfig c;
    c.machineName = name;
    c.sendGroups = std::move(sendGroups);
    return c;
}

} // namespace

// Two peer processes and this one list each other's sources, in the groups they receive; a
// clean exit says goodbye, a killed process's sources age out.
TEST(DiscoveryLoopback, ProcessesOfOneHostFindEachOther)
{
    ChildProcess a(peer({"ALPHA (one)", "7001", "alpha", "--browse"}));
    ChildProcess b(peer({"BRAVO (two)", "7002", "bravo"}));
    Announcer inStudio(machine("cart", {"studio"}), "CART (Studio)", 7003);
    Announcer everyone(machine("cart"), "CART (Everyone)", 7004);
    // Names in use, for a generated sender name to avoid: with nothing in this process
    // browsing, asking for them asks the network; later they are the network's and this
    // process's own, in every group.
    ASSERT_TRUE(b.waitFor("READY", 5000));
    EXPECT_TRUE(sourceNamesInUse(DiscoveryConfig{}, 1500ms).count("BRAVO (two)"));

    DiscoveryConfig studio;
    studio.recvGroups = {"studio", "other"};
    Browser browser(DiscoveryConfig{}), studioBrowser(studio);
    ASSERT_TRUE(waitUntil(browser, [](Browser &w) {
        return w.find("ALPHA (one)") && w.find("BRAVO (two)") && w.find("CART (Everyone)");
    }));
    EXPECT_EQ(browser.find("ALPHA (one)")->address, "127.0.0.1:7001");
    EXPECT_TRUE(Browser(DiscoveryConfig{}).find("BRAVO (two)")) << "a new browser starts listed";
    ASSERT_TRUE(listed(studioBrowser, "CART (Studio)"));
    EXPECT_EQ(studioBrowser.sources().size(), 1u);
    EXPECT_FALSE(browser.find("CART (Studio)"));
    EXPECT_TRUE(a.waitFor("BRAVO (two)=127.0.0.1:7002", 10000));
    EXPECT_TRUE(a.waitFor("CART (Everyone)=127.0.0.1:7004", 10000));
    const auto names = sourceNamesInUse(DiscoveryConfig{}, 0ms);
    EXPECT_TRUE(names.count("BRAVO (two)") && names.count("CART (Studio)"));

    EXPECT_EQ(a.finish(), 0);
    EXPECT_TRUE(gone(browser, "ALPHA (one)", 5000)) << "no goodbye";
    b.kill(SIGKILL);
    EXPECT_TRUE(gone(browser, "BRAVO (two)", 15000));
    EXPECT_TRUE(browser.find("CART (Everyone)"));
}

// Another program holds port 5353 to itself: each process says once what it cannot do, and
// the processes of this host still find each other on their loopback channel.
TEST(DiscoveryLoopback, PortHeldByAnotherProgram)
{
    const int held = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(5353);
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr *>(&any), sizeof any), 0)
        << "port 5353 already taken in the test's namespace";
    ChildProcess a(peer({"ALPHA (held)", "7101", "alpha", "--browse"}));
    ChildProcess b(peer({"BRAVO (held)", "7102", "bravo", "--browse"}));
    EXPECT_TRUE(a.waitFor("UDP port 5353 is held by another program", 10000));
    EXPECT_TRUE(a.waitFor("BRAVO (held)=127.0.0.1:7102", 10000));
    EXPECT_TRUE(b.waitFor("ALPHA (held)=127.0.0.1:7101", 10000));
    ::close(held);
}

// Another responder on port 5353 that answers each question with one record and nothing
// more: a source named by a PTR alone is listed once the engine has asked for its SRV and
// then for its host's address.
TEST(ForeignResponder, IncompleteAnswersAreCompletedByAsking)
{
    MdnsSockets other;
    const MdnsInterface lo{1, "lo", {{inet_addr("127.0.0.1")}}, true};
    other.join(lo, true);
    Browser browser(DiscoveryConfig{});
    const DnsName service{"_veltrin", "_tcp", "local"},
        deck{"DECK (Bare)", "_veltrin", "_tcp", "local"}, host{"deck", "local"};
    const auto listed = [&] {
        const auto found = browser.find("DECK (Bare)");
        return found && found->address == "127.0.0.9:9001";
    };
    const auto serve = [&](const uint8_t *data, size_t size, const sockaddr_in &, int, bool, bool) {
        const auto query = parseDnsMessage(data, size);
        if (!query || query->isResponse())
            return;
        for (const DnsQuestion &q : query->questions) {
            DnsRecord r;
            r.name = q.name;
            r.type = q.type;
            r.ttl = 120;
            if (q.type == kTypePtr && sameName(q.name, service)) {
                r.target = deck;
            } else if (q.type == kTypeSrv && sameName(q.name, deck)) {
                r.target = host;
                r.port = 9001;
            } else if (q.type == kTypeA && sameName(q.name, host)) {
                r.ipv4 = {127, 0, 0, 9};
            } else {
                continue;
            }
            other.multicast({0, DnsMessage::kFlagResponse, {}, {r}, {}, {}}, lo);
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!listed() && std::chrono::steady_clock::now() < deadline) {
        other.wait(100);
        other.receive(MdnsSockets::Channel::Mdns, 16, serve);
    }
    EXPECT_TRUE(listed());
}

// Sources cross the link both ways, each side listing the address the other can reach; a
// browser kept off the link finds the far host only when given its address to ask by
// unicast; a goodbye crosses the link.
TEST(TwoHostDiscovery, SourcesCrossTheLinkBothWays)
{
    // This side starts before the link exists, as when a cable is plugged in later.
    Announcer near(machine("near"), "NEAR (here)", 7101);
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(listed(browser, "NEAR (here)"));

    FarHost far("vnear", "vfar", "10.77.0",
                farPeer({"REMOTE (far)", "7100", "remote", "--browse"}));
    ASSERT_TRUE(far.linked());
    ASSERT_TRUE(listed(browser, "REMOTE (far)"));
    EXPECT_EQ(browser.find("REMOTE (far)")->address, "10.77.0.2:7100");
    EXPECT_TRUE(far.child().waitFor("NEAR (here)=10.77.0.1:7101;", 10000));
    EXPECT_TRUE(waitUntil(browser, [](Browser &b) {
        return b.find("NEAR (here)")->address == "10.77.0.1:7101";
    })) << browser.find("NEAR (here)")->address;

    DiscoveryConfig loopbackOnly;
    loopbackOnly.allowedAdapters = {"lo"};
    DiscoveryConfig withServer = loopbackOnly;
    withServer.extraIps = {"10.77.0.2"};
    Browser deaf(loopbackOnly), asking(withServer);
    ASSERT_TRUE(listed(asking, "REMOTE (far)"));
    EXPECT_EQ(asking.find("REMOTE (far)")->address, "10.77.0.2:7100");
    EXPECT_FALSE(listed(deaf, "REMOTE (far)", 1500));

    EXPECT_EQ(far.child().finish(), 0);
    EXPECT_TRUE(gone(browser, "REMOTE (far)", 5000)) << "no goodbye across the link";
}

// avahi-daemon on a far host lists a Veltrin source with its host, port and name, and a
// service avahi-publish puts up under Veltrin's type reaches a Browser. A Veltrin peer on the
// far host shares port 5353 with the daemon there.
TEST(AvahiInterop, EachSideListsTheOthersService)
{
    // avahi-far-host.sh brings its end of the link up itself.
    FarHost far("vnear", "vfar", "10.77.0",
                {"--net", "--mount", "--pid", "--kill-child", "--propagation", "private", "sh",
                 VELTRIN_AVAHI_FAR_HOST, std::filesystem::read_symlink("/proc/self/exe"), "--peer",
                 "FARPEER (shared)", "7202", "farpeer", "--browse"});
    ASSERT_TRUE(far.linked());
    ASSERT_TRUE(far.child().waitFor("READY", 20000)) << "avahi-daemon did not start";

    const DiscoveryConfig config = machine("veltrinhost");
    Announcer announcer(config, sourceName(config, "interop"), 7201);
    Browser browser(config);
    // avahi-browse -p escapes the space and the brackets as decimal \032 \040 \041.
    EXPECT_TRUE(
        far.child().waitFor("=;vfar;IPv4;VELTRINHOST\\032\\040interop\\041;_veltrin._tcp;local;"
                            "veltrinhost.local;10.77.0.1;7201;",
                            20000));
    ASSERT_TRUE(listed(browser, "AVAHIHOST (published)", 20000));
    EXPECT_EQ(browser.find("AVAHIHOST (published)")->address, "10.77.0.2:7200");

    // On the far host, the daemon and the peer both hear everything on port 5353.
    EXPECT_TRUE(far.child().waitFor("AVAHIHOST (published)=10.77.0.2:7200;", 20000));
    EXPECT_TRUE(far.child().waitFor("VELTRINHOST (interop)=10.77.0.1:7201;", 20000));
    EXPECT_TRUE(far.child().waitFor("=;vfar;IPv4;FARPEER\\032\\040shared\\041;_veltrin._tcp;local;"
                                    "farpeer.local;10.77.0.2;7202;",
                                    20000));
    EXPECT_TRUE(listed(browser, "FARPEER (shared)", 5000));
}

int main(int argc, char **argv)
{
    if (argc >= 5 && std::string(argv[1]) == "--peer")
        return runPeer(argv + 1, argc == 6);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
