// The parts of discovery without sockets, time passed in as `now`: the DNS message parser and
// writer, the record cache (limits, confirmation, expiry, a flood, the lists), the responder
// (what it answers, to whom, with which lifetimes; its announcements) and the querier.

#include "DnsMessage.h"
#include "Querier.h"
#include "RecordCache.h"
#include "Responder.h"

#include <gtest/gtest.h>
#include <tuple>

using namespace veltrin::rt;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point t0 = Clock::time_point{} + 1000s;
const DnsName kService{"_veltrin", "_tcp", "local"};
const auto instance = [](const std::string &label) {
    return DnsName{label, "_veltrin", "_tcp", "local"};
};
const auto ip = [](uint8_t last) { return in_addr{htonl(0x7F000000u | last)}; };

// A record of `type` named `name`, with `target` (PTR, SRV), `port` (SRV) or `ipv4` (A).
DnsRecord rr(DnsName name, uint16_t type, uint32_t ttl = 120, DnsName target = {},
             uint16_t port = 0, std::array<uint8_t, 4> ipv4 = {})
{
    return {
        std::move(name), type, kClassIn, false, ttl, std::move(target), 0, 0, port, {}, ipv4, {}};
}

DnsMessage response(std::vector<DnsRecord> answers)
{
    return {0, DnsMessage::kFlagResponse, {}, std::move(answers), {}, {}};
}

// PTR, SRV and A of one source named `label` on host `label`.local.
DnsMessage source(const std::string &label, uint8_t address, uint32_t ttl = 120)
{
    const DnsName host{label, "local"};
    return response({rr(kService, kTypePtr, ttl, instance(label)),
                     rr(instance(label), kTypeSrv, ttl, host, 9000),
                     rr(host, kTypeA, ttl, {}, 0, {127, 0, 0, address})});
}

// The sources listed, by name; every interface counts as loopback.
std::map<std::string, RecordCache::Listed> listed(const RecordCache &cache, bool confirmedOnly)
{
    std::set<std::string> heard;
    return cache.sources(
        confirmedOnly, [](int) { return true; }, heard);
}

DnsMessage query(const DnsName &name, uint16_t type, bool unicastResponse = false)
{
    return {77, 0, {{name, type, kClassIn, unicastResponse}}, {}, {}, {}};
}

// Header with the given counts, then the body.
std::vector<uint8_t> packet(uint8_t qd, uint8_t an, std::vector<uint8_t> body)
{
    body.insert(body.begin(), {0, 0, 0x84, 0, 0, qd, 0, an, 0, 0, 0, 0});
    return body;
}

} // namespace

// Every field survives; "_veltrin._tcp.local" and "booth", in several names each, are spelled
// out once, and compression keeps each name's own case. Every truncation is rejected, and so
// is what the wire cannot hold.
TEST(DnsMessage, RoundTripKeepsEveryFieldAndCompresses)
{
    const DnsName booth = instance("BOOTH (Mic 1.2)"), host{"booth", "local"};
    DnsRecord service = rr(booth, kTypeSrv, 8, host, 5960), text = rr(booth, kTypeTxt, 8);
    service.cacheFlush = true;
    service.priority = 1;
    service.weight = 2;
    text.txt = {"txtvers=1", "", "groups=public"};
    DnsRecord other = rr({"Booth", "LOCAL"}, 28, 8); // AAAA, kept as raw bytes
    other.raw.assign(16, 0xAB);
    const DnsMessage m{0,
                       DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative,
                       {{kService, kTypePtr, kClassIn, true}},
                       {rr(kService, kTypePtr, 8, booth), service, text},
                       {other},
                       {rr(host, kTypeA, 8, {}, 0, {10, 0, 0, 7})}};
    const auto bytes = writeDnsMessage(m);
    ASSERT_TRUE(bytes);
    const auto back = parseDnsMessage(bytes->data(), bytes->size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, m);
    const std::string written(bytes->begin(), bytes->end());
    EXPECT_EQ(written.find("_veltrin"), written.rfind("_veltrin"));
    EXPECT_EQ(written.find("booth"), written.rfind("booth"));
    for (size_t n = 0; n < bytes->size(); ++n)
        EXPECT_FALSE(parseDnsMessage(bytes->data(), n)) << "truncated to " << n;

    EXPECT_TRUE(sameName({"Booth", "LOCAL"}, {"booth", "local"}));
    EXPECT_FALSE(sameName({"booth", "local"}, {"booth", "local", "x"}));
    EXPECT_FALSE(sameName({"a.b", "c"}, {"a", "b.c"}));
    EXPECT_NE(nameKey({"a.b", "c"}), nameKey({"a", "b.c"}));
    // A label of 64 bytes, a name of 306, an empty label.
    for (const DnsName &name : {DnsName{std::string(64, 'x'), "local"},
                                DnsName(5, std::string(60, 'x')), DnsName{"", "local"}})
        EXPECT_FALSE(writeDnsMessage(query(name, kTypeA))) << name.size();
}

