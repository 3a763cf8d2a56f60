// Discovery on a host whose only interface is loopback, without its MULTICAST flag (as the
// test namespace leaves it): within one process, between three processes, goodbyes, silent
// disappearance, groups, hostile packets on port 5353, another program that keeps port 5353
// to itself, and the names in use that a generated sender name must avoid.

#include "ChildProcess.h"
#include "Discovery.h"
#include "DiscoveryEngine.h"
#include "DnsRecords.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>

using namespace veltrin::rt;
using veltrin::test::ChildProcess;
using veltrin::test::dns::machine;
using veltrin::test::dns::waitUntil;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> peer(std::vector<std::string> args)
{
    args.insert(args.begin(), VELTRIN_DISCOVERY_PEER);
    return args;
}

// Another program on port 5353 that does not share it, answering one-shot queries for a
// source of its own, as a responder that keeps the port to itself would.
class ExclusiveHolder
{
public:
    ExclusiveHolder() : m_thread([this] { serve(); }) {}
    ~ExclusiveHolder()
    {
        m_stop = true;
        m_thread.join();
    }
    bool bound() const { return m_socket.bound(); }

private:
    void serve()
    {
        using namespace veltrin::test::dns;
        const DnsName deck = instance("DECK (Holder)"), host{"deck", "local"};
        while (!m_stop) {
            sockaddr_in from{};
            const auto query = m_socket.nextQuery(100, from);
            if (!query || ntohs(from.sin_port) == 5353)
                continue;
            for (const DnsQuestion &q : query->questions)
                if (q.type == kTypePtr && sameName(q.name, kService)) {
                    DnsMessage answer;
                    answer.id = query->id;
                    answer.questions = query->questions;
                    answer.answers = {ptr(deck, 10)};
                    answer.additionals = {srv(deck, host, 9300, 10), a(host, {127, 0, 0, 9}, 10)};
                    m_socket.send(answer, from);
                }
        }
    }

