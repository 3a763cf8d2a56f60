// Responses from another multicast DNS responder on the link, spoken by hand from a socket
// on port 5353: incomplete answers that the engine must complete by asking, fields that
// override defaults, other service types, goodbyes, absurd lifetimes, a flood of made-up
// sources and hostile names.

#include "Discovery.h"
#include "DiscoveryEngine.h"
#include "DnsRecords.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace veltrin::rt;
using namespace veltrin::test::dns;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The engine asks for sources as soon as its thread has found the interfaces; before that
// it would drop what comes in.
void awaitEngine(HandResponder &responder)
{
    ASSERT_TRUE(responder.bound());
    ASSERT_TRUE(responder.awaitQuestion(kService, kTypePtr, 5000)) << "no browse query";
}

} // namespace

// An answer with a name only is completed by asking; text fields name and group a source;
// other service types are not listed; a goodbye removes a source at once whatever lifetime it
// was announced with.
TEST(ForeignResponder, IncompleteAnswersTextFieldsOtherTypesAndGoodbyes)
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

    const DnsName shortLabel = instance("DECK (Cut)");
    const DnsName secret = instance("DECK (Secret)");
    const DnsName forever = instance("DECK (Forever)");
    DnsRecord otherType = ptr({"DECK (Other)", "_ndi", "_tcp", "local"});
    otherType.name = {"_ndi", "_tcp", "local"};
    responder.send({ptr(shortLabel), srv(shortLabel, host, 9002),
                    txt(shortLabel, {"name=DECK (Cut, but whole in the text)", "groups=Public"}),
                    ptr(secret), srv(secret, host, 9003), txt(secret, {"groups=backstage"}),
                    otherType, srv(otherType.target, host, 5960), ptr(forever, 0xFFFFFFFF),
                    srv(forever, host, 9004, 0xFFFFFFFF)});
    ASSERT_TRUE(waitUntil(browser, [](Browser &b) {
        return b.find("DECK (Cut, but whole in the text)") && b.find("DECK (Forever)");
    }));
    EXPECT_EQ(browser.sources().size(), 3u);

    responder.send({ptr(forever, 0)}); // goodbye
    ASSERT_TRUE(waitUntil(
        browser, [](Browser &b) { return b.sources().size() == 2; }, 5000));
    EXPECT_TRUE(browser.find("DECK (Cut, but whole in the text)"));
}

