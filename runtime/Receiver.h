// The receiving end of the audio transport: connects to one named source in the background,
// reconnects by itself when the source goes away and comes back, and feeds every audio frame
// to the frame synchroniser attached to it.
//
// Threads: one network thread, owned by the Receiver, resolves the name (through a Browser, or
// the address given), connects, validates and parses. attach()/detach() run on any other thread
// and take m_sinkMutex, which only the network thread also takes (never an audio thread).
// A peer that sends invalid bytes is dropped and counted; a peer silent for kSilenceLimit is
// dropped (senders send keep-alives when idle).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace veltrin::rt {

class FrameSync;

struct ReceiverStats {
    uint64_t connections = 0; // successful connects so far
    uint64_t badPeers = 0;    // connections dropped for invalid data
    uint64_t framesReceived = 0;
    bool connected = false;
};

class Receiver
{
public:
    static constexpr auto kRetryEvery = std::chrono::milliseconds(200);
    static constexpr auto kSilenceLimit = std::chrono::seconds(3);

    // urlAddress "ip:port", when not empty, is used instead of looking the name up.
    Receiver(std::string sourceName, std::string urlAddress);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    void attach(FrameSync *sink);
    void detach(FrameSync *sink);
    ReceiverStats stats() const;

private:
    void run();
    bool sleepFor(std::chrono::milliseconds time); // false when stopping

    const std::string m_name;
    const std::string m_url;
    std::mutex m_sinkMutex;
    FrameSync *m_sink = nullptr;
    std::mutex m_stopMutex;
    std::condition_variable m_stopCv;
    // Set under m_stopMutex (so a waiter cannot miss it), read without it by the receiving loop.
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_connections{0}, m_badPeers{0}, m_frames{0};
    std::atomic<bool> m_connected{false};
    std::thread m_thread;
};

} // namespace veltrin::rt
