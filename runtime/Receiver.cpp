#include "Receiver.h"

#include "BlockAssembler.h"
#include "Discovery.h"
#include "FrameSync.h"
#include "Socket.h"
#include "WireFormat.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace veltrin::rt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBatch = 32;

double seconds(Clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

// The network thread's state.
class Receiver::Network
{
public:
    Network(Receiver &owner, int wake) : m_owner(owner), m_wake(wake)
    {
        uint16_t port = 0;
        m_socket = bindUdp(port);
        m_buffers.resize(size_t(kBatch) * wire::kMaxDatagram);
        m_messages.resize(kBatch);
        m_vectors.resize(kBatch);
        m_from.resize(kBatch);
        if (!m_owner.m_url.empty())
            m_haveTarget = parseAddress(m_owner.m_url, m_target);
        if (m_haveTarget)
            m_datagram = datagramFor(m_target);
    }
    ~Network()
    {
        // Polite: the sender stops sending at once instead of when the subscription expires.
        if (m_haveTarget && m_cookie != 0)
            sendRequest(wire::Kind::Leave);
    }

    void run();

private:
    bool quiet(double now) const { return m_ended || now - m_lastHeard > seconds(kQuietLimit); }
    static uint32_t datagramFor(const sockaddr_in &to)
    {
        return uint32_t(std::clamp(pathPayload(to), wire::kMinDatagram, wire::kMaxDatagram));
    }
    void setTarget(const sockaddr_in &to);
    void lookUp();
    void sendRequest(wire::Kind kind);
    void receive(double now);
    void handle(const uint8_t *bytes, size_t size, const sockaddr_in &from, double now);
    void heard(double now);
    void push(const float *planar, int channels, int samples, int rate);
    void publish();

    Receiver &m_owner;
    const int m_wake;
    Fd m_socket;
    std::unique_ptr<Browser> m_browser;
    bool m_haveTarget = false;
    sockaddr_in m_target{};
    uint32_t m_datagram = uint32_t(wire::kMinDatagram);
    uint64_t m_stream = 0; // from the sender's challenge; 0 until then
    uint64_t m_cookie = 0;
    bool m_ended = false;
    double m_lastHeard = -1e9, m_lastRequest = -1e9, m_lastLookUp = -1e9;
    BlockAssembler m_assembler;
    std::vector<uint8_t> m_buffers;
    std::vector<mmsghdr> m_messages;
    std::vector<iovec> m_vectors;
    std::vector<sockaddr_in> m_from;
};

Receiver::Receiver(std::string sourceName, std::string urlAddress)
    : m_name(std::move(sourceName)), m_url(std::move(urlAddress)),
      m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    m_thread = std::thread([this] {
        Network network(*this, m_wake.get());
        network.run();
    });
}

Receiver::~Receiver()
{
    m_stopping.store(true, std::memory_order_relaxed);
    if (m_wake.valid()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake.get(), &one, sizeof one);
    }
    if (m_thread.joinable())
        m_thread.join();
}

void Receiver::attach(FrameSync *sink)
{
    std::lock_guard lock(m_sinkMutex);
    m_sink = sink;
}

void Receiver::detach(FrameSync *sink)
{
    std::lock_guard lock(m_sinkMutex);
    if (m_sink == sink)
        m_sink = nullptr;
}

ReceiverStats Receiver::stats() const
{
    ReceiverStats s;
    s.connections = m_connections.load(std::memory_order_relaxed);
    s.badPeers = m_badPeers.load(std::memory_order_relaxed);
    s.foreign = m_foreign.load(std::memory_order_relaxed);
    s.datagramsReceived = m_datagrams.load(std::memory_order_relaxed);
    s.framesReceived = m_frames.load(std::memory_order_relaxed);
    s.repairedShards = m_repaired.load(std::memory_order_relaxed);
    s.concealedShards = m_concealedShards.load(std::memory_order_relaxed);
    s.concealedBlocks = m_concealedBlocks.load(std::memory_order_relaxed);
    s.skippedBlocks = m_skipped.load(std::memory_order_relaxed);
    s.lateShards = m_late.load(std::memory_order_relaxed);
    s.duplicateShards = m_duplicates.load(std::memory_order_relaxed);
    s.bufferBytes = m_bufferBytes.load(std::memory_order_relaxed);
    s.connected = m_connected.load(std::memory_order_relaxed);
    return s;
}

