// The datagram format and the parts of both ends that stand on it: every layout fits its
// datagrams and covers its block exactly, shards are striped across groups as the wire says,
// the cookies' SipHash matches its reference, invalid datagrams are refused field by field, the
// erasure code rebuilds any loss it is sized for; the sender's packer cuts each size as its
// layout says, its subscriber registry and pacer decide on a virtual clock; and the block
// assembler hands the packer's blocks on in order with the exact sample count whatever is lost,
// late, duplicated or reordered.
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
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace veltrin::rt;
using namespace veltrin::rt::wire;

namespace {

constexpr int kRate = 48000;
constexpr int kSamples = 256;

// Full scale of the samples sent; a test may raise it to the largest finite float.
float amplitude = 1.f;

float sampleValue(int64_t frame, int channel)
{
    return float((frame * 7 + channel * 13) % 2001 - 1000) / 1000.f * amplitude;
}

std::vector<float> planarBlock(int channels, uint64_t number)
{
    std::vector<float> planar(size_t(channels) * kSamples);
    for (int c = 0; c < channels; ++c)
        for (int f = 0; f < kSamples; ++f)
            planar[size_t(c) * kSamples + size_t(f)] =
                sampleValue(int64_t(number) * kSamples + f, c);
    return planar;
}

// Block `number` of the signal as the sender's packer cuts it for `datagram`: data shards
// first, then parity.
std::vector<std::vector<uint8_t>> makeBlock(int channels, uint32_t datagram, uint64_t number,
                                            double sendTime)
{
    const std::vector<float> planar = planarBlock(channels, number);
    ShardPacker packer(42);
    packer.begin({kRate, channels, kSamples, 0, int64_t(sendTime * 1e9)}, planar.data(), number);
    ShardPacker::Cut &cut = packer.cut(datagram);
    std::vector<std::vector<uint8_t>> datagrams;
    for (int i = 0; i < cut.layout.totalShards(); ++i)
        datagrams.emplace_back(cut.at(i), cut.at(i) + cut.size(i));
    return datagrams;
}

// Collects what an assembler hands on: the frames, whether each is the original sample, and
// when each block came out.
struct Sink {
    int64_t frames = 0;
    int64_t exact = 0;
    int blocks = 0;
    std::vector<double> times;
    bool finite = true;
    double now = 0;

    void operator()(const float *planar, int channels, int samples, int)
    {
        for (int i = 0; i < samples; ++i) {
            bool same = true;
            for (int c = 0; c < channels; ++c) {
                const float v = planar[size_t(c) * size_t(samples) + size_t(i)];
                finite = finite && std::isfinite(v);
                same = same && v == sampleValue(frames, c);
            }
            exact += same ? 1 : 0;
            ++frames;
        }
        ++blocks;
        times.push_back(now);
    }
};

void feed(BlockAssembler &a, Sink &sink, const std::vector<uint8_t> &d, double now)
{
    Shard s;
    ASSERT_EQ(decodeShard(d.data(), d.size(), s), Error::None);
    sink.now = now;
    a.offer(s, d.data() + kShardHeaderSize, now, std::ref(sink));
}

} // namespace

TEST(WireFormat, LayoutsFitTheirDatagramsAndCoverTheBlock)
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
                for (int g = 0; g < l.groups; ++g) {
                    EXPECT_LE(l.groupData(g), kMaxGroupData);
                    EXPECT_LE(l.groupData(g) + l.parity, ErasureCode::kMaxShards);
                }
            }
}

// The striping, as the wire carries it: group g holds data shards g, g + groups, ... and its
// parity follows all data shards, group after group; every shard is in exactly one group.
TEST(WireFormat, ShardsAreStripedAcrossGroups)
{
    Layout l;
    l.dataShards = 7;
    l.groups = 3;
    l.parity = 2;
    const std::vector<std::vector<int>> data{{0, 3, 6}, {1, 4}, {2, 5}};
    const std::vector<std::vector<int>> parity{{7, 8}, {9, 10}, {11, 12}};
    for (int g = 0; g < l.groups; ++g) {
        ASSERT_EQ(l.groupData(g), int(data[size_t(g)].size()));
        for (int pos = 0; pos < l.groupData(g); ++pos) {
            EXPECT_EQ(l.dataIndex(g, pos), data[size_t(g)][size_t(pos)]);
            EXPECT_EQ(l.groupOf(l.dataIndex(g, pos)), g);
        }
        for (int j = 0; j < l.parity; ++j) {
            EXPECT_EQ(l.parityIndex(g, j), parity[size_t(g)][size_t(j)]);
            EXPECT_EQ(l.groupOf(l.parityIndex(g, j)), g);
        }
    }
}

