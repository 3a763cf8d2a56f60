#include "DeviceLink.h"

#include "JackServerWatch.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

void CallbackGate::close() noexcept
{
    m_open.store(false);
    while (m_inside.load() != 0)
        std::this_thread::yield();
}

void StreamHealth::reset()
{
    lost.store(false);
    losses.store(0);
    returns.store(0);
    abandoned.store(0);
    setDevice({});
}

std::string StreamHealth::device() const
{
    std::lock_guard<std::mutex> guard(m_nameLock);
    return m_device;
}

void StreamHealth::setDevice(const std::string &name)
{
    std::lock_guard<std::mutex> guard(m_nameLock);
    m_device = name;
}

void SilenceWatch::start(uint64_t calls, Clock::time_point now, uint32_t framesPerBuffer,
                         double sampleRate)
{
    m_lastCalls = calls;
    m_lastChange = now;
    const auto periods = std::chrono::duration<double>(
        sampleRate > 0.0 ? kSilentPeriods * static_cast<double>(framesPerBuffer) / sampleRate
                         : 0.0);
    m_silentLimit = std::max<Clock::duration>(kSilentLimit,
                                              std::chrono::duration_cast<Clock::duration>(periods));
}

bool SilenceWatch::silent(uint64_t calls, Clock::time_point now)
{
    if (calls != m_lastCalls) {
        m_lastCalls = calls;
        m_lastChange = now;
        return false;
    }
    return now - m_lastChange > (calls == 0 ? Clock::duration(kFirstCallLimit) : m_silentLimit);
}

void DeviceLink::watchFrom(Clock::time_point now, uint32_t framesPerBuffer, double sampleRate)
{
    m_watch.start(callback.calls.load(std::memory_order_relaxed), now, framesPerBuffer, sampleRate);
}

bool DeviceLink::wentAway(Clock::time_point now)
{
    return stream.isActive() != 1
           || m_watch.silent(callback.calls.load(std::memory_order_relaxed), now);
}

bool stopWithin(const std::shared_ptr<DeviceLink> &link, std::chrono::milliseconds bound)
{
    struct Done {
        std::mutex lock;
        std::condition_variable wake;
        bool done = false;
    };
    const auto done = std::make_shared<Done>();
    std::thread stopper([link, done] {
        link->stream.stop();
        link->session.end();
        {
            std::lock_guard<std::mutex> guard(done->lock);
            done->done = true;
        }
        done->wake.notify_all();
    });

    // A JACK server that went away never wakes the stop itself: wake it every so often.
    constexpr auto kWakeEvery = std::chrono::milliseconds(20);
    const auto deadline = DeviceLink::Clock::now() + bound;
    std::unique_lock<std::mutex> guard(done->lock);
    while (!done->done && DeviceLink::Clock::now() < deadline) {
        if (veltrin::audio::jackServerWentAway()) {
            guard.unlock();
            veltrin::audio::wakeWaitsOnDeadJackServers();
            guard.lock();
        }
        done->wake.wait_for(guard, kWakeEvery, [&] { return done->done; });
    }
    const bool stopped = done->done;
    guard.unlock();
    if (stopped) {
        stopper.join();
        return true;
    }
    link->callback.gate.close();
    stopper.detach();
    return false;
}
