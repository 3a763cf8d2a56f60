// One PortAudio stream on one device, and what the engine needs to survive that device going
// away: a watch on its callbacks, a stop that never holds its caller longer than a bound, and a
// gate that lets a stream whose stop never returns be given up without its callback ever
// touching the records again.
//
// Threads: a DeviceLink is made, watched and stopped by its stream's entry thread; its callback
// runs on PortAudio's audio thread and touches only the CallbackLink (wait-free). A link whose
// stop is given up is kept alive by the stopping thread, which may outlive the entry.
#pragma once

#include "PortAudioSession.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Lets the engine close a stream's callback off from its records. The callback enters before it
// touches them and leaves afterwards; once close() has returned, no callback is inside and none
// gets in again. The two sequentially consistent operations (increment, then test; clear, then
// wait for zero) are what rules out a callback that tests the gate open after close() has seen
// it outside.
class CallbackGate
{
public:
    // Audio thread, wait-free.
    bool enter() noexcept
    {
        m_inside.fetch_add(1);
        if (m_open.load())
            return true;
        m_inside.fetch_sub(1);
        return false;
    }
    void leave() noexcept { m_inside.fetch_sub(1, std::memory_order_release); }

    // Any thread but the audio thread; spins only while a callback is inside (microseconds).
    void close() noexcept;

private:
    std::atomic<int> m_inside{0};
    std::atomic<bool> m_open{true};
};

// What a stream's callback is handed: its entry's records, the gate in front of them and a
// count of its calls, which the watch reads.
struct CallbackLink {
    CallbackGate gate;
    std::atomic<uint64_t> calls{0};
    void *records = nullptr;
};

// How a stream is doing, for the front ends: read by the command line's loop and the
// controller's timer, written by the stream's entry thread.
struct StreamHealth {
    std::atomic<bool> lost{false};
    std::atomic<uint32_t> losses{0};    // times the device went away during this run
    std::atomic<uint32_t> returns{0};   // times it came back
    std::atomic<uint32_t> abandoned{0}; // stops that did not return within the bound

    // Entry thread, at the start of a run.
    void reset();
    // The device's PortAudio name, once the stream has chosen it (empty before).
    std::string device() const;
    void setDevice(const std::string &name);

private:
    mutable std::mutex m_nameLock;
    std::string m_device;
};

// Whether a stream's callbacks stopped coming, from its count of calls read now and then: a
// device that has never called back within kFirstCallLimit is taken for gone; so is one that
// stops calling back for kSilentPeriods periods, and never less than kSilentLimit (JACK's dummy
// server and PipeWire's quantum changes hold a callback back by tens of milliseconds).
//
// Threads: the entry thread's alone; the count it is given is read from the audio thread's.
class SilenceWatch
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto kFirstCallLimit = std::chrono::milliseconds(2000);
    static constexpr auto kSilentLimit = std::chrono::milliseconds(750);
    static constexpr int kSilentPeriods = 16;

    // Starts watching from `now` and `calls`, for a stream of `framesPerBuffer` frames at
    // `sampleRate` (0: no period known, only kSilentLimit).
    void start(uint64_t calls, Clock::time_point now, uint32_t framesPerBuffer, double sampleRate);
    // True when `calls` has not moved for longer than the limit.
    bool silent(uint64_t calls, Clock::time_point now);

private:
    uint64_t m_lastCalls = 0;
    Clock::time_point m_lastChange{};
    Clock::duration m_silentLimit = kSilentLimit;
};

class DeviceLink
{
public:
    using Clock = SilenceWatch::Clock;

    // A session for a stream of `framesPerBuffer` frames at `sampleRate` (0: the device's).
    DeviceLink(uint32_t framesPerBuffer, double sampleRate) : session(framesPerBuffer, sampleRate)
    {
    }
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    // Starts watching from `now`, for a stream of `framesPerBuffer` frames at `sampleRate`.
    void watchFrom(Clock::time_point now, uint32_t framesPerBuffer, double sampleRate);
    // True when the stream stopped by itself (its host reported the device gone or an error)
    // or its callbacks stopped coming (see SilenceWatch).
    bool wentAway(Clock::time_point now);

    veltrin::audio::PortAudioSession session;
    veltrin::audio::Stream stream{session};
    CallbackLink callback;

private:
    SilenceWatch m_watch;
};

// The longest a stop may hold its caller before the stream is given up.
constexpr auto kStopBound = std::chrono::milliseconds(1500);

// Stops `link`'s stream and ends its session on a thread of its own, waiting at most `bound`.
// While it waits, a stop held up by a JACK server that went away is woken. True when the stop
// returned; false when it was given up: the gate is then closed, so the callback no longer
// touches the records, and the stopping thread keeps the link until its stop returns, if ever.
bool stopWithin(const std::shared_ptr<DeviceLink> &link, std::chrono::milliseconds bound);
