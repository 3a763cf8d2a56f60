// The sending end of the audio transport: a TCP listener that streams every frame handed to
// sendAudio() to each connected receiver.
//
// Threads: sendAudio() runs on the caller's thread, usually a PortAudio callback; it encodes the
// frame into a pre-allocated single-producer single-consumer ring and returns (no lock, no
// allocation; with audio clocking it sleeps only when the caller runs ahead of real time). One
// network thread, owned by the Sender, accepts receivers, drains the ring and writes to every
// receiver from a bounded queue of its own, so a slow or stalled receiver only loses its own
// frames and is dropped after kStallLimit; receivers that send anything are dropped too.
// Stats are atomics, readable from any thread.
#pragma once

#include "NdiLib.h"
#include "Socket.h"
#include "SpscByteRing.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace veltrin::rt {

struct SenderStats {
    uint64_t framesSent = 0;    // frames taken by sendAudio()
    uint64_t framesDropped = 0; // frames refused by sendAudio() (ring full, bad frame)
    uint64_t clientsAccepted = 0;
    uint64_t clientsDropped = 0;      // stalled, misbehaving or over the limit
    uint64_t clientFramesDropped = 0; // frames a slow receiver did not get
    uint64_t pacedCalls = 0;          // sends that waited because the caller ran ahead
    int clients = 0;                  // connected now
};

class Sender
{
public:
    static constexpr auto kStallLimit = std::chrono::seconds(2);
    static constexpr int kMaxClients = 512;

    // clockAudio: pace callers that run faster than real time.
    explicit Sender(bool clockAudio);
    ~Sender();
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    bool valid() const { return m_listen.valid(); }
    uint16_t port() const { return m_port; }

    // Caller's thread (one at a time). Sends one planar frame.
    void sendAudio(const NDIlib_audio_frame_v2_t &frame) noexcept;

    SenderStats stats() const;

private:
    void run();
    void pace(int samples, int rate) noexcept;

    const bool m_clockAudio;
    uint16_t m_port = 0;
    Fd m_listen;
    SpscByteRing m_ring;
    // Caller side.
    uint64_t m_sequence = 0;
    int64_t m_samplesSent = 0;
    double m_due = 0; // s on the steady clock: when the caller may send again without pacing
    bool m_paceStarted = false;
    // Shared.
    std::atomic<bool> m_running{true};
    std::atomic<uint64_t> m_framesSent{0}, m_framesDropped{0}, m_clientsAccepted{0},
        m_clientsDropped{0}, m_clientFramesDropped{0}, m_pacedCalls{0};
    std::atomic<int> m_clients{0};
    std::thread m_thread;
};

} // namespace veltrin::rt