// The published SipHash-2-4 vectors (key 00..0f, message 00..n-1) that sign the cookies.
TEST(SipHash, MatchesTheReferenceVectors)
{
    const uint64_t expected[] = {0x726fdb47dd0e0e31, 0x74f839c593dc67fd, 0x0d6c8009d9a94f5a,
                                 0x85676696d7fb7e2d, 0xcf2794e0277187b7, 0x18765564cd99a68d,
                                 0xcbc9466e58fee3ce, 0xab0200f58b01d137, 0x93f5f5799a932462,
                                 0x9e0082df0ba9e4b0, 0x7a5dbbc594ddb9f3, 0xf4b32f46226bada7,
                                 0x751e8fbc860ee5fb, 0x14ea5627c0843d90, 0xf723ca908e7af2ee,
                                 0xa129ca6149be45e5, 0x3f2acc7f57c29bdb};
    uint8_t bytes[16];
    for (uint8_t i = 0; i < 16; ++i)
        bytes[i] = i;
    uint64_t key[2];
    std::memcpy(key, bytes, sizeof key);
    for (size_t n = 0; n < std::size(expected); ++n)
        EXPECT_EQ(sipHash(key, bytes, n), expected[n]) << n << " bytes";
}

TEST(WireFormat, InvalidDatagramsAreRefusedFieldByField)
{
    const Layout l = Layout::plan(2, 256, 1472);
    const std::vector<uint8_t> good = makeBlock(2, 1472, 1, 1.0)[0];
    auto u16 = [](int v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8)}; };
    auto i32 = [](int32_t v) {
        return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16),
                                    uint8_t(v >> 24)};
    };
    struct Case {
        const char *what;
        size_t offset;
        std::vector<uint8_t> bytes;
        Error error;
    };
    const std::vector<Case> cases = {
        {"magic", 0, {'N', 'O', 'P', 'E'}, Error::BadMagic},
        {"version", 4, {1}, Error::BadVersion},
        {"kind", 5, {9}, Error::BadKind},
        {"a request's kind", 5, {uint8_t(Kind::Subscribe)}, Error::BadKind},
        {"rate low", 40, i32(999), Error::BadRate},
        {"rate high", 40, i32(384001), Error::BadRate},
        {"no channels", 44, u16(0), Error::BadChannels},
        {"65 channels", 44, u16(65), Error::BadChannels},
        {"no samples", 46, u16(0), Error::BadSamples},
        {"too many samples", 46, u16(kMaxSamples + 1), Error::BadSamples},
        {"shard of no frames", 48, u16(0), Error::BadLayout},
        {"shard longer than the block", 48, u16(257), Error::BadLayout},
        {"wrong shard count", 50, u16(3), Error::BadLayout},
        {"no group", 52, u16(0), Error::BadLayout},
        {"more groups than shards", 52, u16(3), Error::BadLayout},
        {"too much parity", 54, {kMaxParity + 1}, Error::BadLayout},
        {"the most parity", 54, {kMaxParity}, Error::None},
        {"data index past the data", 56, u16(l.dataShards), Error::BadIndex},
    };
    for (const auto &c : cases) {
        auto bytes = good;
        std::memcpy(bytes.data() + c.offset, c.bytes.data(), c.bytes.size());
        Shard s;
        EXPECT_EQ(decodeShard(bytes.data(), bytes.size(), s), c.error) << c.what;
    }
    Shard s;
    EXPECT_EQ(decodeShard(good.data(), good.size() - 1, s), Error::BadLength);
    auto longer = good;
    longer.push_back(0);
    EXPECT_EQ(decodeShard(longer.data(), longer.size(), s), Error::BadLength);
    EXPECT_EQ(decodeShard(good.data(), kShardHeaderSize - 1, s), Error::Short);
    EXPECT_EQ(decodeShard(good.data(), 3, s), Error::Short);
    // A parity shard must carry a parity index.
    auto parity = makeBlock(2, 1472, 1, 1.0).back();
    std::memcpy(parity.data() + 56, u16(0).data(), 2);
    EXPECT_EQ(decodeShard(parity.data(), parity.size(), s), Error::BadIndex);
    // A subscription must state a datagram size a path can have.
    Subscribe sub;
    sub.common.kind = Kind::Subscribe;
    sub.maxDatagram = kMinDatagram - 1;
    uint8_t bytes[kSubscribeSize];
    Subscribe back;
    EXPECT_EQ(decodeSubscribe(bytes, encodeSubscribe(sub, bytes), back), Error::BadDatagram);
}

