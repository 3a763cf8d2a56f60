#include "Sender.h"

#include "ShardPacker.h"
#include "SubscriberRegistry.h"
#include "WireFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <vector>

namespace veltrin::rt {

namespace {

using Clock = std::chrono::steady_clock;

// 4 MiB holds more than 2 s of stereo at 192 kHz, and the largest frame twice over.
constexpr size_t kRingBytes = size_t(1) << 22;
// With no audio to send, subscribers hear this often that the sender is alive.
constexpr auto kIdleEvery = std::chrono::milliseconds(100);
// The network thread wakes this long after a block is due (one wake-up per block, as a
// device's blocks come on time within a few microseconds), then looks again this often.
constexpr auto kWakeAfterDue = std::chrono::microseconds(30);
constexpr auto kFinePoll = std::chrono::microseconds(100);
// sendmmsg() takes at most this many messages per call (UIO_MAXIOV).
constexpr size_t kMaxMessages = 1024;
constexpr int kRequestBatch = 16;

int64_t steadyNanoseconds()
{
    // vDSO: no system call.
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

uint64_t randomWord()
{
    uint64_t value = 0;
    while (getrandom(&value, sizeof value, 0) != sizeof value || value == 0) {
    }
    return value;
}

} // namespace

// The network thread's state: the requests read and the messages of the block being sent, with
// the parts that decide who gets what.
class Sender::Network
{
public:
    explicit Network(Sender &owner, const uint64_t key[2])
        : m_owner(owner), m_stream(randomWord()), m_registry(key), m_packer(m_stream)
    {
        m_requests.resize(kRequestBatch);
        m_requestFrom.resize(kRequestBatch);
        m_requestVec.resize(kRequestBatch);
        m_requestBytes.resize(size_t(kRequestBatch) * 64);
    }

    void run();

private:
    void answerRequests(Clock::time_point now);
    void answer(const wire::Subscribe &request, const sockaddr_in &from,
                SubscriberRegistry::Clock::time_point now);
    void sendBlock(const BlockRecord &block, const float *planar);
    void sendSmall(wire::Kind kind);
    void sendTo(const sockaddr_in &to, const uint8_t *bytes, size_t size);
    // Sends m_messages; a subscriber whose first failing datagram says the network cannot reach
    // it is skipped for the rest of the block.
    void flush();

