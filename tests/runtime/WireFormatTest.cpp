// The datagram format and the parts of both ends that stand on it: every layout fits its
// datagrams, covers its block and stripes its shards across groups as the wire says, the
// cookies' SipHash matches its reference, invalid datagrams are refused field by field; the
// sender's packer cuts each size as its layout says, its subscriber registry and pacer decide on
// a virtual clock; and the block assembler hands the packer's blocks on in order with the exact
// sample count whatever is lost, late, duplicated or reordered.
#include "WireFormat.h"

#include "BlockAssembler.h"
#include "ErasureCode.h"
#include "Pacer.h"
#include "ShardPacker.h"
#include "SipHash.h"
#include "Socket.h"
#include "SubscriberRegistry.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace veltrin::rt;
using namespace veltrin::rt::wire;

namespace {

constexpr int kRate = 48000;
constexpr int kSamples = 256;
constexpr double kPeriod = double(kSamples) / kRate;

// Full scale of the samples sent; a test may raise it to the largest finite float.
float amplitude = 1.f;

float sampleValue(int64_t frame, int channel)
{
    return float((frame * 7 + channel * 13) % 2001 - 1000) / 1000.f * amplitude;
}

std::vector<float> planarBlock(int channels, uint64_t number)
{
    std::vector<float> planar(size_t(channels) * kSamples);
    for (size_t i = 0; i < planar.size(); ++i)
        planar[i] =
            sampleValue(int64_t(number) * kSamples + int64_t(i % kSamples), int(i / kSamples));
    return planar;
}

std::vector<std::vector<uint8_t>> datagramsOf(ShardPacker::Cut &cut)
{
    std::vector<std::vector<uint8_t>> datagrams;
    for (int i = 0; i < cut.layout.totalShards(); ++i)
        datagrams.emplace_back(cut.at(i), cut.at(i) + cut.size(i));
    return datagrams;
}

// Block `number` of the signal as the sender's packer cuts it for `datagram`: data shards
// first, then parity.
std::vector<std::vector<uint8_t>> makeBlock(int channels, uint32_t datagram, uint64_t number,
                                            double sendTime = 1)
{
    const std::vector<float> planar = planarBlock(channels, number);
    ShardPacker packer(42);
    packer.begin({kRate, channels, kSamples, 0, int64_t(sendTime * 1e9)}, planar.data(), number);
    return datagramsOf(packer.cut(datagram));
}

// Collects what an assembler hands on: the frames, how many are the original sample, and
// channel 0 of the latest block.
struct Sink {
    int64_t frames = 0, exact = 0;
    bool finite = true;
    std::vector<float> channel0;

    void operator()(const float *planar, int channels, int samples, int)
    {
        channel0.assign(planar, planar + samples);
        for (int i = 0; i < samples; ++i, ++frames) {
            bool same = true;
            for (int c = 0; c < channels; ++c) {
                const float v = planar[size_t(c) * size_t(samples) + size_t(i)];
                finite = finite && std::isfinite(v);
                same = same && v == sampleValue(frames, c);
            }
            exact += same ? 1 : 0;
        }
    }
};

Shard shardOf(const std::vector<uint8_t> &d)
{
    Shard s;
    EXPECT_EQ(decodeShard(d.data(), d.size(), s), Error::None);
    return s;
}

void feed(BlockAssembler &a, Sink &sink, const std::vector<uint8_t> &d, double now)
{
    a.offer(shardOf(d), d.data() + kShardHeaderSize, now, std::ref(sink));
}

} // namespace