// Packets that are whole but wrong (truncations are the case above).
TEST(DnsMessage, MalformedPacketsAreRejected)
{
    std::vector<uint8_t> longName; // 256 bytes on the wire, built from pointers to earlier labels
    for (int i = 0; i < 4; ++i) {
        longName.push_back(62);
        longName.insert(longName.end(), 62, 'x');
    }
    longName.insert(longName.end(), {0, 0, 1, 0, 1, 2, 'y', 'y', 0xC0, 12, 0, 1, 0, 1});
    const std::pair<const char *, std::vector<uint8_t>> cases[] = {
        {"pointer to itself", packet(1, 0, {0xC0, 12, 0, 1, 0, 1})},
        {"pointer forwards", packet(1, 0, {0xC0, 14, 0, 1, 0, 1, 0})},
        {"two pointers in a loop",
         packet(2, 0, {1, 'a', 0xC0, 16, 0, 1, 0, 1, 0xC0, 14, 0, 1, 0, 1})},
        {"reserved label type", packet(1, 0, {0x45, 'a', 0, 0, 1, 0, 1})},
        {"name of 256 bytes", packet(2, 0, longName)},
        {"A record of five bytes", packet(0, 1, {0, 0, 1, 0, 1, 0, 0, 0, 8, 0, 5, 1, 2, 3, 4, 5})},
        {"TXT string over its record",
         packet(0, 1, {0, 0, 16, 0, 1, 0, 0, 0, 8, 0, 3, 5, 'a', 'b'})},
        {"SRV shorter than its fields",
         packet(0, 1, {0, 0, 33, 0, 1, 0, 0, 0, 8, 0, 4, 0, 0, 0, 0, 0})},
        {"PTR target beyond its length",
         packet(0, 1, {0, 0, 12, 0, 1, 0, 0, 0, 8, 0, 1, 2, 'a', 'b', 0})},
    };
    for (const auto &[what, bytes] : cases)
        EXPECT_FALSE(parseDnsMessage(bytes.data(), bytes.size())) << what;
}

// Lifetimes: a goodbye removes at once, lifetimes are cut to kMaxCachedTtl, unconfirmed ones
// to unconfirmedLifetime (8 s); a record heard again confirmAfter later is confirmed and keeps
// its own lifetime; a refresh question goes out once, at 80 % of the lifetime.
TEST(RecordCache, LifetimesGoodbyesAndConfirmation)
{
    // What, lifetime, heard in answer to our own question, heard again after (0: heard once),
    // looked at after that, still listed.
    const std::tuple<const char *, uint32_t, bool, Clock::duration, Clock::duration, bool> rows[] =
        {
            {"confirmed, inside its lifetime", 120, true, 0s, 119s, true},
            {"confirmed, past its lifetime", 120, true, 0s, 121s, false},
            {"a lifetime beyond the cap is cut to it", 0xFFFFFFFF, true, 0s, 4501s, false},
            {"the cap itself is kept", 0xFFFFFFFF, true, 0s, 4499s, true},
            {"unconfirmed lives unconfirmedLifetime", 120, false, 0s, 8001ms, false},
            {"heard again too soon stays unconfirmed", 120, false, 500ms, 8600ms, false},
            {"heard again a second later is confirmed", 120, false, 1s, 100s, true},
            {"a goodbye removes it", 0, true, 0s, 0s, false},
        };
    for (const auto &[what, ttl, confirming, heardAgainAfter, lookAfter, present] : rows) {
        RecordCache cache{DiscoveryLimits{}};
        cache.take(source("deck", 9, ttl == 0 ? 120 : ttl), ip(9), 1, confirming, t0);
        if (ttl == 0)
            cache.take(source("deck", 9, 0), ip(9), 1, false, t0);
        if (heardAgainAfter > 0s)
            cache.take(source("deck", 9, ttl), ip(9), 1, false, t0 + heardAgainAfter);
        EXPECT_EQ(cache.expire(t0 + heardAgainAfter + lookAfter).changed, !present && ttl != 0)
            << what;
        EXPECT_EQ(listed(cache, false).count("deck") == 1, present) << what;
    }

    RecordCache cache{DiscoveryLimits{}};
    cache.take(source("deck", 9, 100), ip(9), 1, true, t0);
    EXPECT_TRUE(cache.expire(t0 + 79s).refresh.empty());
    EXPECT_EQ(cache.expire(t0 + 80s).refresh.at(1).size(), 3u); // PTR, SRV, A: each asked once
    EXPECT_TRUE(cache.expire(t0 + 90s).refresh.empty());
}

