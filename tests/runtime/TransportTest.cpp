// The audio transport in one process over loopback: sender, receivers by address, frame
// synchronisers, and peers that misbehave.
#include "FrameSync.h"
#include "Receiver.h"
#include "Sender.h"
#include "Socket.h"
#include "TestSignal.h"
#include "WireFormat.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace veltrin::rt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string local(uint16_t port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// Sends the test signal at `rate` on an absolute schedule, like a sound card, until stopped.
class SignalSource
{
public:
    SignalSource(Sender &sender, int rate, int channels, int block)
    {
        m_thread = std::thread([=, &sender] {
            std::vector<float> planar(size_t(block) * size_t(channels));
            const auto start = Clock::now();
            int64_t frame = 0;
            while (!m_stop.load()) {
                std::this_thread::sleep_until(
                    start + std::chrono::duration<double>(double(frame) / rate));
                for (int c = 0; c < channels; ++c)
                    for (int i = 0; i < block; ++i)
                        planar[size_t(c) * size_t(block) + size_t(i)] =
                            veltrin::test::signalValue(frame + i, c);
                NDIlib_audio_frame_v2_t audio;
                audio.sample_rate = rate;
                audio.no_channels = channels;
                audio.no_samples = block;
                audio.p_data = planar.data();
                audio.channel_stride_in_bytes = block * 4;
                sender.sendAudio(audio);
                frame += block;
            }
        });
    }
    ~SignalSource()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Pulls a frame synchroniser like a sound card for `seconds`; checks the signal in the last half.
veltrin::test::SignalChecker pull(FrameSync &sync, double seconds, int rate, int channels,
                                  int block)
{
    veltrin::test::SignalChecker checker(channels);
    const auto start = Clock::now();
    int64_t frame = 0;
    while (double(frame) / rate < seconds) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(double(frame) / rate));
        NDIlib_audio_frame_v2_t audio;
        sync.capture(audio, rate, channels, block);
        if (double(frame) / rate > seconds / 2)
            checker.feed(audio.p_data, block, block);
        frame += block;
    }
    return checker;
}

// A raw client that reads the stream and checks sequence numbers and samples.
struct RawClient {
    Fd fd;
    wire::FrameParser parser;
    uint64_t nextSequence = 0;
    uint64_t frames = 0;
    uint64_t gaps = 0;
    bool samplesOk = true;
    int64_t nextFrame = -1;

    explicit RawClient(uint16_t port) : fd(connectTcp(local(port), 1000)) {}

    // Reads what is there, waiting up to waitMs for the first bytes.
    void drain(int waitMs = 0)
    {
        uint8_t buffer[65536];
        for (;;) {
            pollfd p{fd.get(), POLLIN, 0};
            if (::poll(&p, 1, waitMs) != 1)
                return;
            waitMs = 0;
            const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0)
                return;
            parser.feed(buffer, size_t(got), [this](const wire::Header &h, const float *s) {
                if (h.kind != wire::Kind::Audio)
                    return;
                gaps += h.sequence != nextSequence;
                nextSequence = h.sequence + 1;
                ++frames;
                if (nextFrame < 0)
                    nextFrame = int64_t(s[0] * 32768.f + 32768.f);
                for (int i = 0; i < h.samples; ++i)
                    samplesOk = samplesOk && s[i] == veltrin::test::signalValue(nextFrame + i, 0);
                nextFrame += h.samples;
            });
        }
    }
};

} // namespace

// Same clock, same rate: two receivers of one sender get the samples bit-exact.
TEST(Transport, TwoReceiversGetSamplesBitExact)
{
    Sender sender(true);
    ASSERT_TRUE(sender.valid());
    SignalSource source(sender, 48000, 2, 256);
    Receiver first("", local(sender.port()));
    Receiver second("", local(sender.port()));
    FrameSync syncA, syncB;
    first.attach(&syncA);
    second.attach(&syncB);
    veltrin::test::SignalChecker a(2), b(2);
    std::thread other([&] { b = pull(syncB, 6.0, 48000, 2, 256); });
    a = pull(syncA, 6.0, 48000, 2, 256);
    other.join();
    first.detach(&syncA);
    second.detach(&syncB);
    for (const auto *checker : {&a, &b}) {
        // Three seconds checked; a lost period on a busy machine is tolerated, a wrong sample is
        // not.
        EXPECT_GT(checker->exact(), 48000 * 3 / 2);
        EXPECT_EQ(checker->wrong(), 0);
    }
    EXPECT_EQ(sender.stats().clients, 2);
}

