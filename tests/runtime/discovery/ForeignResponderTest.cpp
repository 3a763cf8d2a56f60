// Responses from another multicast DNS responder on the link, spoken by hand from a socket
// on port 5353: incomplete answers that the engine must complete by asking, fields that
// override defaults, other service types, goodbyes, absurd lifetimes and a flood of records.

#include "Discovery.h"
#include "DnsMessage.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace veltrin::rt;

namespace {

using Clock = std::chrono::steady_clock;
const DnsName kService{"_veltrin", "_tcp", "local"};

// A hand-driven responder on lo, port 5353 (shared with the engine under test).
class HandResponder
{
public:
    HandResponder()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(5353);
        m_bound = bind(m_fd, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = inet_addr("224.0.0.251");
        request.imr_address.s_addr = inet_addr("127.0.0.1"); // the source address of what it sends
        request.imr_ifindex = 1;                             // lo
        setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
    }
    ~HandResponder() { close(m_fd); }
    bool bound() const { return m_bound; }

    void send(const std::vector<DnsRecord> &answers)
    {
        DnsMessage m;
        m.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
        m.answers = answers;
        const auto bytes = writeDnsMessage(m);
        ASSERT_TRUE(bytes);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(5353);
        group.sin_addr.s_addr = inet_addr("224.0.0.251");
        ASSERT_EQ(sendto(m_fd, bytes->data(), bytes->size(), 0,
                         reinterpret_cast<sockaddr *>(&group), sizeof group),
                  static_cast<ssize_t>(bytes->size()));
    }

    // Waits for a query that asks for `name` with `type`.
    bool awaitQuestion(const DnsName &name, uint16_t type, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0)
                continue;
            uint8_t buffer[9000];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            const auto m = n > 0 ? parseDnsMessage(buffer, static_cast<size_t>(n)) : std::nullopt;
            if (!m || m->isResponse())
                continue;
            for (const DnsQuestion &q : m->questions)
                if (sameName(q.name, name) && q.type == type)
                    return true;
        }
        return false;
    }

private:
    int m_fd = -1;
    bool m_bound = false;
};

DnsRecord ptr(const DnsName &instance, uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = kService;
    r.type = kTypePtr;
    r.ttl = ttl;
    r.target = instance;
    return r;
}

DnsRecord srv(const DnsName &instance, const DnsName &host, uint16_t port, uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = instance;
    r.type = kTypeSrv;
    r.ttl = ttl;
    r.port = port;
    r.target = host;
    return r;
}

DnsRecord a(const DnsName &host, std::array<uint8_t, 4> ip, uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = host;
    r.type = kTypeA;
    r.ttl = ttl;
    r.ipv4 = ip;
    return r;
}

DnsRecord txt(const DnsName &instance, std::vector<std::string> strings)
{
    DnsRecord r;
    r.name = instance;
    r.type = kTypeTxt;
    r.ttl = 120;
    r.txt = std::move(strings);
    return r;
}

DnsName instance(const std::string &label)
{
    return {label, "_veltrin", "_tcp", "local"};
}

// The engine asks for sources as soon as its thread has found the interfaces; before that
// it would drop what comes in.
void awaitEngine(HandResponder &responder)
{
    ASSERT_TRUE(responder.bound());
    ASSERT_TRUE(responder.awaitQuestion(kService, kTypePtr, 5000)) << "no browse query";
}

template <typename Predicate>
bool waitUntil(Browser &browser, Predicate done, int timeoutMs = 10000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(browser)) {
        if (Clock::now() > deadline)
            return false;
        browser.waitForChange(100);
    }
    return true;
}

} // namespace

