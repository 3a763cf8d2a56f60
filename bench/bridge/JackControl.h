// The JACK helper protocol of the bench rig: a control client in a process of its own, asked
// for ports and connections over a socket pair, one request per line.
//
// Threads: used from the caller's thread; the helper is a forked process.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrin::bench {

// A JACK client on one server, never activated, in a helper process of its own: libjack keeps
// one port graph per process, so a process with clients on two servers sees the ports of one
// through both. Requests go over a socket pair and wait for the answer.
class JackControl
{
public:
    // Tries for ten seconds to join `server`.
    JackControl(const std::string &server, const std::string &name);
    ~JackControl();
    JackControl(const JackControl &) = delete;
    JackControl &operator=(const JackControl &) = delete;

    bool ok() const { return m_ok; }
    struct Port {
        std::string name;
        int connections = 0;
    };
    // Ports of `client` in one direction (JackPortIsInput or JackPortIsOutput).
    std::vector<Port> ports(const std::string &client, unsigned long flags);
    bool connect(const std::string &from, const std::string &to);
    // Takes `port` off everything it is connected to.
    void disconnectAll(const std::string &port);

private:
    std::vector<std::string> request(const std::string &line);
    pid_t m_pid = -1;
    int m_socket = -1;
    std::string m_pending; // read past the last answer
    bool m_ok = false;
};

} // namespace veltrin::bench