// Any loss of up to m of k + m shards is rebuilt exactly; one more is refused untouched.
TEST(ErasureCode, RebuildsEveryLossItIsSizedFor)
{
    std::mt19937 random(3);
    ErasureCode code;
    for (auto [k, m] : {std::pair{1, 2}, {2, 2}, {26, 5}, {32, 5}}) {
        const size_t bytes = 1280;
        std::vector<std::vector<uint8_t>> shards(size_t(k + m), std::vector<uint8_t>(bytes));
        for (int i = 0; i < k; ++i)
            for (auto &v : shards[size_t(i)])
                v = uint8_t(random());
        std::vector<uint8_t *> ptr;
        for (auto &s : shards)
            ptr.push_back(s.data());
        code.encode(k, m, bytes, ptr.data(), ptr.data() + k);
        const auto original = shards;
        for (int trial = 0; trial < 200; ++trial) {
            const int lose = trial % 2 == 0 ? m : m + 1;
            std::vector<int> order(size_t(k + m));
            for (int i = 0; i < k + m; ++i)
                order[size_t(i)] = i;
            std::shuffle(order.begin(), order.end(), random);
            std::vector<uint8_t> present(size_t(k + m), 1);
            for (int i = 0; i < lose; ++i) {
                present[size_t(order[size_t(i)])] = 0;
                std::fill(shards[size_t(order[size_t(i)])].begin(),
                          shards[size_t(order[size_t(i)])].end(), 0xee);
            }
            const bool rebuilt = code.decode(k, m, bytes, present.data(), ptr.data());
            EXPECT_EQ(rebuilt, lose <= m) << k << "+" << m << " losing " << lose;
            for (int i = 0; i < k; ++i) {
                if (rebuilt || present[size_t(i)]) {
                    EXPECT_EQ(shards[size_t(i)], original[size_t(i)]) << k << "+" << m;
                }
            }
            shards = original;
        }
    }
}

// Blocks of two shapes, each cut for two path sizes: every datagram decodes as the layout
// planned for its size and shape says, numbered as its block, its data shards carrying the
// block's frames interleaved.
TEST(ShardPacker, CutsEachSizeOfEachBlockAsItsLayoutSays)
{
    ShardPacker packer(7);
    for (auto [number, channels] : {std::pair{0u, 2}, {1u, 8}, {2u, 8}}) {
        const std::vector<float> planar = planarBlock(channels, number);
        packer.begin({kRate, channels, kSamples, 0, 0}, planar.data(), number);
        for (const uint32_t datagram : {1472u, uint32_t(kMinDatagram), 1472u}) {
            SCOPED_TRACE(testing::Message() << "block " << number << ", " << datagram << " bytes");
            const Layout want = Layout::plan(channels, kSamples, datagram);
            ShardPacker::Cut &cut = packer.cut(datagram);
            ASSERT_EQ(cut.layout.totalShards(), want.totalShards());
            for (int i = 0; i < want.totalShards(); ++i) {
                Shard s;
                ASSERT_EQ(decodeShard(cut.at(i), cut.size(i), s), Error::None);
                EXPECT_EQ(s.common.stream, 7u);
                EXPECT_EQ(s.block, number);
                EXPECT_EQ(s.index, i);
                EXPECT_EQ(s.layout.framesPerShard, want.framesPerShard);
                EXPECT_EQ(s.layout.groups, want.groups);
                const auto *frames = reinterpret_cast<const float *>(cut.at(i) + kShardHeaderSize);
                for (int f = 0; i < want.dataShards && f < want.shardFrames(i); ++f)
                    for (int c = 0; c < channels; ++c)
                        ASSERT_EQ(frames[f * channels + c],
                                  sampleValue(
                                      int64_t(number) * kSamples + i * want.framesPerShard + f, c));
            }
        }
        packer.end();
    }
}