    veltrin::test::dns::HandResponder m_socket{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

// A source of the same process comes and goes, changes are reported, and hostile packets on
// the port change nothing.
TEST(DiscoveryLoopback, SourceOfTheSameProcessComesAndGoes)
{
    Browser browser(DiscoveryConfig{});
    EXPECT_FALSE(browser.waitForChange(300)); // nothing on the network yet
    auto announcer = std::make_unique<Announcer>(machine("cart"), "CART (Program)", 5961);
    ASSERT_TRUE(
        waitUntil(browser, [](Browser &w) { return w.find("CART (Program)").has_value(); }));
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

    // Hostile packets are counted and dropped: a response whose answer name points at itself,
    // a truncated header, random bytes.
    auto engine = DiscoveryEngine::acquire(DiscoveryConfig{});
    const auto before = engine->counters();
    const std::vector<uint8_t> loop{0,  0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0,    0xC0,
                                    12, 0, 12,   0, 1, 0, 0, 0, 8, 0, 2, 0xC0, 12};
    veltrin::test::dns::HandResponder hostile;
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(hostile.sendBytes(loop));
        EXPECT_TRUE(hostile.sendBytes({1, 2, 3}));
        EXPECT_TRUE(hostile.sendBytes(std::vector<uint8_t>(700, 0xFF), hostile.to("127.0.0.1")));
    }
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (engine->counters().malformed < before.malformed + 10 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(engine->counters().malformed, before.malformed + 10);
    EXPECT_TRUE(engine->listening());
    EXPECT_TRUE(browser.find("CART (Program)"));

    announcer.reset(); // goodbye
    ASSERT_TRUE(waitUntil(
        browser, [](Browser &w) { return w.sources().size() == 1; }, 5000));
    EXPECT_FALSE(browser.find("CART (Program)"));
}

// Groups keep sources apart, an adapter list leaves out other interfaces, and a name longer
// than a DNS label survives.
TEST(DiscoveryLoopback, GroupsAdaptersAndLongNames)
{
    DiscoveryConfig studio = machine("cart");
    studio.sendGroups = {"studio"};
    Announcer inStudio(studio, "CART (Studio only)", 5962);
    Announcer inPublic(machine("cart"), "CART (Everyone)", 5963);
    const std::string longName = "CART (" + std::string(80, 'n') + " \xC3\xA9)";
    Announcer longOne(machine("cart"), longName, 5965);

    DiscoveryConfig studioReceiver, elsewhere, byAddress;
    studioReceiver.recvGroups = {"studio", "other"};
    elsewhere.allowedAdapters = {"eth7"};
    byAddress.allowedAdapters = {"127.0.0.1"};
    Browser studioBrowser(studioReceiver), blind(elsewhere), seeing(byAddress);
    ASSERT_TRUE(waitUntil(studioBrowser,
                          [](Browser &w) { return w.find("CART (Studio only)").has_value(); }));
    ASSERT_TRUE(waitUntil(seeing, [&](Browser &w) {
        return w.find("CART (Everyone)").has_value() && w.find(longName).has_value();
    }));
    EXPECT_FALSE(studioBrowser.find("CART (Everyone)"));
    EXPECT_FALSE(seeing.find("CART (Studio only)"));
    EXPECT_TRUE(blind.sources().empty());
}

TEST(DiscoveryLoopback, ThreeProcessesSeeEachOtherGoodbyesAndSilentDeaths)
{
    // Two peers announce and browse; this process browses too. Unicast to 127.0.0.1:5353
    // would reach only one of the three sockets on the port, so this shows the multicast
    // path on loopback works for all of them.
    ChildProcess a(peer({"--announce", "ALPHA (one)", "7001", "--machine", "alpha", "--browse"}));
    ChildProcess b(peer({"--announce", "BRAVO (two)", "7002", "--machine", "bravo", "--browse"}));
    Browser browser(DiscoveryConfig{});
    ASSERT_TRUE(waitUntil(browser, [](Browser &w) {
        return w.find("ALPHA (one)").has_value() && w.find("BRAVO (two)").has_value();
    }));
    EXPECT_EQ(browser.find("ALPHA (one)")->address, "127.0.0.1:7001");
    EXPECT_TRUE(a.waitFor("BRAVO (two)=127.0.0.1:7002", 10000));
    EXPECT_TRUE(b.waitFor("ALPHA (one)=127.0.0.1:7001", 10000));

    EXPECT_EQ(a.finish(), 0); // a clean exit says goodbye
    ASSERT_TRUE(waitUntil(
        browser, [](Browser &w) { return !w.find("ALPHA (one)").has_value(); }, 5000));
    EXPECT_TRUE(browser.find("BRAVO (two)").has_value());

    b.kill(SIGKILL); // no goodbye: the records must age out
    ASSERT_TRUE(waitUntil(
        browser, [](Browser &w) { return w.sources().empty(); }, 15000));
}

TEST(DiscoveryLoopback, PortHeldByAnotherProgram)
{
    ExclusiveHolder holder;
    ASSERT_TRUE(holder.bound()) << "port 5353 already taken in the test's namespace";
    ChildProcess a(peer({"--announce", "ALPHA (held)", "7101", "--machine", "alpha", "--browse"}));
    ChildProcess b(peer({"--announce", "BRAVO (held)", "7102", "--machine", "bravo", "--browse"}));
    // Each says once what it cannot do.
    EXPECT_TRUE(a.waitFor("UDP port 5353 is held by another program", 10000));
    // The two find each other on their loopback channel, and both find the holder's own
    // source by asking it directly.
    EXPECT_TRUE(a.waitFor("BRAVO (held)=127.0.0.1:7102", 10000));
    EXPECT_TRUE(b.waitFor("ALPHA (held)=127.0.0.1:7101", 10000));
    EXPECT_TRUE(a.waitFor("DECK (Holder)=127.0.0.9:9300", 10000));
    EXPECT_TRUE(b.waitFor("DECK (Holder)=127.0.0.9:9300", 10000));

    // A goodbye still reaches the other process.
    EXPECT_EQ(a.finish(), 0);
    EXPECT_TRUE(
        b.waitFor("SOURCES BRAVO (held)=127.0.0.1:7102;DECK (Holder)=127.0.0.9:9300;", 5000));
}

TEST(DiscoveryLoopback, NamesInUseCoverThisProcessAndTheNetwork)
{
    ChildProcess other(peer({"--announce", "CART (Other)", "7201", "--machine", "cart"}));
    ASSERT_TRUE(other.waitFor("READY", 5000));
    // Nothing in this process browses yet: the call asks the network and waits for answers.
    EXPECT_TRUE(
        sourceNamesInUse(DiscoveryConfig{}, std::chrono::milliseconds(1500)).count("CART (Other)"));

    Browser browser(DiscoveryConfig{}); // keeps the engine and its cache between the calls
    auto own = std::make_unique<Announcer>(machine("cart"), "CART (Own)", 7202);
    ASSERT_TRUE(waitUntil(browser, [](Browser &w) {
        return w.find("CART (Own)").has_value() && w.find("CART (Other)").has_value();
    }));
    auto names = sourceNamesInUse(DiscoveryConfig{}, std::chrono::milliseconds(0));
    EXPECT_TRUE(names.count("CART (Own)") && names.count("CART (Other)"));

    // A name this process stops announcing is free again at once, though its own goodbye may
    // not have come back yet.
    own.reset();
    names = sourceNamesInUse(DiscoveryConfig{}, std::chrono::milliseconds(0));
    EXPECT_FALSE(names.count("CART (Own)"));
    EXPECT_TRUE(names.count("CART (Other)"));
}
