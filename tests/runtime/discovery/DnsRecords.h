#pragma once
// Test support for discovery: the records of Veltrin's service type as a hand-made responder
// says them, a socket of its own on port 5353, and waiting for a browser's list.

#include "Discovery.h"
#include "DnsMessage.h"

#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace veltrin::test::dns {

using veltrin::rt::DnsName;
using veltrin::rt::DnsRecord;

inline const DnsName kService{"_veltrin", "_tcp", "local"};

inline DnsName instance(const std::string &label)
{
    return {label, "_veltrin", "_tcp", "local"};
}

inline DnsRecord record(const DnsName &name, uint16_t type, uint32_t ttl)
{
    DnsRecord r;
    r.name = name;
    r.type = type;
    r.ttl = ttl;
    return r;
}

inline DnsRecord ptr(const DnsName &instance, uint32_t ttl = 120)
{
    DnsRecord r = record(kService, veltrin::rt::kTypePtr, ttl);
    r.target = instance;
    return r;
}

inline DnsRecord srv(const DnsName &instance, const DnsName &host, uint16_t port,
                     uint32_t ttl = 120)
{
    DnsRecord r = record(instance, veltrin::rt::kTypeSrv, ttl);
    r.port = port;
    r.target = host;
    return r;
}

inline DnsRecord a(const DnsName &host, std::array<uint8_t, 4> ip, uint32_t ttl = 120)
{
    DnsRecord r = record(host, veltrin::rt::kTypeA, ttl);
    r.ipv4 = ip;
    return r;
}

inline DnsRecord txt(const DnsName &instance, std::vector<std::string> strings, uint32_t ttl = 120)
{
    DnsRecord r = record(instance, veltrin::rt::kTypeTxt, ttl);
    r.txt = std::move(strings);
    return r;
}

// A UDP socket on port 5353 of lo in the multicast DNS group, sending from 127.0.0.1. With
// `share`, other sockets may have the port too; without, it is kept, as a responder that does
// not share it would keep it. `bound`: whether the port was had.
inline int mdnsSocket(bool share, bool &bound)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    if (share) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(5353);
    bound = bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = inet_addr("224.0.0.251");
    request.imr_address.s_addr = inet_addr("127.0.0.1");
    request.imr_ifindex = 1; // lo
    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
    return fd;
}

// Waits (generously: the machine is shared) until `done(browser)` holds.
template <typename Predicate>
bool waitUntil(veltrin::rt::Browser &browser, Predicate done, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(browser)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        browser.waitForChange(100);
    }
    return true;
}

inline veltrin::rt::DiscoveryConfig machine(const std::string &name)
{
    veltrin::rt::DiscoveryConfig c;
    c.machineName = name;
    return c;
}

} // namespace veltrin::test::dns
