#pragma once
// DNS messages as multicast DNS uses them (RFC 1035 wire format, RFC 6762 bits): a validating
// parser for packets from the network and a writer with name compression. Plain data and
// free functions; any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::rt {

// A domain name as its labels; labels may hold any byte, dots and spaces included.
using DnsName = std::vector<std::string>;

bool sameName(const DnsName &a, const DnsName &b); // ASCII case-insensitive, as DNS compares
std::string nameKey(const DnsName &name);          // lower-cased, unambiguous map key

enum DnsType : uint16_t { kTypeA = 1, kTypePtr = 12, kTypeTxt = 16, kTypeSrv = 33, kTypeAny = 255 };
constexpr uint16_t kClassIn = 1;

struct DnsQuestion {
    DnsName name;
    uint16_t type = 0;
    uint16_t qclass = kClassIn;
    bool unicastResponse = false; // the top bit of the class: "QU" question
    bool operator==(const DnsQuestion &) const;
};

struct DnsRecord {
    DnsName name;
    uint16_t type = 0;
    uint16_t rclass = kClassIn;
    bool cacheFlush = false; // the top bit of the class in answers
    uint32_t ttl = 0;
    // Decoded data, by type: PTR and SRV use target; SRV priority/weight/port; TXT strings; A ipv4.
    DnsName target;
    uint16_t priority = 0, weight = 0, port = 0;
    std::vector<std::string> txt;
    std::array<uint8_t, 4> ipv4{};
    std::vector<uint8_t> raw; // other types, kept as they came
    bool operator==(const DnsRecord &) const;
};

struct DnsMessage {
    uint16_t id = 0;
    uint16_t flags = 0; // kFlagResponse | kFlagAuthoritative for answers
    std::vector<DnsQuestion> questions;
    std::vector<DnsRecord> answers, authorities, additionals;
    bool isResponse() const { return flags & kFlagResponse; }
    bool operator==(const DnsMessage &) const;
    static constexpr uint16_t kFlagResponse = 0x8000;
    static constexpr uint16_t kFlagAuthoritative = 0x0400;
};

constexpr size_t kMaxNameLength = 255; // wire length, RFC 1035
constexpr size_t kMaxLabelLength = 63;

// Parses one datagram; nullopt when anything in it is malformed (truncated sections, bad
// lengths, compression pointers that do not point backwards, over-long names).
std::optional<DnsMessage> parseDnsMessage(const uint8_t *data, size_t size);

// Encodes a message, compressing repeated name suffixes. Names and strings longer than the
// wire allows are an error of the caller: they come back as nullopt.
std::optional<std::vector<uint8_t>> writeDnsMessage(const DnsMessage &message);

} // namespace veltrin::rt
