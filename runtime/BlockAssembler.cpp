#include "BlockAssembler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace veltrin::rt {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Gaps up to this long between two known frames are bridged by a straight line; longer ones
// (or one at the end of a block) by a fading repeat of what came just before.
constexpr int kInterpolateFrames = 32;
// Block numbers beyond this are refused: arithmetic on them stays far from overflow.
constexpr uint64_t kMaxBlock = uint64_t(1) << 62;

bool sameShape(const wire::Layout &a, const wire::Layout &b)
{
    return a.channels == b.channels && a.samples == b.samples
           && a.framesPerShard == b.framesPerShard && a.dataShards == b.dataShards
           && a.groups == b.groups && a.parity == b.parity;
}

} // namespace

BlockAssembler::BlockAssembler(const AssemblerConfig &config) : m_config(config)
{
    reset();
}

void BlockAssembler::reset()
{
    m_layout = {};
    m_rate = 0;
    m_stream = 0;
    m_slots.clear();
    m_storage.clear();
    m_next = -1;
    m_havePrevious = false;
    m_concealing = false;
    m_knownBlock = -1;
    m_bucketStart = -1;
    m_stats.bufferBytes = 0;
}

void BlockAssembler::reshape(const wire::Shard &shard)
{
    const bool hadShape = !m_slots.empty();
    const uint64_t stream = m_stream;
    reset();
    m_stream = stream;
    m_layout = shard.layout;
    m_rate = shard.sampleRate;
    const double duration = double(m_layout.samples) / m_rate;
    const size_t perSlot = size_t(m_layout.totalShards()) * m_layout.shardBytes();
    int slots = std::clamp(int(std::ceil(m_config.windowSeconds / duration)) + 1, 3, 128);
    while (slots > 2 && size_t(slots) * perSlot > m_config.maxBytes)
        --slots;
    if (size_t(slots) * perSlot > m_config.maxBytes) {
        m_layout = {}; // refused: shards of this shape are dropped
        return;
    }
    m_storage.assign(size_t(slots) * perSlot, 0);
    m_slots.resize(size_t(slots));
    for (Slot &s : m_slots) {
        s.present.assign(size_t(m_layout.totalShards()), 0);
        s.groupCount.assign(size_t(m_layout.groups), 0);
    }
    const size_t frames = size_t(m_layout.channels) * size_t(m_layout.samples);
    m_planar.assign(frames, 0.f);
    m_previous.assign(frames, 0.f);
    m_missing.assign(size_t(m_layout.dataShards), 0);
    m_groupShards.assign(ErasureCode::kMaxShards, nullptr);
    m_groupPresent.assign(ErasureCode::kMaxShards, 0);
    m_stats.bufferBytes = m_storage.size() + 2 * frames * sizeof(float);
    m_stats.shapeChanges += hadShape ? 1 : 0;
}

uint8_t *BlockAssembler::shardData(const Slot &slot, int index)
{
    const size_t slotIndex = size_t(&slot - m_slots.data());
    const size_t perSlot = size_t(m_layout.totalShards()) * m_layout.shardBytes();
    return m_storage.data() + slotIndex * perSlot + size_t(index) * m_layout.shardBytes();
}

bool BlockAssembler::accept(const wire::Shard &shard, double now)
{
    if (shard.block >= kMaxBlock)
        return false;
    if (shard.common.stream != m_stream) {
        reset();
        m_stream = shard.common.stream;
    }
    if (m_slots.empty() || !sameShape(shard.layout, m_layout) || shard.sampleRate != m_rate)
        reshape(shard);
    if (m_slots.empty())
        return false;
    const double sendTime = double(shard.sendTime) * 1e-9;
    noteTransit(now - sendTime, now);
    const auto block = int64_t(shard.block);
    if (m_next < 0)
        m_next = block;
    if (block < m_next) {
        // Parity that was not needed for a block already whole is no news; anything else came
        // too late to be used.
        const Slot &s = slotOf(block);
        if (!(s.block == block && s.delivered))
            ++m_stats.lateShards;
        return false;
    }
    if (block > m_knownBlock) {
        m_knownBlock = block;
        m_knownSendTime = sendTime;
    }
    return true;
}

void BlockAssembler::jump(int64_t block)
{
    m_stats.skippedBlocks += uint64_t(block - m_next);
    for (Slot &s : m_slots)
        s.block = -1;
    m_next = block;
    m_havePrevious = false;
}

