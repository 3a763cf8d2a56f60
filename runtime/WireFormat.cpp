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

// Offsets of the header fields.
constexpr size_t kOffMagic = 0, kOffVersion = 4, kOffKind = 6, kOffRate = 8, kOffChannels = 12,
                 kOffSamples = 16, kOffReserved = 20, kOffTimecode = 24, kOffTimestamp = 32,
                 kOffSequence = 40;
static_assert(kOffSequence + 8 == kHeaderSize);

} // namespace

void encodeHeader(const Header &header, uint8_t *out)
{
    put<uint32_t>(out, kOffMagic, kMagic);
    put<uint16_t>(out, kOffVersion, kVersion);
    put<uint16_t>(out, kOffKind, static_cast<uint16_t>(header.kind));
    put<int32_t>(out, kOffRate, header.sampleRate);
    put<int32_t>(out, kOffChannels, header.channels);
    put<int32_t>(out, kOffSamples, header.samples);
    put<uint32_t>(out, kOffReserved, 0);
    put<int64_t>(out, kOffTimecode, header.timecode);
    put<int64_t>(out, kOffTimestamp, header.timestamp);
    put<uint64_t>(out, kOffSequence, header.sequence);
}

HeaderError decodeHeader(const uint8_t *in, Header &out)
{
    if (get<uint32_t>(in, kOffMagic) != kMagic)
        return HeaderError::BadMagic;
    if (get<uint16_t>(in, kOffVersion) != kVersion)
        return HeaderError::BadVersion;
    const auto kind = get<uint16_t>(in, kOffKind);
    if (kind != static_cast<uint16_t>(Kind::Audio)
        && kind != static_cast<uint16_t>(Kind::KeepAlive))
        return HeaderError::BadKind;
    out.kind = static_cast<Kind>(kind);
    out.sampleRate = get<int32_t>(in, kOffRate);
    out.channels = get<int32_t>(in, kOffChannels);
    out.samples = get<int32_t>(in, kOffSamples);
    out.timecode = get<int64_t>(in, kOffTimecode);
    out.timestamp = get<int64_t>(in, kOffTimestamp);
    out.sequence = get<uint64_t>(in, kOffSequence);
    if (out.kind == Kind::KeepAlive)
        return HeaderError::None;
    if (out.sampleRate < kMinRate || out.sampleRate > kMaxRate)
        return HeaderError::BadRate;
    if (out.channels < 1 || out.channels > kMaxChannels)
        return HeaderError::BadChannels;
    if (out.samples < 1 || out.samples > kMaxSamples)
        return HeaderError::BadSamples;
    return HeaderError::None;
}

size_t FrameParser::consume(const uint8_t *data, size_t size)
{
    if (!m_haveHeader) {
        const size_t take = std::min(size, kHeaderSize - m_headerFill);
        std::memcpy(m_headerBytes + m_headerFill, data, take);
        m_headerFill += take;
        if (m_headerFill < kHeaderSize)
            return take;
        m_headerFill = 0;
        m_error = decodeHeader(m_headerBytes, m_header);
        if (m_error != HeaderError::None)
            return take;
        m_haveHeader = true;
        m_payloadFill = 0;
        // Bounded by kMaxPayload: the header was validated first.
        if (m_payload.size() * sizeof(float) < m_header.payloadBytes())
            m_payload.resize(m_header.payloadBytes() / sizeof(float));
        if (m_header.payloadBytes() == 0) {
            m_haveHeader = false;
            m_complete = true;
        }
        return take;
    }
    const size_t want = m_header.payloadBytes() - m_payloadFill;
    const size_t take = std::min(size, want);
    std::memcpy(reinterpret_cast<uint8_t *>(m_payload.data()) + m_payloadFill, data, take);
    m_payloadFill += take;
    if (m_payloadFill == m_header.payloadBytes()) {
        m_haveHeader = false;
        m_complete = true;
    }
    return take;
}

} // namespace veltrin::rt::wire