// Requests on a virtual clock: a cookie is the address's own, subscribers are told apart by
// port too, a refresh keeps a subscription and its datagram size current, a leave ends it,
// and silence ends it after the timeout, never before.
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
    auto request = [&](Kind kind, int port, int cookieOf, double at, uint32_t datagram = 1472) {
        Subscribe s;
        s.common.kind = kind;
        s.cookie = cookieOf != 0 ? registry.cookieFor(from(cookieOf)) : 0;
        s.maxDatagram = datagram;
        return registry.handle(s, from(port),
                               t0
                                   + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::duration<double>(at)));
    };
    const struct {
        Kind kind;
        int port, cookieOf;
        double at;
        Answer answer;
        size_t subscribers;
    } steps[] = {
        {Kind::Subscribe, 1000, 0, 0, Answer::Challenge, 0},
        {Kind::Leave, 1000, 0, 0, Answer::Bad, 0},
        {Kind::Subscribe, 1000, 1001, 0, Answer::Challenge, 0}, // another address's cookie
        {Kind::Subscribe, 1000, 1000, 0, Answer::Admitted, 1},
        {Kind::Subscribe, 1001, 1001, 0, Answer::Admitted, 2},
        {Kind::Subscribe, 1000, 1000, 3, Answer::Refreshed, 2},
        {Kind::Leave, 1001, 1001, 3, Answer::Left, 1},
        {Kind::Leave, 1001, 1001, 3, Answer::Ignored, 1},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(request(s.kind, s.port, s.cookieOf, s.at), s.answer) << s.port << " at " << s.at;
        EXPECT_EQ(registry.subscribers().size(), s.subscribers);
    }
    EXPECT_EQ(request(Kind::Subscribe, 1000, 1000, 3, 9000), Answer::Refreshed);
    EXPECT_EQ(registry.subscribers()[0].datagram, 9000u);
    EXPECT_EQ(registry.expire(t0 + std::chrono::seconds(8)), 0);
    EXPECT_EQ(registry.expire(t0 + std::chrono::milliseconds(8001)), 1);
    EXPECT_TRUE(registry.subscribers().empty());

    // The limit: one more is refused until one leaves.
    for (int i = 0; i < SubscriberRegistry::kMaxClients; ++i)
        ASSERT_EQ(request(Kind::Subscribe, 2000 + i, 2000 + i, 10), Answer::Admitted);
    EXPECT_EQ(request(Kind::Subscribe, 1999, 1999, 10), Answer::Refused);
    EXPECT_EQ(request(Kind::Leave, 2000, 2000, 10), Answer::Left);
    EXPECT_EQ(request(Kind::Subscribe, 1999, 1999, 10), Answer::Admitted);
}

// A caller paced by its device never waits, not even after a late wake-up; a caller that hands
// blocks over as fast as it can waits once its burst is spent, and then runs at the audio rate
// plus the tolerance.
TEST(Pacer, HoldsBackOnlyACallerThatRunsAhead)
{
    const double block = double(kSamples) / kRate;
    Pacer device, flood;
    double deviceNow = 100, now = 100;
    int waits = 0;
    for (int i = 0; i < 2000; ++i) {
        deviceNow += i == 1000 ? 0.05 : block;
        ASSERT_EQ(device.wait(deviceNow, kSamples, kRate), 0.0) << i;
        const double wait = flood.wait(now, kSamples, kRate);
        waits += wait > 0 ? 1 : 0;
        now += wait;
    }
    const double sent = 2000 * block, elapsed = now - 100;
    EXPECT_GT(waits, 1900);
    EXPECT_LE(sent, elapsed * Pacer::kTolerance + 0.1 + 3 * block);
    EXPECT_GE(sent, elapsed * Pacer::kTolerance);
}

// Losses the parity covers, duplicates and any order within a block, shards of a block already
// handed on: every block comes out bit-exact, in order, the moment it can be decoded.
TEST(BlockAssembler, RepairsReordersAndDropsDuplicatesWithoutWaiting)
{
    std::mt19937 random(5);
    for (auto [channels, datagram] : {std::pair{2, 1472u}, {64, 1472u}, {64, 16448u}}) {
        const Layout l = Layout::plan(channels, 256, datagram);
        BlockAssembler assembler;
        Sink sink;
        const double period = 256.0 / kRate;
        for (int n = 0; n < 200; ++n) {
            const double sent = 10 + n * period;
            auto datagrams = makeBlock(channels, datagram, uint64_t(n), sent);
            std::shuffle(datagrams.begin(), datagrams.end(), random);
            // Drop up to `parity` shards of each group, chosen at random, and repeat one.
            std::vector<int> lostIn(size_t(l.groups), 0);
            std::vector<std::vector<uint8_t>> kept;
            for (auto &d : datagrams) {
                Shard s;
                decodeShard(d.data(), d.size(), s);
                const int g = s.index < l.dataShards ? s.index % l.groups
                                                     : (s.index - l.dataShards) / l.parity;
                if (lostIn[size_t(g)] < l.parity && random() % 3 == 0) {
                    ++lostIn[size_t(g)];
                    continue;
                }
                kept.push_back(d);
            }
            kept.insert(kept.begin() + 1, kept.front());
            const double arrival = sent + 0.001;
            for (auto &d : kept)
                feed(assembler, sink, d, arrival);
            assembler.poll(arrival, std::ref(sink));
            ASSERT_EQ(sink.blocks, n + 1) << channels << " ch: block " << n << " waited";
            EXPECT_EQ(sink.times.back(), arrival);
            // A shard of the block handed on is dropped, not taken for a duplicate.
            feed(assembler, sink, kept.back(), arrival);
        }
        const auto st = assembler.stats();
        EXPECT_EQ(sink.exact, sink.frames) << channels << " ch";
        EXPECT_EQ(sink.frames, 200 * 256);
        EXPECT_GT(st.repairedShards, 100u);
        EXPECT_EQ(st.concealedShards, 0u);
        EXPECT_EQ(st.duplicateShards, 200u);
    }
}