void BlockAssembler::store(const wire::Shard &shard, const uint8_t *payload)
{
    const auto block = int64_t(shard.block);
    Slot &s = slotOf(block);
    if (s.block != block) {
        s.block = block;
        s.delivered = false;
        s.sendTime = double(shard.sendTime) * 1e-9;
        s.received = 0;
        s.groupsReady = 0;
        std::fill(s.present.begin(), s.present.end(), 0);
        std::fill(s.groupCount.begin(), s.groupCount.end(), 0);
    }
    const int index = shard.index;
    if (s.present[size_t(index)]) {
        ++m_stats.duplicateShards;
        return;
    }
    uint8_t *to = shardData(s, index);
    const size_t bytes = m_layout.payloadBytes(index);
    std::memcpy(to, payload, bytes);
    // The last data shard is shorter; the code treats it as padded with zeros.
    std::memset(to + bytes, 0, m_layout.shardBytes() - bytes);
    s.present[size_t(index)] = 1;
    ++s.received;
    const int group = m_layout.groupOf(index);
    if (++s.groupCount[size_t(group)] == m_layout.groupData(group))
        ++s.groupsReady;
}

double BlockAssembler::deadline(int64_t block, const Slot *slot) const
{
    const double duration = double(m_layout.samples) / m_rate;
    const double sendTime = slot != nullptr
                                ? slot->sendTime
                                : m_knownSendTime + double(block - m_knownBlock) * duration;
    return sendTime + base() + allowance();
}

bool BlockAssembler::laterArrived() const
{
    for (const Slot &s : m_slots)
        if (s.block > m_next)
            return true;
    return false;
}

double BlockAssembler::nextDeadline() const
{
    if (m_next < 0 || m_slots.empty())
        return kInfinity;
    const Slot &s = m_slots[size_t(m_next) % m_slots.size()];
    const bool have = s.block == m_next;
    if (have && decodable(s))
        return -kInfinity;
    if (!have && !laterArrived())
        return kInfinity;
    return deadline(m_next, have ? &s : nullptr);
}

const float *BlockAssembler::next(double now, bool force)
{
    if (m_next < 0 || m_slots.empty())
        return nullptr;
    const double duration = double(m_layout.samples) / m_rate;
    for (;;) {
        Slot &s = slotOf(m_next);
        const bool have = s.block == m_next;
        if (have && decodable(s)) {
            assemble(s);
            return m_planar.data();
        }
        const double due = deadline(m_next, have ? &s : nullptr);
        if (!force && now < due)
            return nullptr;
        if (have) {
            assemble(s);
            return m_planar.data();
        }
        // Nothing of this block arrived. Lost, if a later one is here; otherwise the stream
        // paused (the sender is late, gone, or the link is down), and nothing is handed on:
        // the frame synchroniser covers the pause, and audio goes on from where it resumes.
        if (!force && !laterArrived())
            return nullptr;
        if (force || !m_havePrevious || now - due > duration) {
            // Its time has long passed, or the stream resumes after a pause: handing it on now
            // would only add latency.
            ++m_stats.skippedBlocks;
            m_havePrevious = false;
            ++m_next;
            if (force)
                return nullptr;
            continue;
        }
        concealWhole();
        return m_planar.data();
    }
}

void BlockAssembler::assemble(Slot &slot)
{
    std::swap(m_planar, m_previous);
    const wire::Layout &l = m_layout;
    const int n = l.dataShards;
    const size_t bytes = l.shardBytes();
    int missing = 0;
    for (int g = 0; g < l.groups; ++g) {
        const int k = l.groupData(g);
        const bool ready = slot.groupCount[size_t(g)] >= k;
        int lost = 0;
        for (int pos = 0; pos < k; ++pos) {
            const int index = l.dataIndex(g, pos);
            m_groupShards[size_t(pos)] = shardData(slot, index);
            m_groupPresent[size_t(pos)] = slot.present[size_t(index)];
            lost += slot.present[size_t(index)] ? 0 : 1;
        }
        if (lost > 0 && ready) {
            for (int j = 0; j < l.parity; ++j) {
                const int index = l.parityIndex(g, j);
                m_groupShards[size_t(k + j)] = shardData(slot, index);
                m_groupPresent[size_t(k + j)] = slot.present[size_t(index)];
            }
            if (m_code.decode(k, l.parity, bytes, m_groupPresent.data(), m_groupShards.data())) {
                m_stats.repairedShards += uint64_t(lost);
                lost = 0;
            }
        }
        for (int pos = 0; pos < k; ++pos) {
            const int index = l.dataIndex(g, pos);
            m_missing[size_t(index)] = lost > 0 && !slot.present[size_t(index)] ? 1 : 0;
        }
        missing += lost;
    }
    // Interleaved shards to planar; what is not finite would poison the resampler and the device.
    const int channels = l.channels;
    for (int i = 0; i < n; ++i) {
        if (m_missing[size_t(i)])
            continue;
        const auto *in = reinterpret_cast<const float *>(shardData(slot, i));
        const int first = i * l.framesPerShard;
        const int frames = l.shardFrames(i);
        for (int f = 0; f < frames; ++f)
            for (int c = 0; c < channels; ++c) {
                float v;
                std::memcpy(&v, in + size_t(f) * size_t(channels) + size_t(c), sizeof v);
                m_planar[size_t(c) * size_t(l.samples) + size_t(first + f)] =
                    std::isfinite(v) ? v : 0.f;
            }
    }
    for (int i = 0; i < n;) {
        if (!m_missing[size_t(i)]) {
            ++i;
            continue;
        }
        int j = i;
        while (j < n && m_missing[size_t(j)])
            ++j;
        const int from = i * l.framesPerShard;
        const int to = std::min(j * l.framesPerShard, l.samples);
        conceal(from, to, to < l.samples);
        i = j;
    }
    m_stats.concealedShards += uint64_t(missing);
    m_stats.blocks += missing == 0 ? 1 : 0;
    slot.delivered = true;
    m_havePrevious = true;
    m_concealing = false;
    ++m_next;
}