void Receiver::Network::run()
{
    raiseNetworkThreadPriority();
    auto deliver = [this](const float *planar, int channels, int samples, int rate) {
        push(planar, channels, samples, rate);
    };
    while (!m_owner.m_stopping.load(std::memory_order_relaxed)) {
        double now = seconds(Clock::now());
        const bool silent = quiet(now);
        const double retry = seconds(kRetryEvery);
        if (m_owner.m_url.empty() && !m_owner.m_name.empty() && (!m_haveTarget || silent)
            && now - m_lastLookUp >= retry) {
            m_lastLookUp = now;
            lookUp();
        }
        const double every = silent ? retry : seconds(kRefreshEvery);
        if (m_haveTarget && now - m_lastRequest >= every) {
            m_lastRequest = now;
            sendRequest(wire::Kind::Subscribe);
        }

        // Sleep until a datagram comes, the next block is due, or the next request or look-up.
        double until = std::min(now + retry, m_assembler.nextDeadline());
        if (m_haveTarget)
            until = std::min(until, m_lastRequest + every);
        const double wait = std::clamp(until - now, 0.0, retry);
        const timespec timeout{0, long(wait * 1e9)};
        pollfd p[2] = {{m_socket.get(), POLLIN, 0}, {m_wake, POLLIN, 0}};
        const int ready = ::ppoll(p, m_wake >= 0 ? 2 : 1, &timeout, nullptr);
        now = seconds(Clock::now());
        if (ready > 0 && (p[0].revents & POLLIN))
            receive(now);
        m_assembler.poll(now, deliver);
        publish();
    }
}

void Receiver::Network::setTarget(const sockaddr_in &to)
{
    m_target = to;
    m_haveTarget = true;
    m_datagram = datagramFor(to);
}

void Receiver::Network::lookUp()
{
    if (!m_browser) {
        try {
            m_browser = std::make_unique<Browser>(DiscoveryConfig::load());
        } catch (...) {
            // Discovery unavailable: keep trying, the network may come up later.
            return;
        }
    }
    const auto found = m_browser->find(m_owner.m_name);
    sockaddr_in address{};
    if (!found || !parseAddress(found->address, address))
        return; // not (or no longer) announced: keep trying the address last known
    if (m_haveTarget && sameAddress(address, m_target))
        return;
    // Another sender of that name: it will challenge us with its own stream.
    setTarget(address);
    m_cookie = 0;
    m_lastRequest = -1e9;
}

void Receiver::Network::sendRequest(wire::Kind kind)
{
    wire::Subscribe request;
    request.common.kind = kind;
    request.common.stream = m_stream;
    request.cookie = m_cookie;
    request.maxDatagram = m_datagram;
    uint8_t bytes[wire::kSubscribeSize];
    const size_t size = wire::encodeSubscribe(request, bytes);
    // Fails while the network is down; the next try comes soon enough.
    ::sendto(m_socket.get(), bytes, size, MSG_DONTWAIT,
             reinterpret_cast<const sockaddr *>(&m_target), sizeof m_target);
}