// More loss than the parity covers: the block waits for its deadline, never longer, and comes
// out with its own sample count; only the lost frames differ, and they are finite. A block
// lost whole between two that arrive is concealed in its place. The same with shards short
// enough to be interpolated (16 channels) and at the largest finite amplitude, where
// interpolating between samples of opposite sign must not overflow.
TEST(BlockAssembler, UnrepairableLossIsConcealedAtTheDeadlineWithExactCounts)
{
    for (const int channels : {8, 16})
        for (const float full : {1.f, std::numeric_limits<float>::max()}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, amplitude " << full);
            amplitude = full;
            const Layout l = Layout::plan(channels, 256, 1472);
            ASSERT_GE(l.dataShards, 2);
            AssemblerConfig config;
            BlockAssembler assembler(config);
            Sink sink;
            const double period = 256.0 / kRate;
            const double transit = 0.002;
            int lossyBlocks = 0;
            for (int n = 0; n < 100; ++n) {
                const double sent = 10 + n * period;
                const auto datagrams = makeBlock(channels, 1472, uint64_t(n), sent);
                const bool lossy = n >= 20 && n % 10 == 0;
                const bool gone = n == 55;
                lossyBlocks += lossy ? 1 : 0;
                for (size_t i = 0; i < datagrams.size(); ++i) {
                    // Lossy: data shard 0 and every parity shard of its group are lost.
                    Shard s;
                    decodeShard(datagrams[i].data(), datagrams[i].size(), s);
                    const bool groupZero = s.index < l.dataShards
                                               ? s.index % l.groups == 0
                                               : (s.index - l.dataShards) / l.parity == 0;
                    if (gone || (lossy && groupZero && (s.index == 0 || s.index >= l.dataShards)))
                        continue;
                    feed(assembler, sink, datagrams[i], sent + transit);
                }
                const int before = sink.blocks;
                assembler.poll(sent + transit, std::ref(sink));
                if (lossy) {
                    // Not before the deadline...
                    EXPECT_EQ(sink.blocks, before);
                    const double due = assembler.nextDeadline();
                    EXPECT_GT(due, sent + transit);
                    EXPECT_LE(due, sent + transit + config.maxWaitSeconds);
                    sink.now = due;
                    assembler.poll(due, std::ref(sink));
                    // ...and then at once.
                    EXPECT_EQ(sink.blocks, before + 1);
                }
            }
            assembler.poll(1e9, std::ref(sink));
            const auto st = assembler.stats();
            EXPECT_EQ(sink.frames, 100 * 256) << "the sample count must stay exact";
            EXPECT_EQ(st.concealedShards, uint64_t(lossyBlocks));
            EXPECT_EQ(st.concealedBlocks, 1u);
            EXPECT_TRUE(sink.finite);
            // Nothing but the lost shard of each lossy block and the block lost whole differs
            // (less where a line drawn across a gap meets this piecewise-linear signal).
            EXPECT_LE(sink.frames - sink.exact, lossyBlocks * l.framesPerShard + 256);
            EXPECT_GE(sink.frames - sink.exact, 256);
        }
    amplitude = 1.f;
}