TEST(ForeignResponder, IncompleteAnswersAreCompletedByAsking)
{
    HandResponder responder;
    Browser browser(DiscoveryConfig{});
    awaitEngine(responder);

    const DnsName host{"deck", "local"};
    responder.send({ptr(instance("DECK (Bare)"))});
    ASSERT_TRUE(responder.awaitQuestion(instance("DECK (Bare)"), kTypeSrv, 5000));
    EXPECT_FALSE(browser.waitForChange(300)) << "listed without a port";

    responder.send({srv(instance("DECK (Bare)"), host, 9001)});
    ASSERT_TRUE(responder.awaitQuestion(host, kTypeA, 5000));
    responder.send({a(host, {127, 0, 0, 9})});
    ASSERT_TRUE(waitUntil(browser, [](Browser &b) {
        auto s = b.find("DECK (Bare)");
        return s && s->address == "127.0.0.9:9001";
    }));
}

TEST(ForeignResponder, TextFieldsNameAndGroupTheSource)
{
    HandResponder responder;
    Browser browser(DiscoveryConfig{});
    awaitEngine(responder);
    const DnsName host{"deck", "local"};
    const DnsName shortLabel = instance("DECK (Cut)");
    const DnsName secret = instance("DECK (Secret)");
    responder.send({ptr(shortLabel), srv(shortLabel, host, 9002), a(host, {127, 0, 0, 9}),
                    txt(shortLabel, {"name=DECK (Cut, but whole in the text)", "groups=Public"}),
                    ptr(secret), srv(secret, host, 9003), txt(secret, {"groups=backstage"})});
    ASSERT_TRUE(waitUntil(browser, [](Browser &b) {
        return b.find("DECK (Cut, but whole in the text)").has_value();
    }));
    EXPECT_FALSE(browser.find("DECK (Cut)"));
    EXPECT_FALSE(browser.find("DECK (Secret)"));
}

TEST(ForeignResponder, OtherTypesGoodbyesAndLifetimes)
{
    HandResponder responder;
    Browser browser(DiscoveryConfig{});
    awaitEngine(responder);
    const DnsName host{"deck", "local"};
    const DnsName forever = instance("DECK (Forever)");
    DnsRecord otherType = ptr({"DECK (Other)", "_ndi", "_tcp", "local"});
    otherType.name = {"_ndi", "_tcp", "local"};
    responder.send({otherType, srv(otherType.target, host, 5960), a(host, {127, 0, 0, 9}),
                    ptr(forever, 0xFFFFFFFF), srv(forever, host, 9004, 0xFFFFFFFF)});
    ASSERT_TRUE(
        waitUntil(browser, [](Browser &b) { return b.find("DECK (Forever)").has_value(); }));
    EXPECT_EQ(browser.sources().size(), 1u);

    responder.send({ptr(forever, 0)}); // goodbye
    ASSERT_TRUE(waitUntil(
        browser, [](Browser &b) { return b.sources().empty(); }, 5000));
}

TEST(ForeignResponder, AFloodOfRecordsLeavesTheEngineWorking)
{
    HandResponder responder;
    Browser browser(DiscoveryConfig{});
    awaitEngine(responder);
    const DnsName host{"deck", "local"};
    for (int batch = 0; batch < 60; ++batch) {
        std::vector<DnsRecord> records;
        for (int i = 0; i < 40; ++i) {
            const DnsName name = instance("FLOOD " + std::to_string(batch * 40 + i));
            records.push_back(ptr(name));
            records.push_back(srv(name, host, 9100));
        }
        responder.send(records);
    }
    responder.send({a(host, {127, 0, 0, 9})});
    // The cache is bounded: the oldest records make room for newer ones, so many of the
    // 2400 sources are listed and a real source that comes afterwards is too.
    ASSERT_TRUE(waitUntil(
        browser, [](Browser &b) { return b.sources().size() >= 1000; }, 20000));
    Announcer late(
        [] {
            DiscoveryConfig c;
            c.machineName = "cart";
            return c;
        }(),
        "CART (After the flood)", 9200);
    ASSERT_TRUE(waitUntil(browser,
                          [](Browser &b) { return b.find("CART (After the flood)").has_value(); }));
}
