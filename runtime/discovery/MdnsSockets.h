#pragma once
// The sockets of the discovery engine: port 5353 shared with the other responders of the
// host, the loopback channel used while another program holds 5353 without sharing it, the
// ephemeral port of direct queries, and the eventfd that wakes the engine's thread. It joins
// the multicast group per interface, sends one message to one place, and reads bursts of
// datagrams with the interface and destination they came by.
//
// Thread: the engine's thread reads and sends; callers of the engine send (goodbyes) and wake
// it. Sends and group changes happen under the engine's lock; wake() may be called anywhere.

#include "DnsMessage.h"
#include "MdnsRecords.h"
#include "Socket.h"

#include <cstdint>
#include <functional>
#include <netinet/in.h>

namespace veltrin::rt {

class MdnsSockets
{
public:
    static constexpr uint16_t kPort = 5353;
    // The loopback channel of the Veltrin processes of one host when port 5353 is held by a
    // program that does not share it: the same messages, to the same group, on loopback only.
    static constexpr uint16_t kLocalPort = 15353;

    // Where a datagram came in: port 5353, the loopback channel, or the ephemeral port that
    // direct queries leave from.
    enum class Channel { Mdns, Local, Direct };

    // Opens every socket; bindError() says why port 5353 could not be had, if it could not.
    MdnsSockets();

    bool listening() const { return m_multicast.valid(); } // port 5353 could be bound
    bool hasLocal() const { return m_local.valid(); }
    const char *bindError() const;

    // 224.0.0.251 on `port`.
    static sockaddr_in group(uint16_t port);
    // Joins or leaves the group on `itf`: port 5353 always, the loopback channel on loopback.
    void join(const MdnsInterface &itf, bool join);
    // Sends `message` from the socket of `channel` to `to`, leaving by `itf` when given (an
    // explicit interface makes multicast work on interfaces without the MULTICAST flag too,
    // loopback included), and counts it as sent or failed.
    void send(const DnsMessage &message, Channel channel, const sockaddr_in &to,
              const MdnsInterface *itf);
    // Port 5353 when the engine has it. Otherwise only the loopback channel: announcements
    // from any other port are ignored by every responder (RFC 6762 section 11).
    void multicast(const DnsMessage &message, const MdnsInterface &itf);
    uint64_t sent() const { return m_sent; }
    uint64_t sendErrors() const { return m_sendErrors; }

    // What poll() found readable.
    struct Ready {
        bool mdns = false, direct = false, local = false;
    };
    // Waits up to timeoutMs for a datagram or a wake-up, and takes the wake-up.
    Ready wait(int timeoutMs);
    void wake();

    // Reads at most `limit` datagrams from `channel`'s socket; `handle` gets each with the
    // sender, the interface index and whether it was sent to the multicast group, or
    // `truncated` when it did not fit.
    using Handler = std::function<void(const uint8_t *data, size_t size, const sockaddr_in &from,
                                       int ifindex, bool toMulticast, bool truncated)>;
    void receive(Channel channel, size_t limit, const Handler &handle);

private:
    int fdOf(Channel channel) const;

    Fd m_multicast; // port 5353; closed when it could not be bound
    Fd m_local;     // the loopback channel, only while port 5353 is held elsewhere
    Fd m_unicast;   // ephemeral port: direct queries and their answers
    Fd m_wake;      // eventfd that interrupts the thread's poll
    int m_bindError = 0;
    uint64_t m_sent = 0;
    uint64_t m_sendErrors = 0;
};

} // namespace veltrin::rt