TEST(ForeignResponder, AFloodFillsOnlyTheUnconfirmedPartOfTheCache)
{
    HandResponder responder;
    DiscoveryLimits limits; // small, so that a few hundred made-up sources are a flood
    limits.maxRecords = 400;
    limits.maxUnconfirmed = 100;
    limits.unconfirmedLifetime = 1000ms;
    limits.pressureHold = 1500ms;
    limits.directQueryPeriod = 500ms;
    DiscoveryEngine engine(DiscoveryConfig{}, limits);
    const uint64_t browser = engine.addBrowser({});
    awaitEngine(responder);
    const auto listed = [&](const std::string &name) {
        for (const FoundSource &s : engine.sources(browser))
            if (s.name == name)
                return true;
        return false;
    };
    const auto listsFlood = [&] {
        for (const FoundSource &s : engine.sources(browser))
            if (s.name.rfind("FLOOD", 0) == 0)
                return true;
        return false;
    };
    const auto waitFor = [&](auto done, int timeoutMs, auto during) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done() && Clock::now() < deadline) {
            during();
            engine.waitForChange(browser, 50);
        }
        return done();
    };
    const auto nothing = [] {};

    Announcer real(machine("cart"), "CART (Before the flood)", 9200);
    ASSERT_TRUE(waitFor([&] { return listed("CART (Before the flood)"); }, 10000, nothing));

    // Made-up sources, each with a host of its own, as fast as the responder can say them.
    int next = 0;
    bool bounded = true, hidden = true;
    const auto floodBatch = [&] {
        std::vector<DnsRecord> records;
        for (int i = 0; i < 10; ++i, ++next) {
            const DnsName name = instance("FLOOD " + std::to_string(next));
            const DnsName host{"flood-" + std::to_string(next), "local"};
            records.push_back(ptr(name));
            records.push_back(srv(name, host, 9100));
            records.push_back(a(host, {127, 0, 1, static_cast<uint8_t>(next)}));
        }
        responder.send(records);
        bounded = bounded && engine.cachedRecords() <= limits.maxRecords;
        hidden = hidden && !(engine.listingConfirmedOnly() && listsFlood());
    };
    ASSERT_TRUE(
        waitFor([&] { return next >= 600 && engine.listingConfirmedOnly(); }, 20000, floodBatch));
    EXPECT_GT(engine.counters().evicted, 0u);
    EXPECT_TRUE(listed("CART (Before the flood)"));

    // A source that comes up during the flood is listed once it answers a direct query.
    Announcer late(machine("cart"), "CART (During the flood)", 9201);
    EXPECT_TRUE(waitFor([&] { return listed("CART (During the flood)"); }, 10000, floodBatch));
    EXPECT_TRUE(listed("CART (Before the flood)"));
    EXPECT_TRUE(bounded) << "more than " << limits.maxRecords << " records cached";
    EXPECT_TRUE(hidden) << "made-up sources listed while the lists hold confirmed ones only";

    // Quiet again: what is left of the flood expires before the lists take unconfirmed
    // sources again, so it never shows, and sources are listed as soon as they are heard.
    const auto watch = [&] { hidden = hidden && !listsFlood(); };
    EXPECT_TRUE(waitFor([&] { return !engine.listingConfirmedOnly(); }, 10000, watch));
    EXPECT_LT(engine.cachedRecords(), limits.maxUnconfirmed);
    Announcer after(machine("cart"), "CART (After the flood)", 9202);
    EXPECT_TRUE(waitFor([&] { return listed("CART (After the flood)"); }, 10000, watch));
    EXPECT_TRUE(hidden) << "what was left of the flood was listed after it";
    engine.removeBrowser(browser);
}

TEST(ForeignResponder, HostileNamesAreCleanedAndSaidOnce)
{
    HandResponder responder;
    Browser browser(DiscoveryConfig{});
    awaitEngine(responder);
    const DnsName host{"deck", "local"};
    // Terminal escapes, line breaks, bytes that are not UTF-8, and a right-to-left override
    // that would make "DECK (evil)" read as "DECK (live)".
    const std::vector<std::pair<std::string, std::string>> names = {
        {"DECK (\x1b[2J\tcleared\r\n)", "DECK (\xEF\xBF\xBD[2J cleared  )"},
        {"DECK (\xff\xfe bytes)", "DECK (\xEF\xBF\xBD\xEF\xBF\xBD bytes)"},
        {"DECK (\xE2\x80\xAElive)", "DECK (\xEF\xBF\xBDlive)"},
        {"DECK (nul \0 bell \x07)"s, "DECK (nul \xEF\xBF\xBD bell \xEF\xBF\xBD)"},
        {"DECK (half \xE2\x82)", "DECK (half \xEF\xBF\xBD)"},
    };
    testing::internal::CaptureStderr();
    std::vector<DnsRecord> records{a(host, {127, 0, 0, 9})};
    for (size_t i = 0; i < names.size(); ++i) {
        const DnsName name = instance("EVIL " + std::to_string(i));
        records.push_back(ptr(name));
        records.push_back(srv(name, host, static_cast<uint16_t>(9300 + i)));
        records.push_back(txt(name, {"name=" + names[i].first}));
    }
    responder.send(records);
    const bool allListed = waitUntil(browser, [&](Browser &b) {
        for (const auto &[raw, shown] : names)
            if (!b.find(shown))
                return false;
        return b.sources().size() == names.size();
    });
    responder.send(records); // heard again: the lists are made again, nothing more is said
    browser.waitForChange(500);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(allListed);
    const auto count = [&](const std::string &text) {
        size_t n = 0;
        for (size_t at = said.find(text); at != std::string::npos; at = said.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("held control characters"), 1u) << said;
    EXPECT_EQ(count("not UTF-8"), 1u) << said;
    EXPECT_EQ(count("\n"), 2u) << said;
}
