#include "Sender.h"

#include "WireFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace veltrin::rt {

namespace {

using Clock = std::chrono::steady_clock;
using Message = std::shared_ptr<const std::vector<uint8_t>>;

// 4 MiB holds more than 2 s of stereo at 192 kHz, and the largest frame twice over.
constexpr size_t kRingBytes = size_t(1) << 22;
// A caller this much faster than the audio rate is paced; real devices are within 0.1 %.
constexpr double kPaceTolerance = 1.005;
constexpr auto kKeepAliveEvery = std::chrono::milliseconds(500);
constexpr int kSendBuffer = 512 * 1024;
// The network thread wakes this long after a block is due (one wake-up per block, as a
// device's blocks come on time within a few microseconds), then looks again this often.
constexpr auto kWakeAfterDue = std::chrono::microseconds(30);
constexpr auto kFinePoll = std::chrono::microseconds(100);

double seconds(Clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

int64_t wallClock100ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts); // vDSO: no system call
    return int64_t(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100;
}

struct Client {
    Fd fd;
    std::deque<Message> queue;
    size_t offset = 0; // into queue.front()
    size_t queuedBytes = 0;
    Clock::time_point fullSince{};
    bool full = false;
};

} // namespace

Sender::Sender(bool clockAudio) : m_clockAudio(clockAudio), m_ring(kRingBytes)
{
    m_listen = listenTcp(m_port);
    if (m_listen.valid())
        m_thread = std::thread([this] { run(); });
}

Sender::~Sender()
{
    m_running.store(false, std::memory_order_relaxed);
    if (m_thread.joinable())
        m_thread.join();
}