void BlockAssembler::conceal(int from, int to, bool rightKnown)
{
    const int samples = m_layout.samples;
    const int length = to - from;
    for (int c = 0; c < m_layout.channels; ++c) {
        float *x = m_planar.data() + size_t(c) * size_t(samples);
        const float *before = m_previous.data() + size_t(c) * size_t(samples);
        // Frame p of the stream counted from this block's start (p < 0: the previous block).
        auto at = [&](int p) {
            if (p >= 0)
                return x[p];
            if (m_havePrevious && samples + p >= 0)
                return before[samples + p];
            return 0.f;
        };
        if (rightKnown && length <= kInterpolateFrames) {
            // In double: right - left of two finite floats can overflow a float, and the
            // result, which lies between them, always fits one again.
            const double left = at(from - 1);
            const double right = x[to];
            for (int i = 0; i < length; ++i)
                x[from + i] = float(left + (right - left) * (i + 1) / (length + 1));
            continue;
        }
        for (int i = 0; i < length; ++i)
            x[from + i] = at(from + i - length) * (1.f - float(i + 1) / float(length + 1));
    }
}

void BlockAssembler::concealWhole()
{
    std::swap(m_planar, m_previous);
    const int samples = m_layout.samples;
    // A block lost after one that arrived fades out a repeat of it; the next ones are silent.
    const bool fade = m_havePrevious && !m_concealing;
    for (int c = 0; c < m_layout.channels; ++c) {
        float *x = m_planar.data() + size_t(c) * size_t(samples);
        const float *before = m_previous.data() + size_t(c) * size_t(samples);
        for (int i = 0; i < samples; ++i)
            x[i] = fade ? before[i] * (1.f - float(i + 1) / float(samples + 1)) : 0.f;
    }
    ++m_stats.concealedBlocks;
    m_concealing = true;
    m_havePrevious = true;
    ++m_next;
}

void BlockAssembler::noteTransit(double transit, double now)
{
    const double width = m_config.historySeconds / kBuckets;
    if (m_bucketStart < 0 || now - m_bucketStart >= m_config.historySeconds + width) {
        for (int b = 0; b < kBuckets; ++b) {
            m_minTransit[b] = kInfinity;
            m_maxTransit[b] = -kInfinity;
        }
        m_bucket = 0;
        m_bucketStart = now;
    }
    while (now - m_bucketStart >= width) {
        m_bucket = (m_bucket + 1) % kBuckets;
        m_minTransit[m_bucket] = kInfinity;
        m_maxTransit[m_bucket] = -kInfinity;
        m_bucketStart += width;
    }
    m_minTransit[m_bucket] = std::min(m_minTransit[m_bucket], transit);
    m_maxTransit[m_bucket] = std::max(m_maxTransit[m_bucket], transit);
}

double BlockAssembler::base() const
{
    double least = kInfinity;
    for (double v : m_minTransit)
        least = std::min(least, v);
    return least;
}

double BlockAssembler::allowance() const
{
    double most = -kInfinity;
    for (double v : m_maxTransit)
        most = std::max(most, v);
    return std::min(std::max(most - base(), 0.0) + m_config.marginSeconds, m_config.maxWaitSeconds);
}

AssemblerStats BlockAssembler::stats() const
{
    return m_stats;
}

} // namespace veltrin::rt
