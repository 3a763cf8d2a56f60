// The datagram format of the audio transport (UDP, one socket per sender and per receiver).
//
// A receiver subscribes to a sender; the sender answers a subscription without a valid cookie
// with a challenge carrying one (a keyed hash of the receiver's address, so that nobody can
// subscribe an address it does not receive at), and streams to every subscriber that refreshes
// with the cookie. Each audio block travels as shards: data shards holding whole interleaved
// frames, split into interleaved groups, and per group Reed-Solomon parity shards, so that a
// group survives the loss of up to `parity` of its shards with no added round trip.
//
// Every datagram starts with a 16-byte common header (magic, version, kind, stream id); shards
// add a 48-byte block header. Little-endian throughout.
//
// Threads: any. Nothing here trusts the bytes it is given: every field is checked, and every
// size derived from them bounded, before a caller may use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrin::rt::wire {

constexpr uint32_t kMagic = 0x44544c56; // "VLTD" in little-endian byte order
constexpr uint8_t kVersion = 2;
constexpr int32_t kMaxChannels = 64;
constexpr int32_t kMaxSamples = 16384;
constexpr int32_t kMinRate = 1000;
constexpr int32_t kMaxRate = 384000;

constexpr size_t kCommonSize = 16;
constexpr size_t kShardHeaderSize = 64;
constexpr size_t kSubscribeSize = 32;
constexpr size_t kChallengeSize = 24;
// A shard's payload never exceeds this, whatever the path allows: larger datagrams save little
// and make each loss costlier.
constexpr size_t kMaxShardBytes = 16384;
constexpr size_t kMaxDatagram = kShardHeaderSize + kMaxShardBytes;
// The smallest datagram a receiver may ask for: an IPv4 path's minimum MTU less IP and UDP.
constexpr size_t kMinDatagram = 548;
// Reed-Solomon over GF(256): data plus parity shards of one group stay below 256.
constexpr int kMaxGroupData = 32;
constexpr int kMaxParity = 16;

enum class Kind : uint8_t {
    Data = 1,      // sender -> receiver: one data shard of a block
    Parity = 2,    // sender -> receiver: one parity shard of a block's group
    Subscribe = 3, // receiver -> sender: start or refresh a subscription
    Challenge = 4, // sender -> receiver: the cookie to subscribe with, and the stream id
    Leave = 5,     // receiver -> sender: end a subscription
    Idle = 6,      // sender -> receiver: alive, no audio to send
    End = 7,       // sender -> receiver: the stream has ended
};

enum class Error {
    None,
    Short, // fewer bytes than the kind needs
    BadMagic,
    BadVersion,
    BadKind,
    BadRate,
    BadChannels,
    BadSamples,
    BadLayout,   // shard size, groups or parity inconsistent with the block
    BadIndex,    // shard index outside the block
    BadLength,   // payload length differs from what the header implies
    BadDatagram, // a subscription's datagram size out of range
};

struct Common {
    Kind kind = Kind::Data;
    uint64_t stream = 0; // the sender's random stream id; 0 in a first subscription
};

// How one block is cut into shards. Derived from the block's shape and the datagram size the
// receiver's path takes; sender and receiver compute it the same way from the same fields.
struct Layout {
    int channels = 0;
    int samples = 0;
    int framesPerShard = 0;
    int dataShards = 0;
    int groups = 0;
    int parity = 0; // per group

    size_t shardBytes() const { return size_t(framesPerShard) * size_t(channels) * sizeof(float); }
    int totalShards() const { return dataShards + groups * parity; }
    // Data shards in group g (data shard i belongs to group i % groups).
    int groupData(int g) const { return dataShards / groups + (g < dataShards % groups ? 1 : 0); }
    // The data shards are striped across the groups, so that a burst of consecutive losses
    // falls on different groups: position `pos` of group g is data shard g + pos * groups.
    int dataIndex(int g, int pos) const { return g + pos * groups; }
    // Parity shard j of group g; the parity shards follow the data shards, group by group.
    int parityIndex(int g, int j) const { return dataShards + g * parity + j; }
    // The group that shard `index` (data or parity) belongs to.
    int groupOf(int index) const
    {
        return index < dataShards ? index % groups : (index - dataShards) / parity;
    }
    // Frames that data shard i carries (the last one may carry fewer).
    int shardFrames(int i) const;
    // Payload bytes of shard `index` (data shards first, then group g's parity j at
    // dataShards + g * parity + j).
    size_t payloadBytes(int index) const;
    // True when the fields are consistent and within every limit.
    bool valid() const;

    // The layout a sender uses for a block of this shape to a path taking `datagram` bytes.
    static Layout plan(int channels, int samples, size_t datagram);
    // Parity shards per group of `data` shards: one, and one more per eight data shards.
    static int parityFor(int data) { return 1 + (data + 7) / 8; }
};

struct Shard {
    Common common;
    uint64_t block = 0;
    int64_t sendTime = 0; // ns on the sender's steady clock, when the block was handed over
    int64_t timecode = 0; // 100 ns units
    int32_t sampleRate = 0;
    Layout layout;
    int index = 0; // 0 .. dataShards-1 for data, then parity as in Layout::payloadBytes
};

struct Subscribe {
    Common common;
    uint64_t cookie = 0;
    uint32_t maxDatagram = 0; // bytes per datagram the receiver's path takes
};

struct Challenge {
    Common common;
    uint64_t cookie = 0;
};

// Writers: `out` has room for the kind's size; they return the bytes written.
size_t encodeShardHeader(const Shard &shard, uint8_t *out);
size_t encodeSubscribe(const Subscribe &s, uint8_t *out);
size_t encodeChallenge(const Challenge &c, uint8_t *out);
size_t encodeCommon(const Common &c, uint8_t *out); // Idle and End (Leave is a Subscribe)

// Readers: validate the whole datagram (a shard's payload length included).
Error decodeCommon(const uint8_t *in, size_t size, Common &out);
Error decodeShard(const uint8_t *in, size_t size, Shard &out);
Error decodeSubscribe(const uint8_t *in, size_t size, Subscribe &out);
Error decodeChallenge(const uint8_t *in, size_t size, Challenge &out);

} // namespace veltrin::rt::wire
