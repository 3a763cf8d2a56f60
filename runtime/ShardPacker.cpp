#include "ShardPacker.h"

#include <algorithm>
#include <cstring>

namespace veltrin::rt {

void ShardPacker::begin(const BlockRecord &block, const float *planar, uint64_t number)
{
    m_block = block;
    m_planar = planar;
    m_number = number;
    for (Cut &cut : m_cuts)
        cut.filled = false;
}

ShardPacker::Cut &ShardPacker::cut(uint32_t datagram)
{
    Cut *cut = nullptr;
    for (Cut &c : m_cuts)
        if (c.datagram == datagram)
            cut = &c;
    // Subscribers that share a size share the block's datagrams, planned and cut once.
    if (cut != nullptr && cut->filled)
        return *cut;
    const wire::Layout layout = wire::Layout::plan(m_block.channels, m_block.samples, datagram);
    if (cut == nullptr) {
        m_cuts.emplace_back();
        cut = &m_cuts.back();
        cut->datagram = datagram;
    }
    const wire::Layout &l = cut->layout;
    if (l.channels != layout.channels || l.samples != layout.samples
        || l.framesPerShard != layout.framesPerShard || cut->bytes.empty()) {
        // A new shape: the network thread allocates (never the caller's thread).
        cut->layout = layout;
        cut->stride = wire::kShardHeaderSize + layout.shardBytes();
        cut->bytes.assign(size_t(layout.totalShards()) * cut->stride, 0);
        cut->data.resize(ErasureCode::kMaxShards);
        cut->parity.resize(ErasureCode::kMaxShards);
    }
    fill(*cut);
    cut->filled = true;
    return *cut;
}

void ShardPacker::end()
{
    // Sizes nobody asks for any more.
    m_cuts.erase(
        std::remove_if(m_cuts.begin(), m_cuts.end(), [](const Cut &c) { return !c.filled; }),
        m_cuts.end());
}

void ShardPacker::fill(Cut &cut)
{
    const wire::Layout &l = cut.layout;
    wire::Shard shard;
    shard.common.stream = m_stream;
    shard.block = m_number;
    shard.sendTime = m_block.handOff;
    shard.timecode = m_block.timecode;
    shard.sampleRate = m_block.sampleRate;
    shard.layout = l;
    const int channels = l.channels;
    for (int i = 0; i < l.totalShards(); ++i) {
        uint8_t *datagram = cut.at(i);
        shard.common.kind = i < l.dataShards ? wire::Kind::Data : wire::Kind::Parity;
        shard.index = i;
        wire::encodeShardHeader(shard, datagram);
        if (i >= l.dataShards)
            continue;
        // Whole frames, interleaved; the last shard's tail stays zero for the parity.
        auto *out = reinterpret_cast<float *>(datagram + wire::kShardHeaderSize);
        const int first = i * l.framesPerShard;
        const int frames = l.shardFrames(i);
        for (int f = 0; f < frames; ++f)
            for (int c = 0; c < channels; ++c)
                out[size_t(f) * size_t(channels) + size_t(c)] =
                    m_planar[size_t(c) * size_t(l.samples) + size_t(first + f)];
        std::memset(out + size_t(frames) * size_t(channels), 0, l.shardBytes() - l.payloadBytes(i));
    }
    if (l.parity == 0)
        return;
    for (int g = 0; g < l.groups; ++g) {
        const int k = l.groupData(g);
        for (int pos = 0; pos < k; ++pos)
            cut.data[size_t(pos)] = cut.at(l.dataIndex(g, pos)) + wire::kShardHeaderSize;
        for (int j = 0; j < l.parity; ++j)
            cut.parity[size_t(j)] = cut.at(l.parityIndex(g, j)) + wire::kShardHeaderSize;
        m_code.encode(k, l.parity, l.shardBytes(), cut.data.data(), cut.parity.data());
    }
}

} // namespace veltrin::rt
