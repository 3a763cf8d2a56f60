// Cuts audio blocks into the datagrams of the wire format: data shards of whole interleaved
// frames and, per group, Reed-Solomon parity shards, laid out as wire::Layout says for the
// datagram size a subscriber's path takes. A block is cut once per datagram size asked for
// (usually one), however many subscribers share that size; sizes nobody asked for during a
// block are forgotten after it.
//
// Threads: one (the sender's network thread). Memory is allocated when a size or a block's
// shape is new, never for a block of a steady stream.
#pragma once

#include "ErasureCode.h"
#include "WireFormat.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrin::rt {

// What the caller hands over with the planar samples of one block.
struct BlockRecord {
    int32_t sampleRate;
    int32_t channels;
    int32_t samples;
    int64_t timecode;
    int64_t handOff; // ns, steady clock
};

class ShardPacker
{
public:
    // The datagrams of one block for one datagram size.
    struct Cut {
        uint32_t datagram = 0;
        wire::Layout layout;
        size_t stride = 0; // bytes between datagrams in `bytes`
        std::vector<uint8_t> bytes;
        std::vector<uint8_t *> data, parity; // one group's payloads for the encoder
        bool filled = false;                 // holds the current block

        uint8_t *at(int index) { return bytes.data() + size_t(index) * stride; }
        size_t size(int index) const { return wire::kShardHeaderSize + layout.payloadBytes(index); }
    };

    explicit ShardPacker(uint64_t stream) : m_stream(stream) {}

    // The next block, numbered `number`; `planar` stays valid until end().
    void begin(const BlockRecord &block, const float *planar, uint64_t number);
    // The block's datagrams for this size, cut on the first ask.
    Cut &cut(uint32_t datagram);
    void end();

private:
    void fill(Cut &cut);

    const uint64_t m_stream;
    BlockRecord m_block{};
    const float *m_planar = nullptr;
    uint64_t m_number = 0;
    std::vector<Cut> m_cuts;
    ErasureCode m_code;
};

} // namespace veltrin::rt
