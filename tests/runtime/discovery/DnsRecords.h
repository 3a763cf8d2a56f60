#pragma once
// Test support: the records of Veltrin's service type as a hand-made responder says them.

#include "DnsMessage.h"

#include <array>
#include <string>
#include <vector>

namespace veltrin::test::dns {

using veltrin::rt::DnsName;
using veltrin::rt::DnsRecord;

inline const DnsName kService{"_veltrin", "_tcp", "local"};

inline DnsName instance(const std::string &label)
{
    return {label, "_veltrin", "_tcp", "local"};
}

inline DnsRecord ptr(const DnsName &instance, uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = kService;
    r.type = veltrin::rt::kTypePtr;
    r.ttl = ttl;
    r.target = instance;
    return r;
}

inline DnsRecord srv(const DnsName &instance, const DnsName &host, uint16_t port,
                     uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = instance;
    r.type = veltrin::rt::kTypeSrv;
    r.ttl = ttl;
    r.port = port;
    r.target = host;
    return r;
}

inline DnsRecord a(const DnsName &host, std::array<uint8_t, 4> ip, uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = host;
    r.type = veltrin::rt::kTypeA;
    r.ttl = ttl;
    r.ipv4 = ip;
    return r;
}

inline DnsRecord txt(const DnsName &instance, std::vector<std::string> strings, uint32_t ttl = 120)
{
    DnsRecord r;
    r.name = instance;
    r.type = veltrin::rt::kTypeTxt;
    r.ttl = ttl;
    r.txt = std::move(strings);
    return r;
}

} // namespace veltrin::test::dns
