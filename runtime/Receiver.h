// The receiving end of the audio transport: subscribes to one named source in the background,
// follows it when it moves or comes back, and feeds every audio block, in order and with lost
// parts repaired or concealed, to the frame synchroniser attached to it.
//
// Threads: one network thread, owned by the Receiver, resolves the name (through a Browser, or
// the address given), subscribes and keeps the subscription fresh, validates every datagram,
// reassembles blocks (BlockAssembler) and pushes them. attach()/detach() run on any other
// thread and take m_sinkMutex, which only the network thread also takes (never an audio
// thread). Datagrams that are invalid, or that come from a stream this receiver did not
// subscribe to, are counted and dropped.
//
// Liveness: a sender sends audio or, with none, a sign of life every 100 ms. After kQuietLimit
// without either, or at once when the sender says its stream ended, the receiver looks the name
// up again every kRetryEvery and subscribes to what it finds (or to the last address it knew).
#pragma once

#include "Socket.h"
#include "WireFormat.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace veltrin::rt {

class FrameSync;

struct ReceiverStats {
    uint64_t connections = 0;    // times a stream started (or came back) after quiet
    uint64_t badPeers = 0;       // invalid datagrams
    uint64_t foreign = 0;        // valid datagrams of a stream not subscribed to
    uint64_t datagramsReceived = 0; // audio datagrams (data and parity) of the stream
    uint64_t framesReceived = 0;    // blocks pushed (concealed ones included)
    uint64_t repairedShards = 0; // data shards rebuilt from parity
    uint64_t concealedShards = 0;
    uint64_t concealedBlocks = 0;
    uint64_t skippedBlocks = 0;
    uint64_t lateShards = 0;
    uint64_t duplicateShards = 0;
    size_t bufferBytes = 0; // memory held for reassembly
    bool connected = false;
};

// What a datagram is to a receiver subscribed to `stream` (0: none yet) of the sender at
// `target` (nullptr: none yet); a challenge or a shard is decoded into `challenge` or `shard`.
// Bad: invalid, or a request (those are for senders). Foreign: valid, but not of the stream
// subscribed to, or a challenge from anyone but the sender asked. Moved: the stream's audio from
// another address (the sender's host changed its address). Pure; the network thread's filter.
enum class DatagramVerdict { Bad, Foreign, Challenge, Audio, Moved, Idle, End };
DatagramVerdict judgeDatagram(const uint8_t *bytes, size_t size, const sockaddr_in &from,
                              const sockaddr_in *target, uint64_t stream,
                              wire::Challenge &challenge, wire::Shard &shard);

class Receiver
{
public:
    static constexpr auto kRetryEvery = std::chrono::milliseconds(100);
    static constexpr auto kRefreshEvery = std::chrono::milliseconds(250);
    static constexpr auto kQuietLimit = std::chrono::milliseconds(300);

    // urlAddress "ip:port", when not empty, is used instead of looking the name up.
    Receiver(std::string sourceName, std::string urlAddress);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    void attach(FrameSync *sink);
    void detach(FrameSync *sink);
    ReceiverStats stats() const;

private:
    class Network;

    const std::string m_name;
    const std::string m_url;
    std::mutex m_sinkMutex;
    FrameSync *m_sink = nullptr;
    // Set by the destructor, which then signals m_wake so that the network thread's wait ends.
    std::atomic<bool> m_stopping{false};
    Fd m_wake; // eventfd
    // Written by the network thread, read by stats().
    std::atomic<uint64_t> m_connections{0}, m_badPeers{0}, m_foreign{0}, m_datagrams{0},
        m_frames{0}, m_repaired{0}, m_concealedShards{0}, m_concealedBlocks{0}, m_skipped{0},
        m_late{0}, m_duplicates{0};
    std::atomic<size_t> m_bufferBytes{0};
    std::atomic<bool> m_connected{false};
    std::thread m_thread;
};

} // namespace veltrin::rt