// Every layout covers its block and fits its datagrams and the code's groups. The striping, as
// the wire carries it: group g holds data shards g, g + groups, ... and its parity follows all
// data shards, group after group.
TEST(WireFormat, LayoutsFitCoverAndStripeTheirBlock)
{
    for (int channels : {1, 2, 8, 64})
        for (int samples : {1, 32, 256, 2048, 16384})
            for (size_t datagram : {kMinDatagram, size_t(1472), size_t(8972), size_t(65507)}) {
                const Layout l = Layout::plan(channels, samples, datagram);
                SCOPED_TRACE(testing::Message() << channels << " ch, " << samples << " frames, "
                                                << datagram << " bytes");
                ASSERT_TRUE(l.valid());
                int covered = 0;
                for (int i = 0; i < l.dataShards; ++i)
                    covered += l.shardFrames(i);
                EXPECT_EQ(covered, samples);
                EXPECT_LE(kShardHeaderSize + l.shardBytes(), std::max(datagram, kMinDatagram));
                for (int g = 0; g < l.groups; ++g)
                    EXPECT_LE(l.groupData(g) + l.parity, ErasureCode::kMaxShards);
            }
    const Layout l{0, 0, 0, 7, 3, 2};
    const int groups[] = {0, 1, 2, 0, 1, 2, 0, 0, 0, 1, 1, 2, 2};
    for (int i = 0; i < 13; ++i) {
        const int g = groups[i];
        EXPECT_EQ(l.groupOf(i), g) << i;
        EXPECT_EQ(i < 7 ? l.dataIndex(g, i / 3) : l.parityIndex(g, i - 7 - 2 * g), i) << i;
    }
    EXPECT_EQ(std::vector({l.groupData(0), l.groupData(1), l.groupData(2)}),
              std::vector({3, 2, 2}));
}

// Published SipHash-2-4 vectors (key 00..0f, message 00..n-1) that sign the cookies.
TEST(SipHash, MatchesTheReferenceVectors)
{
    const std::pair<size_t, uint64_t> expected[] = {
        {0, 0x726fdb47dd0e0e31}, {1, 0x74f839c593dc67fd},  {7, 0xab0200f58b01d137},
        {8, 0x93f5f5799a932462}, {15, 0xa129ca6149be45e5}, {16, 0x3f2acc7f57c29bdb}};
    const uint64_t key[2] = {0x0706050403020100, 0x0f0e0d0c0b0a0908};
    const auto *bytes = reinterpret_cast<const uint8_t *>(key); // little-endian
    for (const auto &[n, hash] : expected)
        EXPECT_EQ(sipHash(key, bytes, n), hash) << n << " bytes";
}

TEST(WireFormat, InvalidDatagramsAreRefusedFieldByField)
{
    const auto block = makeBlock(2, 1472, 1);
    const Layout l = shardOf(block[0]).layout;
    // What, a little-endian field's offset and width, the values it is set to (width 0: the
    // lengths the datagram is cut or padded to), the verdict, in the last parity shard (else the
    // first data shard).
    const std::tuple<const char *, size_t, size_t, std::vector<size_t>, Error, bool> cases[] = {
        {"magic", 0, 4, {0x45504f4e /* NOPE */}, Error::BadMagic, false},
        {"version", 4, 1, {1}, Error::BadVersion, false},
        {"kind, or a request's", 5, 1, {9, size_t(Kind::Subscribe)}, Error::BadKind, false},
        {"rate", 40, 4, {999, 384001}, Error::BadRate, false},
        {"channels", 44, 2, {0, 65}, Error::BadChannels, false},
        {"samples", 46, 2, {0, kMaxSamples + 1}, Error::BadSamples, false},
        {"frames per shard: none, beyond the block", 48, 2, {0, 257}, Error::BadLayout, false},
        {"wrong shard count", 50, 2, {3}, Error::BadLayout, false},
        {"groups: none, more than shards", 52, 2, {0, 3}, Error::BadLayout, false},
        {"too much parity", 54, 1, {kMaxParity + 1}, Error::BadLayout, false},
        {"the most parity", 54, 1, {kMaxParity}, Error::None, false},
        {"data index past the data", 56, 2, {size_t(l.dataShards)}, Error::BadIndex, false},
        {"parity with a data index", 56, 2, {0}, Error::BadIndex, true},
        {"a byte off", 0, 0, {block[0].size() - 1, block[0].size() + 1}, Error::BadLength, false},
        {"no whole header", 0, 0, {kShardHeaderSize - 1, 3}, Error::Short, false},
    };
    for (const auto &[what, offset, width, values, error, parity] : cases)
        for (const size_t value : values) {
            auto bytes = parity ? block.back() : block[0];
            for (size_t i = 0; i < width; ++i)
                bytes[offset + i] = uint8_t(value >> (8 * i));
            bytes.resize(width > 0 ? bytes.size() : value);
            Shard s;
            EXPECT_EQ(decodeShard(bytes.data(), bytes.size(), s), error) << what << ": " << value;
        }
    // A subscription must state a datagram size a path can have.
    Subscribe back, sub{{Kind::Subscribe, 0}, 0, uint32_t(kMinDatagram - 1)};
    uint8_t bytes[kSubscribeSize];
    EXPECT_EQ(decodeSubscribe(bytes, encodeSubscribe(sub, bytes), back), Error::BadDatagram);
}