void Receiver::Network::receive(double now)
{
    for (;;) {
        for (int i = 0; i < kBatch; ++i) {
            m_vectors[size_t(i)] = {m_buffers.data() + size_t(i) * wire::kMaxDatagram,
                                    wire::kMaxDatagram};
            msghdr &h = m_messages[size_t(i)].msg_hdr;
            h = msghdr{};
            h.msg_name = &m_from[size_t(i)];
            h.msg_namelen = sizeof(sockaddr_in);
            h.msg_iov = &m_vectors[size_t(i)];
            h.msg_iovlen = 1;
        }
        const int got =
            ::recvmmsg(m_socket.get(), m_messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0)
            return;
        for (int i = 0; i < got; ++i) {
            const msghdr &h = m_messages[size_t(i)].msg_hdr;
            if ((h.msg_flags & MSG_TRUNC) || h.msg_namelen != sizeof(sockaddr_in)) {
                m_owner.m_badPeers.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            handle(m_buffers.data() + size_t(i) * wire::kMaxDatagram, m_messages[size_t(i)].msg_len,
                   m_from[size_t(i)], now);
        }
        if (got < kBatch)
            return;
    }
}

DatagramVerdict judgeDatagram(const uint8_t *bytes, size_t size, const sockaddr_in &from,
                              const sockaddr_in *target, uint64_t stream,
                              wire::Challenge &challenge, wire::Shard &shard)
{
    wire::Common common;
    if (wire::decodeCommon(bytes, size, common) != wire::Error::None)
        return DatagramVerdict::Bad;
    switch (common.kind) {
    case wire::Kind::Challenge:
        if (wire::decodeChallenge(bytes, size, challenge) != wire::Error::None)
            return DatagramVerdict::Bad;
        // Only the sender we asked answers; anyone else's challenge is noise.
        if (target == nullptr || !sameAddress(from, *target))
            return DatagramVerdict::Foreign;
        return DatagramVerdict::Challenge;
    case wire::Kind::Data:
    case wire::Kind::Parity:
        if (stream == 0 || target == nullptr || common.stream != stream)
            return DatagramVerdict::Foreign;
        if (wire::decodeShard(bytes, size, shard) != wire::Error::None)
            return DatagramVerdict::Bad;
        // Our stream from another address: the sender's host changed its address.
        if (!sameAddress(from, *target))
            return DatagramVerdict::Moved;
        return DatagramVerdict::Audio;
    case wire::Kind::Idle:
    case wire::Kind::End:
        if (stream == 0 || common.stream != stream)
            return DatagramVerdict::Foreign;
        return common.kind == wire::Kind::Idle ? DatagramVerdict::Idle : DatagramVerdict::End;
    default:
        // Requests are for senders.
        return DatagramVerdict::Bad;
    }
}

void Receiver::Network::handle(const uint8_t *bytes, size_t size, const sockaddr_in &from,
                               double now)
{
    wire::Challenge challenge;
    wire::Shard shard;
    switch (judgeDatagram(bytes, size, from, m_haveTarget ? &m_target : nullptr, m_stream,
                          challenge, shard)) {
    case DatagramVerdict::Bad:
        m_owner.m_badPeers.fetch_add(1, std::memory_order_relaxed);
        return;
    case DatagramVerdict::Foreign:
        m_owner.m_foreign.fetch_add(1, std::memory_order_relaxed);
        return;
    case DatagramVerdict::Challenge:
        m_cookie = challenge.cookie;
        m_stream = challenge.common.stream;
        m_ended = false;
        m_lastRequest = now;
        sendRequest(wire::Kind::Subscribe);
        return;
    case DatagramVerdict::Moved:
        setTarget(from);
        [[fallthrough]];
    case DatagramVerdict::Audio:
        heard(now);
        m_owner.m_datagrams.fetch_add(1, std::memory_order_relaxed);
        m_assembler.offer(shard, bytes + wire::kShardHeaderSize, now,
                          [this](const float *planar, int channels, int samples, int rate) {
                              push(planar, channels, samples, rate);
                          });
        return;
    case DatagramVerdict::Idle:
        heard(now);
        return;
    case DatagramVerdict::End:
        m_ended = true;
        m_lastLookUp = -1e9;
        m_lastRequest = -1e9;
        return;
    }
}

void Receiver::Network::heard(double now)
{
    if (quiet(now))
        m_owner.m_connections.fetch_add(1, std::memory_order_relaxed);
    m_ended = false;
    m_lastHeard = now;
}

void Receiver::Network::push(const float *planar, int channels, int samples, int rate)
{
    m_owner.m_frames.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(m_owner.m_sinkMutex);
    if (m_owner.m_sink != nullptr)
        m_owner.m_sink->push(planar, samples, channels, samples, rate);
}

void Receiver::Network::publish()
{
    const AssemblerStats a = m_assembler.stats();
    m_owner.m_repaired.store(a.repairedShards, std::memory_order_relaxed);
    m_owner.m_concealedShards.store(a.concealedShards, std::memory_order_relaxed);
    m_owner.m_concealedBlocks.store(a.concealedBlocks, std::memory_order_relaxed);
    m_owner.m_skipped.store(a.skippedBlocks, std::memory_order_relaxed);
    m_owner.m_late.store(a.lateShards, std::memory_order_relaxed);
    m_owner.m_duplicates.store(a.duplicateShards, std::memory_order_relaxed);
    m_owner.m_bufferBytes.store(a.bufferBytes, std::memory_order_relaxed);
    m_owner.m_connected.store(!quiet(seconds(Clock::now())), std::memory_order_relaxed);
}

} // namespace veltrin::rt
