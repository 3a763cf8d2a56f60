#include "Receiver.h"

#include "Discovery.h"
#include "FrameSync.h"
#include "Socket.h"
#include "WireFormat.h"

#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace veltrin::rt {

Receiver::Receiver(std::string sourceName, std::string urlAddress)
    : m_name(std::move(sourceName)), m_url(std::move(urlAddress))
{
    m_thread = std::thread([this] { run(); });
}

Receiver::~Receiver()
{
    {
        std::lock_guard lock(m_stopMutex);
        m_stopping.store(true, std::memory_order_relaxed);
    }
    m_stopCv.notify_all();
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
    s.framesReceived = m_frames.load(std::memory_order_relaxed);
    s.connected = m_connected.load(std::memory_order_relaxed);
    return s;
}

bool Receiver::sleepFor(std::chrono::milliseconds time)
{
    std::unique_lock lock(m_stopMutex);
    return !m_stopCv.wait_for(lock, time, [this] { return m_stopping.load(std::memory_order_relaxed); });
}

void Receiver::run()
{
    std::unique_ptr<Browser> browser;
    std::vector<uint8_t> buffer(size_t(1) << 16);
    std::vector<float> clean;
    using Clock = std::chrono::steady_clock;
    raiseNetworkThreadPriority();

    while (sleepFor(std::chrono::milliseconds(0))) {
        std::string address = m_url;
        if (address.empty() && !m_name.empty()) {
            if (!browser) {
                try {
                    browser = std::make_unique<Browser>(DiscoveryConfig::load());
                } catch (...) {
                    // Discovery unavailable: keep trying, the network may come up later.
                }
            }
            if (browser) {
                if (auto found = browser->find(m_name))
                    address = found->address;
            }
        }
        Fd fd = address.empty() ? Fd() : connectTcp(address, 500);
        if (!fd.valid()) {
            if (!sleepFor(kRetryEvery))
                break;
            continue;
        }
        m_connections.fetch_add(1, std::memory_order_relaxed);
        m_connected.store(true, std::memory_order_relaxed);
        wire::FrameParser parser;
        auto lastData = Clock::now();
        while (!m_stopping.load(std::memory_order_relaxed)) {
            pollfd p{fd.get(), POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready <= 0) {
                if (Clock::now() - lastData > kSilenceLimit)
                    break;
                continue;
            }
            const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                break;
            }
            lastData = Clock::now();
            const bool ok = parser.feed(
                buffer.data(), size_t(got), [&](const wire::Header &h, const float *samples) {
                    if (h.kind != wire::Kind::Audio)
                        return;
                    m_frames.fetch_add(1, std::memory_order_relaxed);
                    // NaN or infinity would poison the resampler's history and the device.
                    const size_t count = size_t(h.channels) * size_t(h.samples);
                    clean.assign(samples, samples + count);
                    for (float &v : clean)
                        v = std::isfinite(v) ? v : 0.f;
                    std::lock_guard lock(m_sinkMutex);
                    if (m_sink != nullptr)
                        m_sink->push(clean.data(), h.samples, h.channels, h.samples, h.sampleRate);
                });
            if (!ok) {
                m_badPeers.fetch_add(1, std::memory_order_relaxed);
                break;
            }
        }
        m_connected.store(false, std::memory_order_relaxed);
        fd.reset();
        if (!sleepFor(std::chrono::milliseconds(50)))
            break;
    }
}

} // namespace veltrin::rt