    Sender &m_owner;
    const uint64_t m_stream;
    uint64_t m_block = 0;
    SubscriberRegistry m_registry;
    ShardPacker m_packer;
    std::vector<mmsghdr> m_messages;
    std::vector<iovec> m_vectors;
    std::vector<size_t> m_firstOfSubscriber; // index into m_messages
    std::vector<mmsghdr> m_requests;
    std::vector<sockaddr_in> m_requestFrom;
    std::vector<iovec> m_requestVec;
    std::vector<uint8_t> m_requestBytes;
};

Sender::Sender(bool clockAudio) : m_clockAudio(clockAudio), m_ring(kRingBytes)
{
    m_socket = bindUdp(m_port);
    if (m_socket.valid())
        m_thread = std::thread([this] {
            const uint64_t key[2] = {randomWord(), randomWord()};
            Network network(*this, key);
            network.run();
        });
}

Sender::~Sender()
{
    m_running.store(false, std::memory_order_relaxed);
    if (m_thread.joinable())
        m_thread.join();
}

void Sender::pace(int samples, int rate) noexcept
{
    const double wait = m_pacer.wait(double(steadyNanoseconds()) * 1e-9, samples, rate);
    if (wait > 0) {
        m_pacedCalls.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
}

void Sender::sendAudio(const NDIlib_audio_frame_v2_t &frame) noexcept
{
    const int channels = frame.no_channels;
    const int samples = frame.no_samples;
    if (frame.p_data == nullptr || channels < 1 || channels > wire::kMaxChannels || samples < 1
        || samples > wire::kMaxSamples || frame.sample_rate < wire::kMinRate
        || frame.sample_rate > wire::kMaxRate) {
        m_framesDropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const int stride = frame.channel_stride_in_bytes > 0
                           ? frame.channel_stride_in_bytes / int(sizeof(float))
                           : samples;
    BlockRecord record;
    record.sampleRate = frame.sample_rate;
    record.channels = channels;
    record.samples = samples;
    record.timecode = frame.timecode == NDIlib_send_timecode_synthesize
                          ? m_samplesSent * 10'000'000 / frame.sample_rate
                          : frame.timecode;
    record.handOff = steadyNanoseconds();
    const size_t payload = size_t(channels) * size_t(samples) * sizeof(float);
    uint8_t *out = m_ring.reserve(sizeof record + payload);
    if (out == nullptr) {
        m_framesDropped.fetch_add(1, std::memory_order_relaxed);
    } else {
        std::memcpy(out, &record, sizeof record);
        out += sizeof record;
        for (int c = 0; c < channels; ++c)
            std::memcpy(out + size_t(c) * size_t(samples) * sizeof(float),
                        frame.p_data + size_t(c) * size_t(stride), size_t(samples) * sizeof(float));
        m_ring.commit();
        m_framesSent.fetch_add(1, std::memory_order_relaxed);
    }
    m_samplesSent += samples;
    if (m_clockAudio)
        pace(samples, frame.sample_rate);
}

SenderStats Sender::stats() const
{
    SenderStats s;
    s.framesSent = m_framesSent.load(std::memory_order_relaxed);
    s.framesDropped = m_framesDropped.load(std::memory_order_relaxed);
    s.clientsAccepted = m_clientsAccepted.load(std::memory_order_relaxed);
    s.clientsDropped = m_clientsDropped.load(std::memory_order_relaxed);
    s.datagramsSent = m_datagramsSent.load(std::memory_order_relaxed);
    s.bytesSent = m_bytesSent.load(std::memory_order_relaxed);
    s.sendErrors = m_sendErrors.load(std::memory_order_relaxed);
    s.badRequests = m_badRequests.load(std::memory_order_relaxed);
    s.pacedCalls = m_pacedCalls.load(std::memory_order_relaxed);
    s.clients = m_clients.load(std::memory_order_relaxed);
    return s;
}

void Sender::Network::run()
{
    raiseNetworkThreadPriority();
    const int fd = m_owner.m_socket.get();
    auto lastSent = Clock::now();
    // When the caller's next block is due, from the latest one's hand-off time and length.
    std::optional<Clock::time_point> nextDue;
    while (m_owner.m_running.load(std::memory_order_relaxed)) {
        // The ring is polled: its producer is a real-time thread that must not make the system
        // call a wake-up would need. The thread sleeps until just after the next block is due
        // and then looks every 100 us, so a block waits some 30 us; with no stream (or one that
        // stopped) it looks every millisecond.
        auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(1));
        if (nextDue) {
            const auto untilDue = *nextDue - Clock::now();
            if (untilDue > -std::chrono::milliseconds(5))
                wait = std::max<Clock::duration>(untilDue + kWakeAfterDue, kFinePoll);
        }
        const timespec timeout{0, long(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::min<Clock::duration>(wait, std::chrono::seconds(1)))
                                           .count())};
        pollfd p{fd, POLLIN, 0};
        if (::ppoll(&p, 1, &timeout, nullptr) > 0)
            answerRequests(Clock::now());

        size_t size = 0;
        while (const uint8_t *record = m_owner.m_ring.peek(size)) {
            BlockRecord block;
            std::memcpy(&block, record, sizeof block);
            sendBlock(block, reinterpret_cast<const float *>(record + sizeof block));
            m_owner.m_ring.release(size);
            // The next block follows this one's length after its hand-off.
            nextDue = Clock::time_point(std::chrono::nanoseconds(block.handOff))
                      + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(double(block.samples) / block.sampleRate));
            lastSent = Clock::now();
        }

        const auto now = Clock::now();
        if (now - lastSent > kIdleEvery) {
            sendSmall(wire::Kind::Idle);
            lastSent = now;
        }
        m_owner.m_clientsDropped.fetch_add(uint64_t(m_registry.expire(now)),
                                           std::memory_order_relaxed);
        m_owner.m_clients.store(int(m_registry.subscribers().size()), std::memory_order_relaxed);
    }
    // Receivers go looking for a new sender at once instead of waiting for silence to tell.
    sendSmall(wire::Kind::End);
}

void Sender::Network::answerRequests(Clock::time_point now)
{
    const int fd = m_owner.m_socket.get();
    for (;;) {
        for (int i = 0; i < kRequestBatch; ++i) {
            m_requestVec[size_t(i)] = {m_requestBytes.data() + size_t(i) * 64, 64};
            msghdr &h = m_requests[size_t(i)].msg_hdr;
            h = msghdr{};
            h.msg_name = &m_requestFrom[size_t(i)];
            h.msg_namelen = sizeof(sockaddr_in);
            h.msg_iov = &m_requestVec[size_t(i)];
            h.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(fd, m_requests.data(), kRequestBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0)
            return;
        for (int i = 0; i < got; ++i) {
            const mmsghdr &m = m_requests[size_t(i)];
            const sockaddr_in &from = m_requestFrom[size_t(i)];
            wire::Subscribe request;
            if ((m.msg_hdr.msg_flags & MSG_TRUNC) || m.msg_hdr.msg_namelen != sizeof(sockaddr_in)
                || wire::decodeSubscribe(m_requestBytes.data() + size_t(i) * 64, m.msg_len, request)
                       != wire::Error::None) {
                m_owner.m_badRequests.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            answer(request, from, now);
        }
        m_owner.m_clients.store(int(m_registry.subscribers().size()), std::memory_order_relaxed);
        if (got < kRequestBatch)
            return;
    }
}

void Sender::Network::answer(const wire::Subscribe &request, const sockaddr_in &from,
                             SubscriberRegistry::Clock::time_point now)
{
    using Answer = SubscriberRegistry::Answer;
    switch (m_registry.handle(request, from, now)) {
    case Answer::Challenge: {
        wire::Challenge challenge;
        challenge.common.kind = wire::Kind::Challenge;
        challenge.common.stream = m_stream;
        challenge.cookie = m_registry.cookieFor(from);
        uint8_t bytes[wire::kChallengeSize];
        sendTo(from, bytes, wire::encodeChallenge(challenge, bytes));
        break;
    }
    case Answer::Bad:
        m_owner.m_badRequests.fetch_add(1, std::memory_order_relaxed);
        break;
    case Answer::Admitted:
        m_owner.m_clientsAccepted.fetch_add(1, std::memory_order_relaxed);
        break;
    case Answer::Refused:
    case Answer::Left:
        m_owner.m_clientsDropped.fetch_add(1, std::memory_order_relaxed);
        break;
    case Answer::Refreshed:
    case Answer::Ignored:
        break;
    }
}

void Sender::Network::sendBlock(const BlockRecord &block, const float *planar)
{
    const uint64_t number = m_block++;
    m_messages.clear();
    m_vectors.clear();
    m_firstOfSubscriber.clear();
    // Cut once per datagram size in use (usually one), then address it to each subscriber.
    m_packer.begin(block, planar, number);
    for (const SubscriberRegistry::Subscriber &s : m_registry.subscribers()) {
        ShardPacker::Cut &cut = m_packer.cut(s.datagram);
        m_firstOfSubscriber.push_back(m_messages.size());
        for (int i = 0; i < cut.layout.totalShards(); ++i) {
            m_vectors.push_back({cut.at(i), cut.size(i)});
            mmsghdr m{};
            m.msg_hdr.msg_name = const_cast<sockaddr_in *>(&s.address);
            m.msg_hdr.msg_namelen = sizeof s.address;
            m.msg_hdr.msg_iovlen = 1;
            m_messages.push_back(m);
        }
    }
    m_packer.end();
    for (size_t i = 0; i < m_messages.size(); ++i)
        m_messages[i].msg_hdr.msg_iov = &m_vectors[i];
    flush();
}

void Sender::Network::flush()
{
    const int fd = m_owner.m_socket.get();
    size_t at = 0;
    size_t subscriber = 0;
    uint64_t sent = 0, failed = 0, bytes = 0;
    while (at < m_messages.size()) {
        const unsigned count = unsigned(std::min(kMaxMessages, m_messages.size() - at));
        const int done = ::sendmmsg(fd, m_messages.data() + at, count, MSG_DONTWAIT);
        if (done > 0) {
            for (int i = 0; i < done; ++i)
                bytes += m_messages[at + size_t(i)].msg_len;
            at += size_t(done);
            sent += uint64_t(done);
            continue;
        }
        // Message `at` failed. When the network cannot reach its subscriber, the rest of that
        // subscriber's datagrams would fail one system call each: skip them.
        while (subscriber + 1 < m_firstOfSubscriber.size()
               && m_firstOfSubscriber[subscriber + 1] <= at)
            ++subscriber;
        const bool unreachable = errno == ENETUNREACH || errno == EHOSTUNREACH || errno == ENETDOWN
                                 || errno == EADDRNOTAVAIL || errno == EINVAL;
        const size_t next = unreachable && subscriber + 1 < m_firstOfSubscriber.size()
                                ? m_firstOfSubscriber[subscriber + 1]
                            : unreachable ? m_messages.size()
                                          : at + 1;
        failed += uint64_t(next - at);
        at = next;
    }
    m_owner.m_datagramsSent.fetch_add(sent, std::memory_order_relaxed);
    m_owner.m_bytesSent.fetch_add(bytes, std::memory_order_relaxed);
    m_owner.m_sendErrors.fetch_add(failed, std::memory_order_relaxed);
}

void Sender::Network::sendSmall(wire::Kind kind)
{
    wire::Common common;
    common.kind = kind;
    common.stream = m_stream;
    uint8_t bytes[wire::kCommonSize];
    wire::encodeCommon(common, bytes);
    for (const SubscriberRegistry::Subscriber &s : m_registry.subscribers())
        sendTo(s.address, bytes, sizeof bytes);
}

void Sender::Network::sendTo(const sockaddr_in &to, const uint8_t *bytes, size_t size)
{
    const ssize_t sent = ::sendto(m_owner.m_socket.get(), bytes, size, MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (sent < 0)
        m_owner.m_sendErrors.fetch_add(1, std::memory_order_relaxed);
}

} // namespace veltrin::rt
