#include "WireFormat.h"

#include <algorithm>
#include <cstring>

namespace veltrin::rt::wire {

namespace {

// x86-64 and every target we build for are little-endian; memcpy keeps unaligned access legal.
template <typename T> void put(uint8_t *out, size_t offset, T value)
{
    std::memcpy(out + offset, &value, sizeof value);
}

template <typename T> T get(const uint8_t *in, size_t offset)
{
    T value;
    std::memcpy(&value, in + offset, sizeof value);
    return value;
}

// Common header.
constexpr size_t kOffMagic = 0, kOffVersion = 4, kOffKind = 5, kOffStream = 8;
// Shard header.
constexpr size_t kOffBlock = 16, kOffSendTime = 24, kOffTimecode = 32, kOffRate = 40,
                 kOffChannels = 44, kOffSamples = 46, kOffFramesPerShard = 48, kOffDataShards = 50,
                 kOffGroups = 52, kOffParity = 54, kOffIndex = 56;
static_assert(kOffIndex + 8 == kShardHeaderSize);
// Subscribe and challenge.
constexpr size_t kOffCookie = 16, kOffMaxDatagram = 24;
static_assert(kOffMaxDatagram + 8 == kSubscribeSize);
static_assert(kOffCookie + 8 == kChallengeSize);

int ceilDiv(int a, int b)
{
    return (a + b - 1) / b;
}

} // namespace

int Layout::shardFrames(int i) const
{
    return std::min(framesPerShard, samples - i * framesPerShard);
}

size_t Layout::payloadBytes(int index) const
{
    if (index < dataShards)
        return size_t(shardFrames(index)) * size_t(channels) * sizeof(float);
    return shardBytes();
}

bool Layout::valid() const
{
    if (channels < 1 || channels > kMaxChannels || samples < 1 || samples > kMaxSamples)
        return false;
    if (framesPerShard < 1 || framesPerShard > samples || shardBytes() > kMaxShardBytes)
        return false;
    if (dataShards != ceilDiv(samples, framesPerShard))
        return false;
    // At most kMaxGroupData data shards in a group, and never an empty group.
    if (groups < ceilDiv(dataShards, kMaxGroupData) || groups > dataShards)
        return false;
    return parity >= 0 && parity <= kMaxParity;
}

Layout Layout::plan(int channels, int samples, size_t datagram)
{
    Layout l;
    l.channels = channels;
    l.samples = samples;
    const size_t room =
        std::min(std::max(datagram, kMinDatagram) - kShardHeaderSize, kMaxShardBytes);
    const size_t frameBytes = size_t(std::max(channels, 1)) * sizeof(float);
    l.framesPerShard = std::clamp(int(room / frameBytes), 1, std::max(samples, 1));
    l.dataShards = ceilDiv(samples, l.framesPerShard);
    l.groups = ceilDiv(l.dataShards, kMaxGroupData);
    l.parity = parityFor(ceilDiv(l.dataShards, l.groups));
    return l;
}

size_t encodeCommon(const Common &c, uint8_t *out)
{
    put<uint32_t>(out, kOffMagic, kMagic);
    put<uint8_t>(out, kOffVersion, kVersion);
    put<uint8_t>(out, kOffKind, static_cast<uint8_t>(c.kind));
    put<uint16_t>(out, 6, 0);
    put<uint64_t>(out, kOffStream, c.stream);
    return kCommonSize;
}

size_t encodeShardHeader(const Shard &s, uint8_t *out)
{
    encodeCommon(s.common, out);
    put<uint64_t>(out, kOffBlock, s.block);
    put<int64_t>(out, kOffSendTime, s.sendTime);
    put<int64_t>(out, kOffTimecode, s.timecode);
    put<int32_t>(out, kOffRate, s.sampleRate);
    put<uint16_t>(out, kOffChannels, uint16_t(s.layout.channels));
    put<uint16_t>(out, kOffSamples, uint16_t(s.layout.samples));
    put<uint16_t>(out, kOffFramesPerShard, uint16_t(s.layout.framesPerShard));
    put<uint16_t>(out, kOffDataShards, uint16_t(s.layout.dataShards));
    put<uint16_t>(out, kOffGroups, uint16_t(s.layout.groups));
    put<uint8_t>(out, kOffParity, uint8_t(s.layout.parity));
    put<uint8_t>(out, kOffParity + 1, 0);
    put<uint16_t>(out, kOffIndex, uint16_t(s.index));
    std::memset(out + kOffIndex + 2, 0, kShardHeaderSize - kOffIndex - 2);
    return kShardHeaderSize;
}

size_t encodeSubscribe(const Subscribe &s, uint8_t *out)
{
    encodeCommon(s.common, out);
    put<uint64_t>(out, kOffCookie, s.cookie);
    put<uint32_t>(out, kOffMaxDatagram, s.maxDatagram);
    put<uint32_t>(out, kOffMaxDatagram + 4, 0);
    return kSubscribeSize;
}

size_t encodeChallenge(const Challenge &c, uint8_t *out)
{
    encodeCommon(c.common, out);
    put<uint64_t>(out, kOffCookie, c.cookie);
    return kChallengeSize;
}

Error decodeCommon(const uint8_t *in, size_t size, Common &out)
{
    if (size < kCommonSize)
        return Error::Short;
    if (get<uint32_t>(in, kOffMagic) != kMagic)
        return Error::BadMagic;
    if (get<uint8_t>(in, kOffVersion) != kVersion)
        return Error::BadVersion;
    const auto kind = get<uint8_t>(in, kOffKind);
    if (kind < static_cast<uint8_t>(Kind::Data) || kind > static_cast<uint8_t>(Kind::End))
        return Error::BadKind;
    out.kind = static_cast<Kind>(kind);
    out.stream = get<uint64_t>(in, kOffStream);
    return Error::None;
}

Error decodeShard(const uint8_t *in, size_t size, Shard &out)
{
    if (const Error e = decodeCommon(in, size, out.common); e != Error::None)
        return e;
    if (out.common.kind != Kind::Data && out.common.kind != Kind::Parity)
        return Error::BadKind;
    if (size < kShardHeaderSize)
        return Error::Short;
    out.block = get<uint64_t>(in, kOffBlock);
    out.sendTime = get<int64_t>(in, kOffSendTime);
    out.timecode = get<int64_t>(in, kOffTimecode);
    out.sampleRate = get<int32_t>(in, kOffRate);
    Layout &l = out.layout;
    l.channels = get<uint16_t>(in, kOffChannels);
    l.samples = get<uint16_t>(in, kOffSamples);
    l.framesPerShard = get<uint16_t>(in, kOffFramesPerShard);
    l.dataShards = get<uint16_t>(in, kOffDataShards);
    l.groups = get<uint16_t>(in, kOffGroups);
    l.parity = get<uint8_t>(in, kOffParity);
    out.index = get<uint16_t>(in, kOffIndex);
    if (out.sampleRate < kMinRate || out.sampleRate > kMaxRate)
        return Error::BadRate;
    if (l.channels < 1 || l.channels > kMaxChannels)
        return Error::BadChannels;
    if (l.samples < 1 || l.samples > kMaxSamples)
        return Error::BadSamples;
    if (!l.valid())
        return Error::BadLayout;
    const bool data = out.common.kind == Kind::Data;
    if (data ? out.index >= l.dataShards
             : (out.index < l.dataShards || out.index >= l.totalShards()))
        return Error::BadIndex;
    if (size - kShardHeaderSize != l.payloadBytes(out.index))
        return Error::BadLength;
    return Error::None;
}

Error decodeSubscribe(const uint8_t *in, size_t size, Subscribe &out)
{
    if (const Error e = decodeCommon(in, size, out.common); e != Error::None)
        return e;
    if (out.common.kind != Kind::Subscribe && out.common.kind != Kind::Leave)
        return Error::BadKind;
    if (size < kSubscribeSize)
        return Error::Short;
    out.cookie = get<uint64_t>(in, kOffCookie);
    out.maxDatagram = get<uint32_t>(in, kOffMaxDatagram);
    if (out.common.kind == Kind::Subscribe
        && (out.maxDatagram < kMinDatagram || out.maxDatagram > 65507))
        return Error::BadDatagram;
    return Error::None;
}

Error decodeChallenge(const uint8_t *in, size_t size, Challenge &out)
{
    if (const Error e = decodeCommon(in, size, out.common); e != Error::None)
        return e;
    if (out.common.kind != Kind::Challenge)
        return Error::BadKind;
    if (size < kChallengeSize)
        return Error::Short;
    out.cookie = get<uint64_t>(in, kOffCookie);
    return Error::None;
}

} // namespace veltrin::rt::wire
