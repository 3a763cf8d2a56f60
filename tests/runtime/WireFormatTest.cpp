// The datagram format and what stands behind it on the receiving side: every layout fits its
// datagrams and covers its block exactly, shards are striped across groups as the wire says,
// the cookies' SipHash matches its reference, invalid datagrams are refused field by field, the
// erasure code rebuilds any loss it is sized for, and the block assembler hands blocks on in
// order with the exact sample count whatever is lost, late, duplicated or reordered, on a
// virtual clock.
#include "WireFormat.h"

#include "BlockAssembler.h"
#include "ErasureCode.h"
#include "SipHash.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

using namespace veltrin::rt;
using namespace veltrin::rt::wire;

namespace {

constexpr int kRate = 48000;

// The sender's side of one block, as datagrams: what Sender cuts, built here from the same
// layout and code so that the assembler can be fed precisely.
struct Block {
    std::vector<std::vector<uint8_t>> datagrams; // data shards first, then parity
};

// Full scale of the samples sent; a test may raise it to the largest finite float.
float amplitude = 1.f;

float sampleValue(int64_t frame, int channel)
{
    return float((frame * 7 + channel * 13) % 2001 - 1000) / 1000.f * amplitude;
}

Block makeBlock(const Layout &l, uint64_t number, double sendTime, uint64_t stream = 42)
{
    Block b;
    Shard shard;
    shard.common.stream = stream;
    shard.block = number;
    shard.sendTime = int64_t(sendTime * 1e9);
    shard.sampleRate = kRate;
    shard.layout = l;
    std::vector<std::vector<uint8_t>> payloads(size_t(l.totalShards()),
                                               std::vector<uint8_t>(l.shardBytes(), 0));
    for (int i = 0; i < l.dataShards; ++i) {
        auto *out = reinterpret_cast<float *>(payloads[size_t(i)].data());
        for (int f = 0; f < l.shardFrames(i); ++f)
            for (int c = 0; c < l.channels; ++c)
                out[f * l.channels + c] =
                    sampleValue(int64_t(number) * l.samples + i * l.framesPerShard + f, c);
    }
    ErasureCode code;
    std::vector<uint8_t *> data, parity;
    for (int g = 0; g < l.groups; ++g) {
        data.clear();
        parity.clear();
        for (int pos = 0; pos < l.groupData(g); ++pos)
            data.push_back(payloads[size_t(l.dataIndex(g, pos))].data());
        for (int j = 0; j < l.parity; ++j)
            parity.push_back(payloads[size_t(l.parityIndex(g, j))].data());
        code.encode(l.groupData(g), l.parity, l.shardBytes(), data.data(), parity.data());
    }
    for (int i = 0; i < l.totalShards(); ++i) {
        shard.common.kind = i < l.dataShards ? Kind::Data : Kind::Parity;
        shard.index = i;
        std::vector<uint8_t> d(kShardHeaderSize + l.payloadBytes(i));
        encodeShardHeader(shard, d.data());
        std::memcpy(d.data() + kShardHeaderSize, payloads[size_t(i)].data(), l.payloadBytes(i));
        b.datagrams.push_back(d);
    }
    return b;
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
    const std::vector<uint8_t> good = makeBlock(l, 1, 1.0).datagrams[0];
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
    auto parity = makeBlock(l, 1, 1.0).datagrams.back();
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

// Losses the parity covers, duplicates and any order within a block: every block comes out
// bit-exact, in order, the moment it can be decoded.
TEST(BlockAssembler, RepairsReordersAndDropsDuplicatesWithoutWaiting)
{
    std::mt19937 random(5);
    for (auto [channels, datagram] :
         {std::pair{2, size_t(1472)}, {64, size_t(1472)}, {64, size_t(16448)}}) {
        const Layout l = Layout::plan(channels, 256, datagram);
        BlockAssembler assembler;
        Sink sink;
        const double period = 256.0 / kRate;
        for (int n = 0; n < 200; ++n) {
            const double sent = 10 + n * period;
            auto datagrams = makeBlock(l, uint64_t(n), sent).datagrams;
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
                const auto datagrams = makeBlock(l, uint64_t(n), sent).datagrams;
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

// A pause of the stream (sender late or gone, link down) hands nothing on; when shards come
// again, the blocks whose time passed meanwhile are skipped, not handed on in a burst.
TEST(BlockAssembler, AnOutageBecomesNeitherABurstNorLatency)
{
    const Layout l = Layout::plan(2, 256, 1472);
    BlockAssembler assembler;
    Sink sink;
    const double period = 256.0 / kRate;
    auto send = [&](int n) {
        const double sent = 10 + n * period;
        for (const auto &d : makeBlock(l, uint64_t(n), sent).datagrams)
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
    const Layout l = Layout::plan(2, 256, 1472);
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
        for (auto &d : makeBlock(l, uint64_t(n), sent).datagrams)
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
