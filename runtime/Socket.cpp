#include "Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

void setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

Fd listenTcp(uint16_t &port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return {};
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(fd.get(), 512) != 0)
        return {};
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

Fd connectTcp(const std::string &address, int timeoutMs)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos)
        return {};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.substr(0, colon).c_str(), &addr.sin_addr) != 1)
        return {};
    char *end = nullptr;
    const long port = std::strtol(address.c_str() + colon + 1, &end, 10);
    if (end == address.c_str() + colon + 1 || *end != '\0' || port <= 0 || port > 65535)
        return {};
    addr.sin_port = htons(uint16_t(port));
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return {};
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS)
            return {};
        pollfd p{fd.get(), POLLOUT, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return {};
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0)
            return {};
    }
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::string peerName(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return "?";
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
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
