// The byte format of one audio stream on a TCP connection from a sender to a receiver.
//
// A connection carries a sequence of messages, each a fixed 48-byte little-endian header
// followed by its payload. Audio messages carry planar 32-bit float samples, channel after
// channel; keep-alive messages carry nothing and tell a receiver that an idle sender is alive.
//
// Threads: any; FrameParser is owned by one receiver thread. Nothing here trusts the bytes it
// is given: every field is checked before any size derived from it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrin::rt::wire {

constexpr uint32_t kMagic = 0x41544c56; // "VLTA" in little-endian byte order
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 48;
constexpr int32_t kMaxChannels = 64;
constexpr int32_t kMaxSamples = 16384;
constexpr int32_t kMinRate = 1000;
constexpr int32_t kMaxRate = 384000;
constexpr size_t kMaxPayload = size_t(kMaxChannels) * kMaxSamples * sizeof(float);

enum class Kind : uint16_t { Audio = 1, KeepAlive = 2 };

struct Header {
    Kind kind = Kind::Audio;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    int64_t timecode = 0;  // 100 ns units
    int64_t timestamp = 0; // 100 ns units
    uint64_t sequence = 0; // audio messages count up from 0 on every connection

    size_t payloadBytes() const
    {
        return kind == Kind::Audio ? size_t(channels) * size_t(samples) * sizeof(float) : 0;
    }
};

// Writes the header's 48 bytes to out.
void encodeHeader(const Header &header, uint8_t *out);

enum class HeaderError { None, BadMagic, BadVersion, BadKind, BadRate, BadChannels, BadSamples };

// Decodes and validates 48 bytes.
HeaderError decodeHeader(const uint8_t *in, Header &out);

// Reassembles messages from a byte stream that arrives in pieces of any size.
//
// Feed it what the socket gave; after each call, the messages completed by those bytes are
// offered to the callback in order. Memory is bounded by one header plus the largest legal
// payload. After the first invalid header the parser refuses everything (the peer is bad).
class FrameParser
{
public:
    // `onMessage(header, planarSamples)`; samples point into the parser and are valid during
    // the call only. Returns false once the stream is invalid.
    template <typename OnMessage> bool feed(const uint8_t *data, size_t size, OnMessage &&onMessage)
    {
        while (size > 0 && m_error == HeaderError::None) {
            size_t used = consume(data, size);
            data += used;
            size -= used;
            if (m_complete) {
                m_complete = false;
                onMessage(m_header, static_cast<const float *>(m_payload.data()));
            }
        }
        return m_error == HeaderError::None;
    }

    HeaderError error() const { return m_error; }

private:
    size_t consume(const uint8_t *data, size_t size);

    uint8_t m_headerBytes[kHeaderSize] = {};
    size_t m_headerFill = 0;
    bool m_haveHeader = false;
    Header m_header;
    std::vector<float> m_payload;
    size_t m_payloadFill = 0;
    bool m_complete = false;
    HeaderError m_error = HeaderError::None;
};

} // namespace veltrin::rt::wire