// A lost stretch at a block's start is drawn from the previous block's last frame: on this
// signal, a straight line there, channel 0's concealed frames are the lost ones.
TEST(BlockAssembler, ConcealmentStartsFromThePreviousBlock)
{
    const Layout l = Layout::plan(16, kSamples, 1472);
    BlockAssembler assembler;
    std::vector<float> first; // channel 0 of the latest block
    int blocks = 0;
    auto deliver = [&](const float *planar, int, int, int) {
        first.assign(planar, planar + l.framesPerShard);
        ++blocks;
    };
    for (int n = 0; n < 2; ++n) {
        const double sent = 10 + n * double(kSamples) / kRate;
        for (const auto &d : makeBlock(16, 1472, uint64_t(n), sent)) {
            Shard s;
            decodeShard(d.data(), d.size(), s);
            // Block 1 loses data shard 0 and all parity.
            if (n == 0 || (s.index != 0 && s.index < l.dataShards))
                assembler.offer(s, d.data() + kShardHeaderSize, sent + 0.001, deliver);
        }
        assembler.poll(sent + 0.001, deliver);
    }
    assembler.poll(assembler.nextDeadline(), deliver);
    ASSERT_EQ(blocks, 2);
    for (int f = 0; f < l.framesPerShard; ++f)
        EXPECT_NEAR(first[size_t(f)], sampleValue(kSamples + f, 0), 1e-5) << f;
}

// A pause of the stream (sender late or gone, link down) hands nothing on; when shards come
// again, the blocks whose time passed meanwhile are skipped, not handed on in a burst.
TEST(BlockAssembler, AnOutageBecomesNeitherABurstNorLatency)
{
    BlockAssembler assembler;
    Sink sink;
    const double period = 256.0 / kRate;
    auto send = [&](int n) {
        const double sent = 10 + n * period;
        for (const auto &d : makeBlock(2, 1472, uint64_t(n), sent))
            feed(assembler, sink, d, sent + 0.001);
        assembler.poll(sent + 0.001, std::ref(sink));
    };
    for (int n = 0; n < 50; ++n)
        send(n);
    EXPECT_EQ(sink.blocks, 50);
    // 100 ms with nothing: nothing handed on, and no deadline to wake for.
    EXPECT_EQ(assembler.nextDeadline(), std::numeric_limits<double>::infinity());
    for (int n = 50; n < 69; ++n)
        assembler.poll(10 + n * period + 0.001, std::ref(sink));
    EXPECT_EQ(sink.blocks, 50);
    // The link is back: each block comes out as it arrives.
    for (int n = 69; n < 100; ++n) {
        const int before = sink.blocks;
        send(n);
        EXPECT_EQ(sink.blocks, before + 1) << n;
    }
    EXPECT_EQ(assembler.stats().skippedBlocks, 19u);
    EXPECT_EQ(assembler.stats().concealedBlocks, 0u);
}

// Jitter: shards arrive up to 5 ms late. The first late ones may be given up (the lateness is
// new); once seen, the deadline covers it and every block comes out whole.
TEST(BlockAssembler, DeadlineLearnsTheJitter)
{
    std::mt19937 random(9);
    std::uniform_real_distribution<double> delay(0.0, 0.005);
    BlockAssembler assembler;
    Sink sink;
    const double period = 256.0 / kRate;
    struct Arrival {
        double at;
        std::vector<uint8_t> bytes;
    };
    std::vector<Arrival> arrivals;
    const int blocks = 2000; // 10.7 s
    for (int n = 0; n < blocks; ++n) {
        const double sent = 10 + n * period;
        const double extra = n < 200 ? 0.0 : delay(random);
        for (auto &d : makeBlock(2, 1472, uint64_t(n), sent))
            arrivals.push_back({sent + 0.0005 + extra, d});
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival &a, const Arrival &b) { return a.at < b.at; });
    uint64_t concealedAfterOneSecond = 0;
    for (const auto &a : arrivals) {
        // The receiver wakes for deadlines between arrivals.
        while (assembler.nextDeadline() < a.at) {
            sink.now = assembler.nextDeadline();
            assembler.poll(sink.now, std::ref(sink));
        }
        feed(assembler, sink, a.bytes, a.at);
        assembler.poll(a.at, std::ref(sink));
        if (a.at > 10 + 400 * period && concealedAfterOneSecond == 0)
            concealedAfterOneSecond =
                assembler.stats().concealedShards + assembler.stats().concealedBlocks + 1;
    }
    assembler.poll(1e9, std::ref(sink));
    const auto st = assembler.stats();
    EXPECT_EQ(sink.frames, int64_t(blocks) * 256);
    EXPECT_EQ(st.concealedShards + st.concealedBlocks + 1, concealedAfterOneSecond)
        << "no block given up once the jitter has been seen";
}
