// The stream format: headers round-trip, messages survive any split of the byte stream, and
// every invalid header stops the parser without allocating what it claims.
#include "WireFormat.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

using namespace veltrin::rt::wire;

namespace {

std::vector<uint8_t> message(const Header &h, const std::vector<float> &samples)
{
    std::vector<uint8_t> bytes(kHeaderSize + samples.size() * sizeof(float));
    encodeHeader(h, bytes.data());
    std::memcpy(bytes.data() + kHeaderSize, samples.data(), samples.size() * sizeof(float));
    return bytes;
}

Header audio(int rate, int channels, int samples, uint64_t sequence)
{
    Header h;
    h.sampleRate = rate;
    h.channels = channels;
    h.samples = samples;
    h.timecode = 123456789;
    h.timestamp = -5;
    h.sequence = sequence;
    return h;
}

} // namespace

TEST(WireFormat, MessagesSurviveAnySplitOfTheStream)
{
    std::mt19937 random(1);
    std::vector<uint8_t> stream;
    std::vector<std::vector<float>> sent;
    for (uint64_t k = 0; k < 40; ++k) {
        const int channels = 1 + int(random() % 64);
        const int samples = 1 + int(random() % 300);
        std::vector<float> planar(size_t(channels) * size_t(samples));
        for (auto &v : planar)
            v = float(random()) / float(random.max());
        sent.push_back(planar);
        auto bytes = message(audio(8000 + int(k), channels, samples, k), planar);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        if (k % 7 == 0) {
            Header keepAlive;
            keepAlive.kind = Kind::KeepAlive;
            std::vector<uint8_t> ka(kHeaderSize);
            encodeHeader(keepAlive, ka.data());
            stream.insert(stream.end(), ka.begin(), ka.end());
        }
    }
    for (int trial = 0; trial < 20; ++trial) {
        FrameParser parser;
        size_t received = 0, keepAlives = 0;
        bool ok = true;
        size_t at = 0;
        while (at < stream.size()) {
            const size_t piece = std::min(stream.size() - at, size_t(1 + random() % 5000));
            ok &= parser.feed(stream.data() + at, piece, [&](const Header &h, const float *s) {
                if (h.kind == Kind::KeepAlive) {
                    ++keepAlives;
                    return;
                }
                ASSERT_LT(received, sent.size());
                const auto &expect = sent[received];
                EXPECT_EQ(h.sequence, received);
                EXPECT_EQ(h.sampleRate, 8000 + int(received));
                EXPECT_EQ(h.timecode, 123456789);
                EXPECT_EQ(h.timestamp, -5);
                ASSERT_EQ(size_t(h.channels) * size_t(h.samples), expect.size());
                EXPECT_EQ(std::memcmp(s, expect.data(), expect.size() * sizeof(float)), 0);
                ++received;
            });
            at += piece;
        }
        EXPECT_TRUE(ok);
        EXPECT_EQ(received, sent.size());
        EXPECT_EQ(keepAlives, 6u);
    }
}

TEST(WireFormat, InvalidHeadersStopTheParser)
{
    struct Case {
        const char *what;
        size_t offset;
        std::vector<uint8_t> bytes;
        HeaderError error;
    };
    auto le32 = [](int32_t v) {
        std::vector<uint8_t> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    };
    const std::vector<Case> cases = {
        {"magic", 0, {'N', 'O', 'P', 'E'}, HeaderError::BadMagic},
        {"version", 4, {2, 0}, HeaderError::BadVersion},
        {"kind", 6, {9, 0}, HeaderError::BadKind},
        {"rate low", 8, le32(999), HeaderError::BadRate},
        {"rate high", 8, le32(384001), HeaderError::BadRate},
        {"no channels", 12, le32(0), HeaderError::BadChannels},
        {"65 channels", 12, le32(65), HeaderError::BadChannels},
        {"negative channels", 12, le32(-64), HeaderError::BadChannels},
        {"no samples", 16, le32(0), HeaderError::BadSamples},
        {"too many samples", 16, le32(kMaxSamples + 1), HeaderError::BadSamples},
        {"huge samples", 16, le32(0x7fffffff), HeaderError::BadSamples},
    };
    for (const auto &c : cases) {
        auto bytes = message(audio(48000, 2, 4, 0), std::vector<float>(8, 0.5f));
        std::memcpy(bytes.data() + c.offset, c.bytes.data(), c.bytes.size());
        FrameParser parser;
        int delivered = 0;
        EXPECT_FALSE(parser.feed(bytes.data(), bytes.size(), [&](const Header &, const float *) {
            ++delivered;
        })) << c.what;
        EXPECT_EQ(parser.error(), c.error) << c.what;
        EXPECT_EQ(delivered, 0) << c.what;
        // Once bad, a stream stays bad: a valid message afterwards is refused too.
        auto good = message(audio(48000, 1, 1, 0), {0.f});
        EXPECT_FALSE(parser.feed(good.data(), good.size(), [&](const Header &, const float *) {
            ++delivered;
        })) << c.what;
        EXPECT_EQ(delivered, 0) << c.what;
    }
}

TEST(WireFormat, LimitsAreAccepted)
{
    for (auto [rate, channels, samples] :
         {std::tuple{kMinRate, 1, 1}, {kMaxRate, kMaxChannels, kMaxSamples}}) {
        auto bytes = message(audio(rate, channels, samples, 0),
                             std::vector<float>(size_t(channels) * size_t(samples), 1.f));
        FrameParser parser;
        int delivered = 0;
        EXPECT_TRUE(parser.feed(bytes.data(), bytes.size(),
                                [&](const Header &, const float *) { ++delivered; }));
        EXPECT_EQ(delivered, 1);
    }
}