// One packer cuts each block for several path sizes, a size again after another: every cut is
// the one a packer new to the block makes (the assembler's cases check those against the wire).
TEST(ShardPacker, CutsEachSizeOfEachBlockAsANewPackerWould)
{
    ShardPacker packer(42);
    for (auto [number, channels] : {std::pair{0u, 2}, {1u, 8}, {2u, 8}}) {
        const std::vector<float> planar = planarBlock(channels, number);
        packer.begin({kRate, channels, kSamples, 0, int64_t(1e9)}, planar.data(), number);
        for (const uint32_t datagram : {1472u, uint32_t(kMinDatagram), 1472u})
            EXPECT_EQ(datagramsOf(packer.cut(datagram)), makeBlock(channels, datagram, number))
                << channels << " ch, " << datagram << " bytes";
        packer.end();
    }
}

// Requests on a virtual clock: a cookie is the address's own, subscribers are told apart by
// port too, a refresh keeps a subscription and its datagram size current, a leave ends it,
// silence ends it after the timeout and never before, and one over the limit is refused until
// one leaves.
TEST(SubscriberRegistry, AnswersRequestsOnAVirtualClock)
{
    using Answer = SubscriberRegistry::Answer;
    const uint64_t key[2] = {3, 4};
    SubscriberRegistry registry(key);
    const SubscriberRegistry::Clock::time_point t0{};
    auto from = [](int port) {
        sockaddr_in a{};
        parseAddress("127.0.0.1:" + std::to_string(port), a);
        return a;
    };
    auto request = [&](Kind kind, int port, int cookieOf, int at, uint32_t datagram = 1472) {
        const Subscribe s{
            {kind, 0}, cookieOf != 0 ? registry.cookieFor(from(cookieOf)) : 0, datagram};
        return registry.handle(s, from(port), t0 + std::chrono::seconds(at));
    };
    // Kind, from port, with the cookie of port (0: none), at (s), answer, subscribers after.
    const std::tuple<Kind, int, int, int, Answer, size_t> steps[] = {
        {Kind::Subscribe, 1000, 0, 0, Answer::Challenge, 0},
        {Kind::Leave, 1000, 0, 0, Answer::Bad, 0},
        {Kind::Subscribe, 1000, 1001, 0, Answer::Challenge, 0}, // another address's cookie
        {Kind::Subscribe, 1000, 1000, 0, Answer::Admitted, 1},
        {Kind::Subscribe, 1001, 1001, 0, Answer::Admitted, 2},
        {Kind::Subscribe, 1000, 1000, 3, Answer::Refreshed, 2},
        {Kind::Leave, 1001, 1001, 3, Answer::Left, 1},
        {Kind::Leave, 1001, 1001, 3, Answer::Ignored, 1},
    };
    for (const auto &[kind, port, cookieOf, at, answer, subscribers] : steps) {
        EXPECT_EQ(request(kind, port, cookieOf, at), answer) << port << " at " << at;
        EXPECT_EQ(registry.subscribers().size(), subscribers);
    }
    EXPECT_EQ(request(Kind::Subscribe, 1000, 1000, 3, 9000), Answer::Refreshed);
    EXPECT_EQ(registry.subscribers()[0].datagram, 9000u);
    EXPECT_EQ(registry.expire(t0 + std::chrono::seconds(8)), 0);
    EXPECT_EQ(registry.expire(t0 + std::chrono::milliseconds(8001)), 1);
    for (int i = 0; i < SubscriberRegistry::kMaxClients; ++i)
        ASSERT_EQ(request(Kind::Subscribe, 2000 + i, 2000 + i, 10), Answer::Admitted);
    for (const auto &[kind, port, answer] : {std::tuple{Kind::Subscribe, 1999, Answer::Refused},
                                             {Kind::Leave, 2000, Answer::Left},
                                             {Kind::Subscribe, 1999, Answer::Admitted}})
        EXPECT_EQ(request(kind, port, port, 10), answer) << port;
}