// A flood of made-up sources fills only the unconfirmed part of the cache: the total stays
// within maxRecords, confirmed sources stay, the lists hold confirmed sources only while
// unconfirmed ones are pushed out and for pressureHold after, and what is left expires.
TEST(RecordCache, AFloodFillsOnlyTheUnconfirmedPart)
{
    // 30 records, 12 of them unconfirmed; confirmed after 1 s, unconfirmed ones live 1 s and
    // pressure is held 1.5 s.
    const DiscoveryLimits limits{30, 12, 1000ms, 1000ms, 1500ms};
    RecordCache cache(limits);
    cache.take(source("real", 1), ip(1), 1, true, t0);
    int pressureBegan = 0;
    for (int i = 0; i < 200; ++i) {
        const DnsMessage flood = source("flood" + std::to_string(i), uint8_t(i));
        pressureBegan += cache.take(flood, ip(2), 1, false, t0 + 1ms * i).pressureBegan;
        ASSERT_LE(cache.size(), 3 + limits.maxUnconfirmed) << "flood " << i;
    }
    EXPECT_EQ(pressureBegan, 1) << "the engine is told once per flood";
    EXPECT_GT(cache.evicted(), 100u);
    const auto confirmed = listed(cache, true);
    EXPECT_TRUE(confirmed.size() == 1 && confirmed.count("real"));
    // Quiet: the rest of the flood expires before the pressure ends.
    EXPECT_TRUE(cache.expire(t0 + 1201ms).changed);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_TRUE(cache.underPressure(t0 + 1201ms));
    EXPECT_FALSE(cache.underPressure(t0 + 1699ms));

    // A confirmed record is taken even when everything is full of confirmed ones: the oldest
    // confirmed goes; an unconfirmed one is refused.
    RecordCache full(limits);
    for (int i = 0; i < 10; ++i)
        full.take(source("c" + std::to_string(i), uint8_t(i)), ip(3), 1, true, t0 + 1s * i);
    full.take(source("newest", 50), ip(3), 1, true, t0 + 20s);
    EXPECT_EQ(full.size(), 30u);
    EXPECT_FALSE(listed(full, false).count("c0"));
    EXPECT_TRUE(listed(full, false).count("newest"));
    full.take(source("stranger", 60), ip(3), 1, false, t0 + 21s);
    EXPECT_EQ(full.refused(), 2u); // its PTR and SRV; no SRV names its host
}

// What a response contributes: only Veltrin's service type, an address only for a host an SRV
// names, at most maxRecordsPerMessage records, and the names left to resolve; a source is
// named and grouped by its text fields, its name cleaned, its lowest address listed.
TEST(RecordCache, TakesOnlyWhatDescribesAService)
{
    DiscoveryLimits limits;
    limits.maxRecordsPerMessage = 4;
    RecordCache cache(limits);
    const DnsName host{"deck", "local"};
    const auto taken = cache.take(
        response({rr({"_ndi", "_tcp", "local"}, kTypePtr, 120, {"x", "_ndi", "_tcp", "local"}),
                  rr({"nobody", "local"}, kTypeA, 120, {}, 0, {1, 2, 3, 4}),
                  rr(kService, kTypePtr, 120, instance("deck"))}),
        ip(9), 1, false, t0);
    EXPECT_EQ(cache.size(), 1u);
    ASSERT_EQ(taken.toResolve.size(), 2u); // its SRV and TXT
    EXPECT_EQ(taken.toResolve[0].first, kTypeSrv);
    EXPECT_TRUE(cache.has(1, kService, kTypePtr));
    EXPECT_FALSE(cache.has(2, kService, kTypePtr));

    DnsRecord text = rr(instance("deck"), kTypeTxt);
    text.txt = {"name=DECK\tWhole", "groups=A"};
    cache.take(response({rr(instance("deck"), kTypeSrv, 120, host, 9001), text,
                         rr(host, kTypeA, 120, {}, 0, {127, 0, 0, 5}),
                         rr(host, kTypeA, 120, {}, 0, {127, 0, 0, 4}),
                         rr(host, kTypeA, 120, {}, 0, {127, 0, 0, 3})}),
               ip(9), 1, false, t0);
    EXPECT_EQ(cache.size(), 5u) << "four of five records per message";
    const auto sources = listed(cache, false);
    ASSERT_EQ(sources.size(), 1u);
    const auto &[name, deck] = *sources.begin();
    EXPECT_EQ(std::tie(name, deck.source.address, deck.groups, deck.loopback),
              std::make_tuple("DECK Whole", "127.0.0.4:9001", std::vector<std::string>{"a"}, true));
    EXPECT_TRUE(cache.dropInterface(1));
    EXPECT_EQ(cache.size(), 0u);
}

