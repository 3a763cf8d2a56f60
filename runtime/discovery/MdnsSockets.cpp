#include "MdnsSockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrin::rt {
namespace {

constexpr uint32_t kGroupAddress = 0xE00000FB; // 224.0.0.251, host order
constexpr size_t kMaxDatagram = 9000;

void setInt(int fd, int level, int option, int value)
{
    setsockopt(fd, level, option, &value, sizeof value);
}

// A UDP socket on `port` of every address, shared with the other sockets on it, that reports
// the interface and destination of what it receives. Invalid when the port cannot be had.
Fd sharedMulticastSocket(uint16_t port, int &bindError)
{
    Fd socketFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socketFd.valid()) {
        bindError = errno;
        return socketFd;
    }
    const int fd = socketFd.get();
    // Other responders on the host (avahi-daemon, other Veltrin processes) bind the same
    // port; every one of them gets each multicast datagram.
    setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    setInt(fd, SOL_SOCKET, SO_REUSEPORT, 1);
    setInt(fd, IPPROTO_IP, IP_PKTINFO, 1);
    setInt(fd, IPPROTO_IP, IP_MULTICAST_TTL, 255);
    setInt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 1);
    // Only the groups joined here, on the interfaces joined here: Linux otherwise hands
    // a wildcard socket every group that any socket of the host joined.
    setInt(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    setInt(fd, SOL_SOCKET, SO_RCVBUF, 1 << 20); // bursts of answers; the kernel caps it
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        bindError = errno;
        return Fd();
    }
    return socketFd;
}

void joinGroup(int fd, const MdnsInterface &itf, bool join)
{
    if (fd < 0)
        return;
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = htonl(kGroupAddress);
    if (join && !itf.addresses.empty())
        request.imr_address = itf.addresses.front();
    request.imr_ifindex = itf.index;
    setsockopt(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
               sizeof request);
}

} // namespace

MdnsSockets::MdnsSockets()
{
    m_multicast = sharedMulticastSocket(kPort, m_bindError);
    if (!m_multicast.valid()) {
        int localError = 0;
        m_local = sharedMulticastSocket(kLocalPort, localError);
    }
    m_unicast = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (m_unicast.valid()) {
        setInt(m_unicast.get(), IPPROTO_IP, IP_PKTINFO, 1);
        setInt(m_unicast.get(), IPPROTO_IP, IP_MULTICAST_LOOP, 1);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        bind(m_unicast.get(), reinterpret_cast<const sockaddr *>(&any), sizeof any);
    }
    m_wake = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

const char *MdnsSockets::bindError() const
{
    return std::strerror(m_bindError);
}

sockaddr_in MdnsSockets::group(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(kGroupAddress);
    return address;
}

void MdnsSockets::join(const MdnsInterface &itf, bool join)
{
    joinGroup(m_multicast.get(), itf, join);
    if (itf.loopback)
        joinGroup(m_local.get(), itf, join);
}

int MdnsSockets::fdOf(Channel channel) const
{
    switch (channel) {
    case Channel::Mdns:
        return m_multicast.get();
    case Channel::Local:
        return m_local.get();
    case Channel::Direct:
        return m_unicast.get();
    }
    return -1;
}

void MdnsSockets::send(const DnsMessage &message, Channel channel, const sockaddr_in &to,
                       const MdnsInterface *itf)
{
    const int fd = fdOf(channel);
    const auto bytes = writeDnsMessage(message);
    if (!bytes || fd < 0)
        return;
    if (itf) {
        ip_mreqn request{};
        request.imr_multiaddr = to.sin_addr;
        if (!itf->addresses.empty())
            request.imr_address = itf->addresses.front();
        request.imr_ifindex = itf->index;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
    }
    const ssize_t sent = sendto(fd, bytes->data(), bytes->size(), 0,
                                reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (sent == static_cast<ssize_t>(bytes->size()))
        ++m_sent;
    else
        ++m_sendErrors;
}

void MdnsSockets::multicast(const DnsMessage &message, const MdnsInterface &itf)
{
    if (listening())
        send(message, Channel::Mdns, group(kPort), &itf);
    else if (itf.loopback && hasLocal())
        send(message, Channel::Local, group(kLocalPort), &itf);
}

MdnsSockets::Ready MdnsSockets::wait(int timeoutMs)
{
    pollfd fds[4] = {{m_multicast.get(), POLLIN, 0},
                     {m_unicast.get(), POLLIN, 0},
                     {m_wake.get(), POLLIN, 0},
                     {m_local.get(), POLLIN, 0}};
    Ready ready;
    if (poll(fds, 4, timeoutMs) <= 0)
        return ready;
    if (fds[2].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] const auto n = read(m_wake.get(), &count, sizeof count);
    }
    ready.mdns = fds[0].revents & POLLIN;
    ready.direct = fds[1].revents & POLLIN;
    ready.local = fds[3].revents & POLLIN;
    return ready;
}

void MdnsSockets::wake()
{
    if (!m_wake.valid())
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = write(m_wake.get(), &one, sizeof one);
}

void MdnsSockets::receive(Channel channel, size_t limit, const Handler &handle)
{
    const int fd = fdOf(channel);
    uint8_t buffer[kMaxDatagram];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    for (size_t n = 0; n < limit; ++n) {
        sockaddr_in from{};
        iovec iov{buffer, sizeof buffer};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t size = recvmsg(fd, &msg, 0);
        if (size < 0)
            break;
        int ifindex = 0;
        bool toMulticast = false;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                ifindex = info.ipi_ifindex;
                toMulticast = IN_MULTICAST(ntohl(info.ipi_addr.s_addr));
            }
        }
        handle(buffer, static_cast<size_t>(size), from, ifindex, toMulticast,
               (msg.msg_flags & MSG_TRUNC) != 0);
    }
}

} // namespace veltrin::rt
