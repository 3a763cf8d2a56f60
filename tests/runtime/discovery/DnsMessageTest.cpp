// The DNS message parser and writer: round trips, name compression, and rejection of every
// kind of malformed packet without reading outside it.

#include "DnsMessage.h"

#include "DnsRecords.h"

#include <gtest/gtest.h>
#include <random>

using namespace veltrin::rt;

namespace {

DnsMessage sampleAnnouncement()
{
    using namespace veltrin::test::dns;
    DnsMessage m;
    m.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
    const DnsName booth = instance("BOOTH (Mic 1.2)"), host{"booth", "local"};
    DnsRecord service = srv(booth, host, 5960, 8);
    service.cacheFlush = true;
    service.priority = 1;
    service.weight = 2;
    DnsRecord address = a(host, {10, 0, 0, 7}, 8);
    address.cacheFlush = true;
    DnsRecord other = record(host, 28, 8); // AAAA, kept as raw bytes
    other.raw.assign(16, 0xAB);
    m.questions.push_back({kService, kTypePtr, kClassIn, true});
    m.answers = {ptr(booth, 8), service, txt(booth, {"txtvers=1", "", "groups=public"}, 8)};
    m.authorities = {other};
    m.additionals = {address};
    return m;
}

std::vector<uint8_t> encoded(const DnsMessage &m)
{
    auto bytes = writeDnsMessage(m);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(std::vector<uint8_t>{});
}

bool parses(const std::vector<uint8_t> &bytes)
{
    return parseDnsMessage(bytes.data(), bytes.size()).has_value();
}

// Header with the given counts, then the body.
std::vector<uint8_t> packet(uint16_t qd, uint16_t an, std::vector<uint8_t> body)
{
    std::vector<uint8_t> p{0, 0, 0x84, 0, 0, static_cast<uint8_t>(qd), 0, static_cast<uint8_t>(an),
                           0, 0, 0,    0};
    for (uint8_t byte : body)
        p.push_back(byte);
    return p;
}

} // namespace

// Every field survives, and "_veltrin._tcp.local" and "booth", in four names each, are spelled
// out once.
TEST(DnsMessage, RoundTripKeepsEveryFieldAndCompresses)
{
    const DnsMessage m = sampleAnnouncement();
    const std::vector<uint8_t> bytes = encoded(m);
    const auto back = parseDnsMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, m);
    EXPECT_TRUE(back->questions[0].unicastResponse);
    EXPECT_TRUE(back->answers[1].cacheFlush);
    EXPECT_EQ(back->answers[0].target[0], "BOOTH (Mic 1.2)"); // a dot inside a label stays there
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("_veltrin"), text.rfind("_veltrin"));
    EXPECT_EQ(text.find("booth"), text.rfind("booth"));
}

// Names compare without case and keep their labels apart; compression keeps each spelling.
TEST(DnsMessage, NamesCompareWithoutCaseAndKeepTheirSpelling)
{
    EXPECT_TRUE(sameName({"Booth", "LOCAL"}, {"booth", "local"}));
    EXPECT_FALSE(sameName({"booth", "local"}, {"booth", "local", "x"}));
    EXPECT_FALSE(sameName({"a.b", "c"}, {"a", "b.c"}));
    EXPECT_NE(nameKey({"a.b", "c"}), nameKey({"a", "b.c"}));
    DnsMessage m;
    for (const DnsName &name :
         {DnsName{"Booth", "local"}, DnsName{"booth", "LOCAL"}, DnsName{"x", "booth", "LOCAL"}})
        m.questions.push_back({name, kTypeA, kClassIn, false});
    const std::vector<uint8_t> bytes = encoded(m);
    const auto back = parseDnsMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, m);
}

