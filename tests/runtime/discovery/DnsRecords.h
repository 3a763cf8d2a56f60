#pragma once
// Test support for discovery: the records of Veltrin's service type as a hand-made responder
// says them, such a responder on port 5353, and waiting for a browser's list.

#include "Discovery.h"
#include "DnsMessage.h"

#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
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

// A UDP socket on port 5353 of lo in the multicast DNS group, sending from 127.0.0.1 and
// speaking by hand. With `share`, other sockets may have the port too; without, it is kept, as
// a responder that does not share it would keep it.
class HandResponder
{
public:
    explicit HandResponder(bool share = true) : m_fd(socket(AF_INET, SOCK_DGRAM, 0))
    {
        const int one = 1;
        if (share) {
            setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            setsockopt(m_fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        }
        const sockaddr_in any = to("0.0.0.0");
        m_bound = bind(m_fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) == 0;
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = inet_addr("224.0.0.251");
        request.imr_address.s_addr = inet_addr("127.0.0.1");
        request.imr_ifindex = 1; // lo
        setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
    }
    ~HandResponder() { close(m_fd); }
    HandResponder(const HandResponder &) = delete;
    HandResponder &operator=(const HandResponder &) = delete;
    bool bound() const { return m_bound; }

    static sockaddr_in to(const char *ip, uint16_t port = 5353)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = inet_addr(ip);
        return address;
    }
    bool sendBytes(const std::vector<uint8_t> &bytes,
                   const sockaddr_in &address = to("224.0.0.251"))
    {
        return sendto(m_fd, bytes.data(), bytes.size(), 0,
                      reinterpret_cast<const sockaddr *>(&address), sizeof address)
               == static_cast<ssize_t>(bytes.size());
    }
    // An authoritative response; to the multicast group unless said otherwise.
    bool send(veltrin::rt::DnsMessage m, const sockaddr_in &address = to("224.0.0.251"))
    {
        m.flags =
            veltrin::rt::DnsMessage::kFlagResponse | veltrin::rt::DnsMessage::kFlagAuthoritative;
        const auto bytes = veltrin::rt::writeDnsMessage(m);
        return bytes && sendBytes(*bytes, address);
    }
    bool send(const std::vector<DnsRecord> &answers)
    {
        veltrin::rt::DnsMessage m;
        m.answers = answers;
        return send(m);
    }
    // The next query within timeoutMs, and where it came from.
    std::optional<veltrin::rt::DnsMessage> nextQuery(int timeoutMs, sockaddr_in &from)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            uint8_t buffer[9000];
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr *>(&from), &length);
            auto m =
                n > 0 ? veltrin::rt::parseDnsMessage(buffer, static_cast<size_t>(n)) : std::nullopt;
            if (m && !m->isResponse())
                return m;
        }
        return std::nullopt;
    }
    // Waits for a query that asks for `name` with `type`.
    bool awaitQuestion(const DnsName &name, uint16_t type, int timeoutMs)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        sockaddr_in from{};
        while (std::chrono::steady_clock::now() < deadline)
            if (const auto m = nextQuery(100, from))
                for (const veltrin::rt::DnsQuestion &q : m->questions)
                    if (veltrin::rt::sameName(q.name, name) && q.type == type)
                        return true;
        return false;
    }

private:
    int m_fd;
    bool m_bound = false;
};

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
