// Puts a stream's blocks back together from the shards that arrive, in any order, and hands
// them on in order, each exactly once and with exactly its own number of samples.
//
// A block is handed on as soon as every group of it can be decoded (Reed-Solomon repairs lost
// shards with no added wait). A block that cannot be completed is handed on at its deadline:
// when it would usually have arrived (the sender's hand-off time plus the least transit delay
// seen lately) plus the lateness seen lately, a small margin, and never more than maxWait. Its
// lost frames are then concealed in place (interpolated when short, a fading repeat when long)
// so that the count of samples and the timing of every later sample stay exact. A block lost
// whole (a later one is here) is concealed the same way. When nothing comes at all (the sender
// is late or gone, the link is down) nothing is handed on until shards come again, and blocks
// whose time has long passed then are skipped rather than handed on late, so an outage never
// becomes latency. Shards of blocks already handed on and duplicates are dropped and counted.
//
// Threads: one (the receiver's network thread). Time is passed in (seconds on the receiver's
// steady clock), so the whole logic runs on a virtual clock in tests. Memory is allocated when
// a stream's shape changes, never per shard, and is bounded by AssemblerConfig::maxBytes.
#pragma once

#include "ErasureCode.h"
#include "WireFormat.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace veltrin::rt {

struct AssemblerConfig {
    // Shards are kept for blocks this far ahead of the one to hand on next (at least 3 blocks).
    double windowSeconds = 0.1;
    // The longest a block that cannot be completed waits past its usual arrival.
    double maxWaitSeconds = 0.05;
    // Added to the lateness seen, for the deadline of a block that cannot be completed.
    double marginSeconds = 0.0005;
    // The least transit delay and the lateness are taken over this long.
    double historySeconds = 2.0;
    // Shard memory never exceeds this (a hostile shape costs no more).
    size_t maxBytes = size_t(32) << 20;
};

struct AssemblerStats {
    uint64_t blocks = 0;          // handed on with all of their data
    uint64_t repairedShards = 0;  // data shards rebuilt from parity
    uint64_t concealedShards = 0; // data shards lost and concealed
    uint64_t concealedBlocks = 0; // blocks lost whole and concealed
    uint64_t skippedBlocks = 0;   // blocks never handed on (their time had long passed)
    uint64_t lateShards = 0;      // arrived after their block was handed on
    uint64_t duplicateShards = 0;
    uint64_t shapeChanges = 0;
    size_t bufferBytes = 0;
};

class BlockAssembler
{
public:
    explicit BlockAssembler(const AssemblerConfig &config = {});

    // A validated shard (wire::decodeShard accepted it) and its payload. A shard too far
    // ahead of the block to hand on next makes room by handing on, or skipping, older blocks:
    // deliver as for poll().
    template <typename Deliver>
    void offer(const wire::Shard &shard, const uint8_t *payload, double now, Deliver &&deliver)
    {
        if (!accept(shard, now))
            return;
        const auto block = int64_t(shard.block);
        const auto window = int64_t(m_slots.size());
        if (block - m_next >= 2 * window)
            jump(block);
        while (block >= m_next + window)
            if (const float *planar = next(now, true))
                deliver(planar, m_layout.channels, m_layout.samples, m_rate);
        store(shard, payload);
    }

    // Hands on every block that is complete or due: deliver(planar, channels, samples, rate),
    // channel c at planar + c * samples, valid during the call.
    template <typename Deliver> void poll(double now, Deliver &&deliver)
    {
        while (const float *planar = next(now, false))
            deliver(planar, m_layout.channels, m_layout.samples, m_rate);
    }

    // When poll() has something to do next, s; infinity when it waits for shards.
    double nextDeadline() const;
    // Forgets the stream (a new sender).
    void reset();
    AssemblerStats stats() const;

private:
    struct Slot {
        int64_t block = -1;
        bool delivered = false; // handed on whole; later shards of it are surplus parity
        double sendTime = 0;    // s, sender's clock
        int received = 0;
        int groupsReady = 0;
        std::vector<uint8_t> present;     // per shard
        std::vector<uint16_t> groupCount; // shards per group
    };

    // Checks the shard against the stream and its shape (adopting a new one); false: dropped.
    bool accept(const wire::Shard &shard, double now);
    void store(const wire::Shard &shard, const uint8_t *payload);
    void jump(int64_t block); // forgets every pending block and goes on from `block`
    void reshape(const wire::Shard &shard);
    Slot &slotOf(int64_t block) { return m_slots[size_t(block) % m_slots.size()]; }
    uint8_t *shardData(const Slot &slot, int index);
    bool decodable(const Slot &slot) const { return slot.groupsReady == m_layout.groups; }
    double deadline(int64_t block, const Slot *slot) const;
    bool laterArrived() const; // shards of a block after the next one are here
    // The next block to hand on, assembled into m_planar, or null when there is none yet.
    // `force`: hand it on (or skip it) whatever its deadline.
    const float *next(double now, bool force);
    void assemble(Slot &slot);
    void concealWhole();
    void conceal(int from, int to, bool rightKnown);
    void noteTransit(double transit, double now);
    double base() const;
    double allowance() const;

    const AssemblerConfig m_config;
    ErasureCode m_code;
    wire::Layout m_layout;
    int m_rate = 0;
    uint64_t m_stream = 0;
    std::vector<Slot> m_slots;
    std::vector<uint8_t> m_storage; // slots x shards x shard bytes
    std::vector<float> m_planar, m_previous;
    std::vector<uint8_t> m_missing;       // per data shard of the block being assembled
    std::vector<uint8_t *> m_groupShards; // one group's shards for the decoder
    std::vector<uint8_t> m_groupPresent;
    bool m_havePrevious = false;
    int64_t m_next = -1;
    bool m_concealing = false; // the block handed on last was lost whole
    // The newest hand-off time known, for blocks of which nothing arrived.
    int64_t m_knownBlock = -1;
    double m_knownSendTime = 0;
    // Transit time (arrival less hand-off, two clocks) per history bucket.
    static constexpr int kBuckets = 4;
    double m_bucketStart = -1;
    int m_bucket = 0;
    double m_minTransit[kBuckets];
    double m_maxTransit[kBuckets];
    AssemblerStats m_stats;
};

} // namespace veltrin::rt