TEST(DnsMessage, WriterRefusesWhatTheWireCannotHold)
{
    DnsMessage m;
    m.questions.push_back({{std::string(64, 'x'), "local"}, kTypeA, kClassIn, false});
    EXPECT_FALSE(writeDnsMessage(m));
    m.questions[0].name = DnsName(5, std::string(60, 'x')); // 306 bytes on the wire
    EXPECT_FALSE(writeDnsMessage(m));
    m.questions[0].name = {"", "local"};
    EXPECT_FALSE(writeDnsMessage(m));
}

TEST(DnsMessage, MalformedPacketsAreRejected)
{
    const std::vector<uint8_t> question{5, 'b', 'o', 'o', 't', 'h', 0, 0, 1, 0, 1};
    ASSERT_TRUE(parses(packet(1, 0, question)));

    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"short header", {0, 0, 0x84, 0, 0, 1}},
        {"counts beyond the data", packet(40, 0, question)},
        {"pointer to itself", packet(1, 0, {0xC0, 12, 0, 1, 0, 1})},
        {"pointer forwards", packet(1, 0, {0xC0, 14, 0, 1, 0, 1, 0})},
        {"two pointers in a loop",
         packet(2, 0, {1, 'a', 0xC0, 16, 0, 1, 0, 1, 0xC0, 14, 0, 1, 0, 1})},
        {"reserved label type", packet(1, 0, {0x45, 'a', 0, 0, 1, 0, 1})},
        {"label past the end", packet(1, 0, {9, 'a', 'b'})},
        {"name without its end", packet(1, 0, {1, 'a', 1, 'b'})},
        {"pointer cut in half", packet(1, 0, {0xC0})},
        {"record data past the end", packet(0, 1, {0, 0, 1, 0, 1, 0, 0, 0, 8, 0, 40, 1, 2, 3, 4})},
        {"A record of five bytes", packet(0, 1, {0, 0, 1, 0, 1, 0, 0, 0, 8, 0, 5, 1, 2, 3, 4, 5})},
        {"TXT string over its record",
         packet(0, 1, {0, 0, 16, 0, 1, 0, 0, 0, 8, 0, 3, 5, 'a', 'b'})},
        {"SRV shorter than its fields",
         packet(0, 1, {0, 0, 33, 0, 1, 0, 0, 0, 8, 0, 4, 0, 0, 0, 0, 0})},
        {"PTR target beyond its length",
         packet(0, 1, {0, 0, 12, 0, 1, 0, 0, 0, 8, 0, 1, 2, 'a', 'b', 0})},
    };
    for (const Case &c : cases)
        EXPECT_FALSE(parses(c.bytes)) << c.what;

    // A name of 256 bytes on the wire, built from pointers to earlier labels.
    std::vector<uint8_t> body;
    for (int i = 0; i < 4; ++i) {
        body.push_back(62);
        body.insert(body.end(), 62, 'x');
    }
    body.push_back(0);
    body.insert(body.end(), {0, 1, 0, 1, 2, 'y', 'y', 0xC0, 12, 0, 1, 0, 1});
    EXPECT_FALSE(parses(packet(2, 0, body)));
}

TEST(DnsMessage, EveryTruncationOfAValidPacketIsRejected)
{
    const std::vector<uint8_t> bytes = encoded(sampleAnnouncement());
    for (size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(parseDnsMessage(bytes.data(), n)) << "length " << n;
}

TEST(DnsMessage, MutatedPacketsParseOnlyIntoMessagesThatRoundTrip)
{
    const std::vector<uint8_t> original = encoded(sampleAnnouncement());
    std::mt19937 random(12345);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes = original;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        const auto message = parseDnsMessage(bytes.data(), bytes.size());
        if (!message)
            continue;
        ++accepted;
        const auto rewritten = writeDnsMessage(*message);
        ASSERT_TRUE(rewritten) << "round " << round;
        const auto again = parseDnsMessage(rewritten->data(), rewritten->size());
        ASSERT_TRUE(again) << "round " << round;
        EXPECT_EQ(*again, *message) << "round " << round;
    }
    EXPECT_GT(accepted, 100); // the property was exercised, not only the rejections
}