// What the responder says to each kind of question, to whom and with which lifetime.
TEST(Responder, AnswersByQuestionAndAsker)
{
    const MdnsInterface lo{1, "lo", {ip(1)}, true};
    Responder responder;
    EXPECT_TRUE(responder.answer(query(kService, kTypePtr), lo, true, false).messages.empty())
        << "nothing announced, nothing said";
    responder.add(1, {"DECK (Main)", "deck", 9000, {}}, t0);
    const DnsName me = instance("DECK (Main)");
    DnsMessage known = query(kService, kTypePtr), stale = known;
    known.answers = {rr(kService, kTypePtr, Responder::kRecordTtlSeconds / 2, me)};
    stale.answers = {rr(kService, kTypePtr, Responder::kRecordTtlSeconds / 2 - 1, me)};
    // What, query, sent to the group, from a one-shot querier; the answers and additionals of
    // the one message (0, 0: no answer), sent by unicast.
    const std::tuple<const char *, DnsMessage, bool, bool, size_t, size_t, bool> rows[] = {
        {"browse", query(kService, kTypePtr), true, false, 1, 3, false},
        {"browse, asked for unicast", query(kService, kTypePtr, true), true, false, 1, 3, true},
        {"browse sent to us directly", query(kService, kTypePtr), false, false, 1, 3, true},
        {"browse that knows the answer", known, true, false, 0, 0, false},
        {"browse whose known answer is half gone", stale, true, false, 1, 3, false},
        {"service types", query(servicesMetaName(), kTypePtr), true, false, 1, 0, false},
        {"SRV of the instance", query(me, kTypeSrv), true, false, 1, 1, false},
        {"TXT of the instance", query(me, kTypeTxt), true, false, 1, 0, false},
        {"everything of the instance", query(me, kTypeAny), true, false, 2, 1, false},
        {"address of the host", query({"deck", "local"}, kTypeA), true, false, 1, 0, false},
        {"another instance", query(instance("other"), kTypeSrv), true, false, 0, 0, false},
        {"one-shot querier", query(kService, kTypePtr), true, true, 1, 3, true},
    };
    for (const auto &[what, q, toMulticast, legacy, answers, additionals, unicast] : rows) {
        const Responder::Reply reply = responder.answer(q, lo, toMulticast, legacy);
        ASSERT_EQ(reply.messages.size(), answers == 0 ? 0u : 1u) << what;
        if (answers == 0)
            continue;
        // A one-shot querier gets its id and questions back, short lifetimes and no
        // cache-flush bits (RFC 6762 section 6.7).
        const DnsMessage &m = reply.messages[0];
        EXPECT_EQ(std::make_tuple(m.answers.size(), m.additionals.size(), reply.unicast,
                                  m.isResponse(), m.id, m.questions.size()),
                  std::make_tuple(answers, additionals, unicast, true, uint16_t(legacy ? 77 : 0),
                                  size_t(legacy ? 1 : 0)))
            << what;
        for (const auto *section : {&m.answers, &m.additionals})
            for (const DnsRecord &r : *section)
                EXPECT_TRUE(r.ttl == Responder::kRecordTtlSeconds && !(legacy && r.cacheFlush))
                    << what << ": " << r.ttl;
    }
}

