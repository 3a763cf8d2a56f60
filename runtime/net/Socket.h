// The runtime's network library: the one owner of a file descriptor, UDP sockets and IPv4
// address helpers, used by the transport (sender, receiver) and by discovery.
//
// Threads: a Fd is owned by one thread at a time; the functions are plain wrappers around the
// system calls and are used only by network threads, never on the audio path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <utility>

namespace veltrin::rt {

class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd = -1;
};

// A non-blocking UDP socket on every interface, on `port` or (0) one the system picks, which
// is written back. Its datagrams are marked for expedited forwarding (DSCP EF), may be
// fragmented where a hop's MTU is smaller than the route's (rather than dropped), and it has
// large kernel buffers, so a burst of a block's datagrams is not lost on the host.
Fd bindUdp(uint16_t &port);
// "ip:port" (IPv4) to an address; false when it is not one.
bool parseAddress(const std::string &text, sockaddr_in &out);
std::string addressText(const sockaddr_in &address);
// The same IPv4 address and port.
bool sameAddress(const sockaddr_in &a, const sockaddr_in &b);
// The largest UDP payload the route to `to` carries unfragmented (its MTU less the IPv4 and
// UDP headers), as the kernel knows it; 1472 when it cannot tell.
size_t pathPayload(const sockaddr_in &to);

// For the calling network thread that carries audio: real-time scheduling just below a JACK
// client's default priority when the system allows it (otherwise it stays as it is),
// and a fine timer slack so its short sleeps end on time.
void raiseNetworkThreadPriority();

} // namespace veltrin::rt
