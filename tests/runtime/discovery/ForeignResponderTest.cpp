// Responses from another multicast DNS responder on the link, spoken by hand from a socket
// on port 5353: incomplete answers that the engine must complete by asking, fields that
// override defaults, other service types, goodbyes, absurd lifetimes and hostile names. The
// cache's limits under a flood are a table on a virtual clock (DiscoveryPartsTest).

#include "Discovery.h"
#include "DnsRecords.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace veltrin::rt;
using namespace veltrin::test::dns;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

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