// Announcements at once, after 1 s, then every kAnnouncePeriod; a removed service says
// goodbye on every interface at once and again 250 ms later, and its name counts as retired
// for a record lifetime. A name longer than a label is cut, at a character, in the PTR and
// whole in the text.
TEST(Responder, AnnouncesOnScheduleAndSaysGoodbyeTwice)
{
    const std::string name = "DECK (" + std::string(56, 'n') + "\xC3\xA9)"; // é at bytes 62-63
    const std::map<int, MdnsInterface> interfaces{{1, {1, "lo", {ip(1)}, true}},
                                                  {2, {2, "eth0", {ip(2)}, false}}};
    Responder responder;
    responder.add(1, {name, "deck", 9000, {"b", "a"}}, t0);
    std::vector<int> at;
    for (int ms = 0; ms <= 7000; ms += 250)
        if (!responder.due(interfaces, t0 + 1ms * ms).empty())
            at.push_back(ms);
    EXPECT_EQ(at, (std::vector<int>{0, 1000, 3500, 6000}));

    const Responder::Outgoing first = Responder(responder).due(interfaces, t0 + 9s);
    ASSERT_EQ(first.size(), 2u);
    const auto &[itf, eth0] = first[1];
    ASSERT_EQ(eth0.answers.size(), 4u); // PTR, SRV, TXT and eth0's address
    EXPECT_EQ(std::tie(itf, eth0.answers[0].target[0], eth0.answers[2].txt),
              std::make_tuple(2, name.substr(0, 62),
                              std::vector<std::string>{"txtvers=1", "name=" + name, "groups=b,a"}));

    const Responder::Outgoing goodbyes = responder.remove(1, interfaces, t0 + 10s);
    ASSERT_EQ(goodbyes.size(), 2u);
    EXPECT_EQ(goodbyes[0].second.answers.size(), 3u) << "the address stays";
    for (const DnsRecord &r : goodbyes[0].second.answers)
        EXPECT_EQ(r.ttl, 0u);
    EXPECT_TRUE(responder.retired(name));
    EXPECT_TRUE(responder.names().empty());
    EXPECT_TRUE(responder.due(interfaces, t0 + 10s + 200ms).empty());
    EXPECT_EQ(responder.due(interfaces, t0 + 10s + 250ms).size(), 2u);
    EXPECT_TRUE(responder.due(interfaces, t0 + 10s + 500ms).empty());
    responder.due(interfaces, t0 + 19s);
    EXPECT_FALSE(responder.retired(name));
}

// Three browse queries (0, 1 and 3 s), direct queries only while wanted, every period, the
// configured servers asked at once and then every period; the questions for what answers left
// out within a token bucket, each name once a second; the ids of direct queries recognised
// while fresh.
TEST(Querier, SchedulesBudgetsAndRecognisesItsQueries)
{
    Querier querier(2, 500ms);
    querier.startBrowsing(t0);
    std::vector<int> due[2]; // browse, configured servers
    for (int ms = 0; ms <= 6000; ms += 250)
        for (int i : {0, 1})
            if (i == 0 ? querier.browseDue(t0 + 1ms * ms) : querier.extraDue(t0 + 1ms * ms))
                due[i].push_back(ms);
    EXPECT_EQ(due[0], (std::vector<int>{0, 1000, 3000}));
    EXPECT_EQ(due[1], (std::vector<int>{0, 2000, 4000, 6000}));
    EXPECT_FALSE(querier.directDue(false, t0));
    EXPECT_TRUE(querier.directDue(true, t0));
    EXPECT_FALSE(querier.directDue(true, t0 + 499ms));
    EXPECT_TRUE(querier.directDue(true, t0 + 500ms));

    const auto cached = [](int, const DnsName &, uint16_t) { return true; };
    const auto missing = [](int, const DnsName &, uint16_t) { return false; };
    const auto everywhere = [](int) { return true; };
    for (int itf = 1; itf <= 4; ++itf)
        querier.noteMissing(itf, kTypeSrv, instance("deck"));
    querier.noteMissing(5, kTypeSrv, instance("gone"));
    const auto asked = querier.resolve(t0, missing, [](int itf) { return itf != 5; });
    ASSERT_EQ(asked.size(), 2u) << "a burst of two messages";
    EXPECT_EQ(asked[0].first, 1);
    EXPECT_EQ(asked[0].second.size(), 1u);
    querier.noteMissing(1, kTypeSrv, instance("deck"));
    EXPECT_TRUE(querier.resolve(t0 + 900ms, missing, everywhere).empty()) << "asked a moment ago";
    querier.noteMissing(1, kTypeSrv, instance("deck"));
    EXPECT_EQ(querier.resolve(t0 + 1s, missing, everywhere).size(), 1u);
    querier.noteMissing(1, kTypeTxt, instance("deck"));
    EXPECT_TRUE(querier.resolve(t0 + 3s, cached, everywhere).empty()) << "already cached";

    const uint16_t id = querier.newQueryId(t0);
    EXPECT_TRUE(querier.isOurQuery(id));
    EXPECT_FALSE(querier.isOurQuery(0));
    const uint16_t later = querier.newQueryId(t0 + 6s);
    EXPECT_EQ(querier.isOurQuery(id), id == later) << "forgotten after five seconds";
}