void Sender::pace(int samples, int rate) noexcept
{
    const double now = seconds(Clock::now()); // vDSO: no system call
    const double block = double(samples) / rate;
    // A caller that fell behind gets no credit beyond this: a device-paced caller therefore
    // never reaches its due time, only a caller that outruns the audio rate does.
    const double burst = 0.1 + 2 * block;
    if (!m_paceStarted) {
        m_due = now - burst;
        m_paceStarted = true;
    }
    m_due = std::max(m_due, now - burst) + block / kPaceTolerance;
    if (m_due > now) {
        m_pacedCalls.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::duration<double>(m_due - now));
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
    wire::Header header;
    header.kind = wire::Kind::Audio;
    header.sampleRate = frame.sample_rate;
    header.channels = channels;
    header.samples = samples;
    header.timecode = frame.timecode == NDIlib_send_timecode_synthesize
                          ? m_samplesSent * 10'000'000 / frame.sample_rate
                          : frame.timecode;
    header.timestamp = wallClock100ns();
    header.sequence = m_sequence;
    const size_t payload = header.payloadBytes();
    uint8_t *record = m_ring.reserve(wire::kHeaderSize + payload);
    if (record == nullptr) {
        m_framesDropped.fetch_add(1, std::memory_order_relaxed);
    } else {
        wire::encodeHeader(header, record);
        uint8_t *out = record + wire::kHeaderSize;
        for (int c = 0; c < channels; ++c)
            std::memcpy(out + size_t(c) * size_t(samples) * sizeof(float),
                        frame.p_data + size_t(c) * size_t(stride), size_t(samples) * sizeof(float));
        m_ring.commit();
        ++m_sequence;
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
    s.clientFramesDropped = m_clientFramesDropped.load(std::memory_order_relaxed);
    s.clients = m_clients.load(std::memory_order_relaxed);
    s.pacedCalls = m_pacedCalls.load(std::memory_order_relaxed);
    return s;
}

void Sender::run()
{
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    std::vector<uint8_t> inbound(4096);
    size_t queueLimit = size_t(1) << 18;
    auto lastMessage = Clock::now();
    uint64_t keepAliveSequence = 0;
    // When the caller's next block is due, from the latest one's send time and length.
    std::optional<Clock::time_point> nextDue;
    raiseNetworkThreadPriority();

    auto enqueue = [&](const Message &message) {
        for (auto &client : clients) {
            if (client->queuedBytes + message->size() > queueLimit) {
                m_clientFramesDropped.fetch_add(1, std::memory_order_relaxed);
                if (!client->full) {
                    client->full = true;
                    client->fullSince = Clock::now();
                }
                continue;
            }
            client->queue.push_back(message);
            client->queuedBytes += message->size();
        }
    };

    while (m_running.load(std::memory_order_relaxed)) {
        fds.clear();
        fds.push_back({m_listen.get(), POLLIN, 0});
        for (auto &client : clients)
            fds.push_back(
                {client->fd.get(), short(POLLIN | (client->queue.empty() ? 0 : POLLOUT)), 0});
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
        ::ppoll(fds.data(), fds.size(), &timeout, nullptr);

        if (fds[0].revents & POLLIN) {
            for (;;) {
                Fd fd(::accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
                if (!fd.valid())
                    break;
                if (int(clients.size()) >= kMaxClients) {
                    m_clientsDropped.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                const int one = 1;
                ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                // A fixed kernel buffer (the kernel doubles it): enough for a LAN at the highest
                // stream rate, and it caps what a peer that never reads can tie up.
                ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
                auto client = std::make_unique<Client>();
                client->fd = std::move(fd);
                clients.push_back(std::move(client));
                m_clientsAccepted.fetch_add(1, std::memory_order_relaxed);
            }
        }

        size_t size = 0;
        while (const uint8_t *record = m_ring.peek(size)) {
            auto message = std::make_shared<const std::vector<uint8_t>>(record, record + size);
            m_ring.release(size);
            wire::Header header;
            if (wire::decodeHeader(message->data(), header) == wire::HeaderError::None) {
                // Half a second of this stream per receiver, and never less than 256 KiB.
                const size_t bytesPerSecond =
                    size_t(header.sampleRate) * size_t(header.channels) * sizeof(float);
                queueLimit = std::max<size_t>(size_t(1) << 18, bytesPerSecond / 2);
                if (header.kind == wire::Kind::Audio) {
                    // The block was handed over when it was stamped; the next one follows a
                    // block's length later.
                    const auto waited = std::chrono::nanoseconds(
                        std::max<int64_t>(0, wallClock100ns() - header.timestamp) * 100);
                    nextDue = Clock::now() - waited
                              + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(double(header.samples)
                                                                / header.sampleRate));
                }
            }
            enqueue(message);
            lastMessage = Clock::now();
        }
        if (Clock::now() - lastMessage > kKeepAliveEvery) {
            auto message = std::make_shared<std::vector<uint8_t>>(wire::kHeaderSize);
            wire::Header header;
            header.kind = wire::Kind::KeepAlive;
            header.sequence = keepAliveSequence++;
            wire::encodeHeader(header, message->data());
            enqueue(message);
            lastMessage = Clock::now();
        }

        const auto now = Clock::now();
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &client = *clients[i];
            bool drop = false;
            const short revents =
                i + 1 < fds.size() && fds[i + 1].fd == client.fd.get() ? fds[i + 1].revents : 0;
            if (revents & (POLLIN | POLLERR | POLLHUP)) {
                const ssize_t got = ::recv(client.fd.get(), inbound.data(), inbound.size(), 0);
                // Receivers never send: end of stream, an error or any data ends the client.
                if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                    drop = true;
            }
            while (!drop && !client.queue.empty()) {
                const auto &front = *client.queue.front();
                const ssize_t sent =
                    ::send(client.fd.get(), front.data() + client.offset,
                           front.size() - client.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK)
                        drop = true;
                    break;
                }
                client.offset += size_t(sent);
                if (client.offset == front.size()) {
                    client.queuedBytes -= front.size();
                    client.queue.pop_front();
                    client.offset = 0;
                    client.full = false;
                }
            }
            if (!drop && client.full && now - client.fullSince > kStallLimit)
                drop = true;
            if (drop) {
                m_clientsDropped.fetch_add(1, std::memory_order_relaxed);
                clients[i].reset();
            }
        }
        clients.erase(std::remove(clients.begin(), clients.end(), nullptr), clients.end());
        m_clients.store(int(clients.size()), std::memory_order_relaxed);
    }
}

} // namespace veltrin::rt