// A caller paced by its device never waits, not even after a late wake-up; a caller that hands
// blocks over as fast as it can waits once its burst is spent, and then runs at the audio rate
// plus the tolerance.
TEST(Pacer, HoldsBackOnlyACallerThatRunsAhead)
{
    Pacer device, flood;
    double deviceNow = 100, now = 100;
    int waits = 0;
    for (int i = 0; i < 2000; ++i) {
        deviceNow += i == 1000 ? 0.05 : kPeriod;
        ASSERT_EQ(device.wait(deviceNow, kSamples, kRate), 0.0) << i;
        const double wait = flood.wait(now, kSamples, kRate);
        waits += wait > 0 ? 1 : 0;
        now += wait;
    }
    const double sent = 2000 * kPeriod, paced = (now - 100) * Pacer::kTolerance;
    EXPECT_TRUE(waits > 1900 && sent >= paced && sent <= paced + 0.1 + 3 * kPeriod)
        << waits << " waits, " << sent << " s sent in " << now - 100 << " s";
}

// Losses the parity covers, duplicates and any order within a block: every block comes out
// bit-exact, in order, the moment it can be decoded, and a shard of a block already handed on
// is dropped, not taken for a duplicate. More loss than the parity covers, in every tenth block:
// the block waits for its deadline, never longer, and comes out with its own sample count; only
// the lost frames differ, and they are finite. A block lost whole between two that arrive is
// concealed in its place. Shards short enough to be interpolated (16 channels) are drawn from
// the previous block's last frame: on this signal, a straight line across each lossy block's
// first shard, they are the lost frames. And at the largest finite amplitude, interpolating
// between samples of opposite sign must not overflow.
TEST(BlockAssembler, RepairsWhatTheParityCoversAndConcealsTheRestAtTheDeadline)
{
    std::mt19937 random(5);
    const float max = std::numeric_limits<float>::max();
    // Channels, datagram size, amplitude, lost frames checked against the signal.
    const std::tuple<int, uint32_t, float, bool> cases[] = {
        {2, 1472, 1, false},   {64, 1472, 1, false}, {64, 16448, 1, false}, {8, 1472, 1, false},
        {8, 1472, max, false}, {16, 1472, 1, true},  {16, 1472, max, false}};
    for (const auto &[channels, datagram, full, interpolated] : cases) {
        SCOPED_TRACE(testing::Message()
                     << channels << " channels, " << datagram << " bytes, amplitude " << full);
        amplitude = full;
        const Layout l = Layout::plan(channels, kSamples, datagram);
        ASSERT_GE(l.dataShards, 2);
        AssemblerConfig config;
        BlockAssembler assembler(config);
        Sink sink;
        int lossyBlocks = 0;
        for (int n = 0; n < 200; ++n) {
            if (n == 55) // lost whole
                continue;
            const double sent = 10 + n * kPeriod, arrival = sent + 0.002;
            const bool lossy = n >= 20 && n % 10 == 0;
            lossyBlocks += lossy ? 1 : 0;
            auto datagrams = makeBlock(channels, datagram, uint64_t(n), sent);
            std::shuffle(datagrams.begin(), datagrams.end(), random);
            // Lossy: data shard 0 and every parity shard of its group are lost. Otherwise up to
            // `parity` shards of each group, chosen at random, are lost. One comes twice.
            std::vector<int> lostIn(size_t(l.groups), 0);
            std::vector<std::vector<uint8_t>> kept;
            for (auto &d : datagrams) {
                const int i = shardOf(d).index;
                int &lost = lostIn[size_t(l.groupOf(i))];
                if (lossy ? !(l.groupOf(i) == 0 && (i == 0 || i >= l.dataShards))
                          : !(lost < l.parity && random() % 3 == 0 && ++lost))
                    kept.push_back(d);
            }
            kept.insert(kept.begin() + 1, kept.front());
            for (auto &d : kept)
                feed(assembler, sink, d, arrival);
            const int64_t before = sink.frames;
            assembler.poll(arrival, std::ref(sink));
            if (lossy) {
                // Not before the deadline, and then at once.
                const double due = assembler.nextDeadline();
                EXPECT_TRUE(sink.frames == before && due > arrival
                            && due <= arrival + config.maxWaitSeconds)
                    << n << ": " << sink.frames - before << " frames, due " << due - arrival;
                assembler.poll(due, std::ref(sink));
                for (int f = 0; interpolated && f < l.framesPerShard; ++f)
                    EXPECT_NEAR(sink.channel0[size_t(f)], sampleValue(n * kSamples + f, 0), 1e-5)
                        << n << ": " << f;
            }
            ASSERT_EQ(sink.frames, (n + 1) * kSamples) << "block " << n << " waited";
            feed(assembler, sink, kept.back(), arrival);
        }
        const auto st = assembler.stats();
        // The sample count stays exact; nothing but the lost shard of each lossy block and the
        // block lost whole differs (less where a line drawn across a gap meets this
        // piecewise-linear signal).
        const int64_t differ = sink.frames - sink.exact;
        EXPECT_EQ(
            std::tuple(st.concealedShards, st.concealedBlocks, st.duplicateShards,
                       st.repairedShards > 100, sink.finite,
                       differ >= kSamples && differ <= lossyBlocks * l.framesPerShard + kSamples),
            std::tuple(uint64_t(lossyBlocks), 1u, 199u, true, true, true))
            << differ << " frames differ";
    }
    amplitude = 1.f;
}

