#include "Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrin::rt {

void Fd::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

Fd bindUdp(uint16_t &port)
{
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return {};
    // 4 MiB each way, as far as the system's limits allow (the kernel doubles the value);
    // with the right to it, beyond them.
    const int buffer = 4 << 20;
    for (int option : {SO_SNDBUF, SO_RCVBUF})
        ::setsockopt(fd.get(), SOL_SOCKET, option, &buffer, sizeof buffer);
    for (int option : {SO_SNDBUFFORCE, SO_RCVBUFFORCE})
        ::setsockopt(fd.get(), SOL_SOCKET, option, &buffer, sizeof buffer);
    const int expedited = 0xb8; // DSCP 46 (EF), as audio over IP uses
    ::setsockopt(fd.get(), IPPROTO_IP, IP_TOS, &expedited, sizeof expedited);
    const int fragment = IP_PMTUDISC_DONT;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_MTU_DISCOVER, &fragment, sizeof fragment);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return {};
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

bool parseAddress(const std::string &text, sockaddr_in &out)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr.sin_addr) != 1)
        return false;
    char *end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (end == text.c_str() + colon + 1 || *end != '\0' || port <= 0 || port > 65535)
        return false;
    addr.sin_port = htons(uint16_t(port));
    out = addr;
    return true;
}

std::string addressText(const sockaddr_in &address)
{
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
}

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

size_t pathPayload(const sockaddr_in &to)
{
    constexpr size_t kHeaders = 28; // IPv4 and UDP
    Fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int mtu = 0;
    socklen_t len = sizeof mtu;
    if (!probe.valid()
        || ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0
        || ::getsockopt(probe.get(), IPPROTO_IP, IP_MTU, &mtu, &len) != 0 || mtu <= int(kHeaders))
        return 1500 - kHeaders;
    return std::min<size_t>(size_t(mtu) - kHeaders, 65507);
}

void raiseNetworkThreadPriority()
{
    // A JACK server runs its own thread at 10 and its clients' audio threads at 5 by default:
    // below those, so that network work never delays a device, and above every ordinary
    // thread, so that a busy desktop never delays audio on its way. Refused without the right
    // to it, and then the thread stays as it is.
    sched_param param{};
    param.sched_priority = 3;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    prctl(PR_SET_TIMERSLACK, 10'000UL, 0, 0, 0); // 10 us
}

} // namespace veltrin::rt
