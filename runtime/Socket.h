// Small RAII helpers for the runtime's TCP sockets.
//
// Threads: a Fd is owned by one thread at a time; the functions are plain wrappers around the
// system calls and are used only by network threads, never on the audio path.
#pragma once

#include <cstdint>
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

// A non-blocking listening socket on every interface, on a port the system picks.
Fd listenTcp(uint16_t &port);
// Connects to "ip:port" within timeoutMs; an invalid Fd on failure.
Fd connectTcp(const std::string &address, int timeoutMs);
void setNonBlocking(int fd);
// "ip:port" of the socket's peer, for messages.
std::string peerName(int fd);

// For the calling network thread that carries audio: real-time scheduling just below a JACK
// client's default priority when the system allows it (otherwise it stays as it is),
// and a fine timer slack so its short sleeps end on time.
void raiseNetworkThreadPriority();

} // namespace veltrin::rt