// A valid shard claiming 64 channels x 16384 frames in the smallest datagrams costs no more than
// the assembler's bound plus its two planar blocks of that shape, however tight the bound.
TEST(BlockAssembler, TheLargestShapeCostsNoMoreThanTheBound)
{
    const Shard shard{{Kind::Data, 1}, 0, 0, 0, kRate, Layout::plan(64, kMaxSamples, kMinDatagram)};
    const std::vector<uint8_t> payload(shard.layout.payloadBytes(0));
    AssemblerConfig config;
    for (const bool tight : {false, true}) {
        if (tight) // two blocks of this shape fit, three do not
            config.maxBytes = shard.layout.totalShards() * shard.layout.shardBytes() * 5 / 2;
        BlockAssembler assembler(config);
        assembler.offer(shard, payload.data(), 1.0, [](const float *, int, int, int) {});
        const size_t bytes = assembler.stats().bufferBytes;
        EXPECT_TRUE(bytes > 0 && bytes <= config.maxBytes + size_t(2) * 64 * kMaxSamples * 4)
            << bytes;
    }
}

// Jitter: shards arrive up to 5 ms late. The first late ones may be given up (the lateness is
// new); once seen, the deadline covers it and every block comes out whole. A pause of the
// stream (sender late or gone, link down: blocks 1000 to 1018 never come) sets no deadline and
// hands nothing on; the blocks whose time passed meanwhile are skipped, not handed on in a burst.
TEST(BlockAssembler, DeadlineLearnsTheJitterAndAPauseAddsNoLatency)
{
    std::mt19937 random(9);
    std::uniform_real_distribution<double> delay(0.0, 0.005);
    BlockAssembler assembler;
    Sink sink;
    std::vector<std::pair<double, std::vector<uint8_t>>> arrivals;
    const int blocks = 2000, paused = 19; // 10.7 s
    for (int n = 0; n < blocks; ++n) {
        const double sent = 10 + n * kPeriod, extra = n < 200 ? 0.0 : delay(random);
        for (auto &d : makeBlock(2, 1472, uint64_t(n), sent))
            if (n < 1000 || n >= 1000 + paused)
                arrivals.emplace_back(sent + 0.0005 + extra, d);
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    auto givenUp = [&] {
        return assembler.stats().concealedShards + assembler.stats().concealedBlocks;
    };
    uint64_t afterOneSecond = ~0ull;
    bool resumed = false;
    for (const auto &[at, bytes] : arrivals) {
        if (shardOf(bytes).block == 1000 + paused && !std::exchange(resumed, true)) {
            EXPECT_EQ(assembler.nextDeadline(), std::numeric_limits<double>::infinity());
        }
        // The receiver wakes for deadlines between arrivals.
        while (assembler.nextDeadline() < at)
            assembler.poll(assembler.nextDeadline(), std::ref(sink));
        feed(assembler, sink, bytes, at);
        assembler.poll(at, std::ref(sink));
        if (at > 10 + 400 * kPeriod && afterOneSecond == ~0ull)
            afterOneSecond = givenUp();
    }
    assembler.poll(1e9, std::ref(sink));
    // No block is given up once the jitter has been seen.
    EXPECT_EQ(std::tuple(sink.frames, assembler.stats().skippedBlocks, givenUp()),
              std::tuple(int64_t(blocks - paused) * kSamples, uint64_t(paused), afterOneSecond));
}