// Idle connections, a peer that never reads and a peer that sends garbage: a good receiver
// still gets every frame, and the stalled peer is dropped.
TEST(Transport, MisbehavingPeersDoNotDisturbGoodReceivers)
{
    Sender sender(false);
    ASSERT_TRUE(sender.valid());
    RawClient good(sender.port());
    ASSERT_TRUE(good.fd.valid());

    std::vector<Fd> idle;
    for (int i = 0; i < 200; ++i)
        idle.push_back(connectTcp(local(sender.port()), 1000));
    // A peer with a tiny receive window that never reads: it stalls at once.
    Fd stalled(::socket(AF_INET, SOCK_STREAM, 0));
    const int small = 4096;
    ::setsockopt(stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(sender.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    Fd garbage = connectTcp(local(sender.port()), 1000);
    std::mt19937 random(7);
    std::vector<uint8_t> junk(4096);
    for (auto &byte : junk)
        byte = uint8_t(random());
    ASSERT_GT(::send(garbage.get(), junk.data(), junk.size(), MSG_NOSIGNAL), 0);

    // 16 channels at 48 kHz: 3 MB/s, enough to fill a stalled peer's buffers quickly.
    SignalSource source(sender, 48000, 16, 256);
    // The good receiver reads on a thread of its own, as a real one would.
    std::thread reader([&] {
        const auto end = Clock::now() + 6s;
        while (Clock::now() < end)
            good.drain(50);
    });
    reader.join();
    EXPECT_GT(good.frames, 6u * 48000 / 256 * 8 / 10);
    const auto st = sender.stats();
    EXPECT_EQ(good.gaps, 0u) << st.clientFramesDropped << " frames dropped for slow receivers";
    EXPECT_TRUE(good.samplesOk);
    EXPECT_GE(st.clientsAccepted, 203u);
    // The garbage peer at once, the stalled one after the stall limit.
    EXPECT_GE(st.clientsDropped, 2u);
    EXPECT_EQ(st.framesDropped, 0u);
}

// A "sender" that answers with garbage: the receiver drops it, counts it and tries again.
TEST(Transport, ReceiverDropsInvalidPeerAndRetries)
{
    uint16_t port = 0;
    Fd listener = listenTcp(port);
    ASSERT_TRUE(listener.valid());
    std::atomic<bool> stop{false};
    std::thread server([&] {
        std::mt19937 random(11);
        std::vector<uint8_t> junk(1 << 16);
        // A valid header announcing an absurd payload, then random bytes.
        wire::Header h;
        h.sampleRate = 48000;
        h.channels = 2;
        h.samples = 256;
        while (!stop.load()) {
            pollfd p{listener.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            Fd peer(::accept(listener.get(), nullptr, nullptr));
            for (auto &byte : junk)
                byte = uint8_t(random());
            uint8_t header[wire::kHeaderSize];
            wire::encodeHeader(h, header);
            ::send(peer.get(), header, sizeof header, MSG_NOSIGNAL);
            ::send(peer.get(), junk.data(), junk.size(), MSG_NOSIGNAL);
        }
    });
    Receiver receiver("", local(port));
    FrameSync sync;
    receiver.attach(&sync);
    const auto end = Clock::now() + 5s;
    while (Clock::now() < end && receiver.stats().badPeers < 3)
        std::this_thread::sleep_for(10ms);
    NDIlib_audio_frame_v2_t frame;
    sync.capture(frame, 48000, 2, 64);
    receiver.detach(&sync);
    stop = true;
    server.join();
    EXPECT_GE(receiver.stats().badPeers, 3u);
    EXPECT_GE(receiver.stats().connections, 3u);
    EXPECT_EQ(frame.no_samples, 64);
}

// Audio clocking: a caller paced by its device is never held up; a caller that runs faster
// than real time is slowed to the audio rate (plus a small tolerance and start-up burst).
TEST(Transport, AudioClockingPacesOnlyCallersThatRunAhead)
{
    std::vector<float> planar(512, 0.f);
    NDIlib_audio_frame_v2_t audio;
    audio.sample_rate = 48000;
    audio.no_channels = 2;
    audio.no_samples = 256;
    audio.p_data = planar.data();
    audio.channel_stride_in_bytes = 256 * 4;
    const auto block =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(256.0 / 48000));
    {
        // Like a sound card: one block per block period; after a late wake-up it goes on
        // from now (a device skips what it missed, it never catches up faster).
        Sender sender(true);
        auto next = Clock::now();
        const auto end = next + 1500ms;
        while (next < end) {
            next = std::max(next + block, Clock::now());
            std::this_thread::sleep_until(next);
            sender.sendAudio(audio);
        }
        EXPECT_EQ(sender.stats().pacedCalls, 0u);
        EXPECT_GT(sender.stats().framesSent, 100u);
    }
    {
        Sender sender(true);
        const auto start = Clock::now();
        int64_t frames = 0;
        while (Clock::now() - start < 1500ms) {
            sender.sendAudio(audio);
            frames += 256;
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        // At most real time plus 0.5 %, the 0.1 s burst allowance and one block in flight.
        EXPECT_LE(double(frames) / 48000, wall * 1.005 + 0.1 + 3 * 256.0 / 48000);
        EXPECT_GT(sender.stats().pacedCalls, 100u);
    }
}
