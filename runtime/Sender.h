// The sending end of the audio transport: a UDP socket that streams every frame handed to
// sendAudio() to each subscribed receiver as shards with Reed-Solomon parity (WireFormat.h).
// It keeps the socket, the network thread and the ring between them; its parts decide: the
// subscribers (SubscriberRegistry), the datagrams of a block (ShardPacker), and the pace of a
// caller that runs ahead (Pacer).
//
// Threads: sendAudio() runs on the caller's thread, usually a PortAudio callback; it copies the
// frame into a pre-allocated single-producer single-consumer ring and returns (no lock, no
// allocation, no system call; with audio clocking it sleeps only when the caller runs ahead of
// real time). One network thread, owned by the Sender, answers subscriptions, drains the ring,
// cuts each block into shards once per datagram size its subscribers asked for, adds the
// parity and sends everything for a block in one sendmmsg() call. UDP never waits for a
// receiver: a slow, stalled or vanished receiver costs nothing but its own datagrams, and is
// forgotten when it stops refreshing its subscription (or says it leaves). Stats are atomics,
// readable from any thread.
#pragma once

#include "NdiLib.h"
#include "Pacer.h"
#include "Socket.h"
#include "SpscByteRing.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace veltrin::rt {

struct SenderStats {
    uint64_t framesSent = 0;      // frames taken by sendAudio()
    uint64_t framesDropped = 0;   // frames refused by sendAudio() (ring full, bad frame)
    uint64_t clientsAccepted = 0; // subscriptions started
    uint64_t clientsDropped = 0;  // ended: left, expired, or refused over the limit
    uint64_t datagramsSent = 0;
    uint64_t bytesSent = 0;   // UDP payload bytes of the datagrams sent
    uint64_t sendErrors = 0;  // datagrams the system refused (link down, no route, full)
    uint64_t badRequests = 0; // invalid datagrams, or a cookie that does not match
    uint64_t pacedCalls = 0;  // sends that waited because the caller ran ahead
    int clients = 0;          // subscribed now
};

class Sender
{
public:
    // clockAudio: pace callers that run faster than real time.
    explicit Sender(bool clockAudio);
    ~Sender();
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    bool valid() const { return m_socket.valid(); }
    uint16_t port() const { return m_port; }

    // Caller's thread (one at a time). Sends one planar frame.
    void sendAudio(const NDIlib_audio_frame_v2_t &frame) noexcept;

    SenderStats stats() const;

private:
    class Network;
    void pace(int samples, int rate) noexcept;

    const bool m_clockAudio;
    uint16_t m_port = 0;
    Fd m_socket;
    SpscByteRing m_ring;
    // Caller side.
    int64_t m_samplesSent = 0;
    Pacer m_pacer;
    // Shared.
    std::atomic<bool> m_running{true};
    std::atomic<uint64_t> m_framesSent{0}, m_framesDropped{0}, m_clientsAccepted{0},
        m_clientsDropped{0}, m_datagramsSent{0}, m_bytesSent{0}, m_sendErrors{0}, m_badRequests{0},
        m_pacedCalls{0};
    std::atomic<int> m_clients{0};
    std::thread m_thread;
};

} // namespace veltrin::rt
