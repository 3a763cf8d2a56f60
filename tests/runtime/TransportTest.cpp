// The audio transport in one process over loopback: a sender and a receiver by address with
// its frame synchroniser on a link that loses datagrams by rule, and a hostile sender.
//
// Threads: each test's own threads stand in for devices and for the hostile peer.
#include "BlockAssembler.h"
#include "ChildProcess.h"
#include "FrameSync.h"
#include "Receiver.h"
#include "Sender.h"
#include "Socket.h"
#include "StreamFigures.h"
#include "TestSignal.h"
#include "WireFormat.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace veltrin::rt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string local(uint16_t port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// Loses on loopback, of the shards from `port`, data shard 0 of every block whose number is
// 1 mod 8 (which parity rebuilds), and data shard 0 with all parity of those 3 mod 8 (concealed).
// The offsets are the wire's, past the 8-byte UDP header, in bits: kind 104, block's low byte
// 192, shard index 512.
struct LinkLoss {
    explicit LinkLoss(uint16_t port)
    {
        const std::string rule =
            " && nft add rule inet vloss input iifname lo udp sport " + std::to_string(port) + " ";
        ok = veltrin::test::shell("nft add table inet vloss && nft add chain inet vloss input '{ "
                                  "type filter hook input priority 0; policy accept; }'"
                                  + rule
                                  + "@th,104,8 1 @th,192,8 \\& 7 == 1 @th,512,16 0 counter drop"
                                  + rule + "@th,192,8 \\& 7 == 3 @th,512,16 0 counter drop" + rule
                                  + "@th,104,8 2 @th,192,8 \\& 7 == 3 counter drop")
             == 0;
    }
    ~LinkLoss() { veltrin::test::shell("nft delete table inet vloss"); }
    // Packets each rule dropped, in the order above.
    std::vector<uint64_t> dropped() const
    {
        std::vector<uint64_t> counts;
        FILE *list =
            ::popen("nft list table inet vloss | grep -o 'packets [0-9]*' | cut -c9-", "r");
        unsigned long long n = 0;
        while (list != nullptr && std::fscanf(list, "%llu", &n) == 1)
            counts.push_back(n);
        if (list != nullptr)
            ::pclose(list);
        return counts;
    }
    bool ok = false;
};

} // namespace

// The figures of both ends over a link that loses datagrams that parity rebuilds and datagrams
// it cannot: each is counted as repaired or concealed (on a loaded machine up to two late ones
// more as lost, and concealed instead of repaired), every datagram that came is counted, and
// the sender counts the datagrams and bytes that left it. A block of 8 x 1024 frames is two
// data and two parity datagrams here.
TEST(Transport, FiguresCountAKnownLoss)
{
    Sender sender(true);
    LinkLoss loss(sender.port());
    ASSERT_TRUE(loss.ok);
    Receiver receiver("", local(sender.port()));
    FrameSync sync;
    receiver.attach(&sync);
    // The source's device sends a block of 1024 frames every fourth pull of the receiving one.
    std::vector<float> planar(8 * 1024);
    const auto start = Clock::now();
    for (int64_t frame = 0; frame < 3 * 48000; frame += 256) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(frame / 48000.0));
        if (frame % 1024 == 0)
            sender.sendAudio(veltrin::test::signalBlock(48000, 8, 1024, frame, planar));
        NDIlib_audio_frame_v2_t audio;
        sync.capture(audio, 48000, 8, 256);
    }
    // The blocks in flight are handed on (repaired or concealed) well within this.
    std::this_thread::sleep_for(500ms);
    const VeltrinNdiFigures r = receiverFigures("S", receiver.stats(), &sync);
    const VeltrinNdiFigures s = senderFigures("S", sender.stats());
    receiver.detach(&sync);

    const std::vector<uint64_t> dropped = loss.dropped();
    ASSERT_EQ(dropped.size(), 3u);
    const uint64_t repairable = dropped[0], unrepairable = dropped[1];
    ASSERT_GT(repairable, 10u);
    ASSERT_GT(unrepairable, 10u);
    // A busy machine (the sanitizer builds) may hold a datagram past its block's deadline: it
    // then counts as lost although it came, and a rebuildable block missing it is concealed, not
    // repaired. Never the other way, and only a few.
    EXPECT_GE(r.datagramsLost, repairable + unrepairable);
    EXPECT_LE(r.datagramsLost, repairable + unrepairable + 2);
    EXPECT_LE(r.datagramsRepaired, repairable);
    EXPECT_GE(r.datagramsRepaired + 2, repairable);
    EXPECT_GE(r.datagramsConcealed, unrepairable);
    EXPECT_EQ(r.datagramsReceived + dropped[0] + dropped[1] + dropped[2], s.datagramsSent);
    EXPECT_EQ(r.connections, 1);
    EXPECT_EQ(s.connections, 1);
    EXPECT_EQ(s.bytesSent, s.datagramsSent * wire::kMaxDatagram);
}

// A "sender" that answers the subscription and then sends garbage, another stream's shards,
// and one valid shard claiming 64 channels x 16384 frames in the smallest datagrams from
// another address, then nothing: the receiver counts and drops what it must, holds no more than
// its bound, follows its stream, takes it for gone once quiet, plays silence, never crashes.
TEST(Transport, HostileSenderCostsNoMoreThanTheBound)
{
    uint16_t port = 0, movedPort = 0;
    const Fd fake = bindUdp(port), moved = bindUdp(movedPort);
    Receiver receiver("", local(port));
    FrameSync sync;
    receiver.attach(&sync);
    sockaddr_in to{};
    std::vector<uint8_t> bytes(wire::kMaxDatagram);
    // The receiver's next request at `at`, and where it came from.
    auto request = [&](const Fd &at, wire::Subscribe &s) {
        pollfd p{at.get(), POLLIN, 0};
        socklen_t length = sizeof to;
        return ::poll(&p, 1, 3000) == 1
               && wire::decodeSubscribe(
                      bytes.data(),
                      size_t(::recvfrom(at.get(), bytes.data(), bytes.size(), 0,
                                        reinterpret_cast<sockaddr *>(&to), &length)),
                      s)
                      == wire::Error::None;
    };
    auto send = [&](const uint8_t *datagram, size_t size, const Fd &from) {
        ::sendto(from.get(), datagram, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    };
    wire::Subscribe subscribe;
    ASSERT_TRUE(request(fake, subscribe));
    wire::Challenge challenge;
    challenge.common.kind = wire::Kind::Challenge;
    challenge.common.stream = 1234;
    challenge.cookie = 99;
    uint8_t c[wire::kChallengeSize];
    send(c, wire::encodeChallenge(challenge, c), fake);
    do
        ASSERT_TRUE(request(fake, subscribe));
    while (subscribe.cookie != 99);

    std::mt19937 random(13);
    std::vector<uint8_t> junk(2000);
    for (int i = 0; i < 100; ++i) {
        for (auto &byte : junk)
            byte = uint8_t(random());
        // Half of them look like our stream's shards, to get past the first check.
        if (i % 2 == 0) {
            wire::Common common;
            common.kind = wire::Kind::Data;
            common.stream = 1234;
            wire::encodeCommon(common, junk.data());
        }
        send(junk.data(), 1 + random() % junk.size(), fake);
    }
    wire::Shard shard;
    shard.common.kind = wire::Kind::Data;
    shard.sampleRate = 48000;
    for (const auto &[stream, channels, samples, datagram] :
         {std::tuple{4321u, 2, 256, size_t(1472)}, // not the stream subscribed to
          {1234u, 64, wire::kMaxSamples, wire::kMinDatagram}}) {
        shard.common.stream = stream;
        shard.layout = wire::Layout::plan(channels, samples, datagram);
        std::vector<uint8_t> d(wire::kShardHeaderSize + shard.layout.payloadBytes(0));
        wire::encodeShardHeader(shard, d.data());
        // The valid one comes from another address, as from a sender whose host's changed.
        send(d.data(), d.size(), stream == 1234 ? moved : fake);
    }

    const auto end = Clock::now() + 5s;
    while (receiver.stats().bufferBytes == 0 && Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    const auto st = receiver.stats();
    EXPECT_GE(st.badPeers, 50u);
    EXPECT_GE(st.foreign, 1u);
    EXPECT_GT(st.bufferBytes, 0u);
    // The receiver follows its stream to the new address.
    EXPECT_TRUE(request(moved, subscribe));
    // The assembler's bound plus its two planar blocks of the largest shape.
    EXPECT_LE(st.bufferBytes, AssemblerConfig().maxBytes + size_t(2) * 64 * wire::kMaxSamples * 4);
    // Nothing more comes: past the quiet limit the stream counts as gone.
    std::this_thread::sleep_for(Receiver::kQuietLimit + 200ms);
    EXPECT_FALSE(receiver.stats().connected);
    NDIlib_audio_frame_v2_t frame;
    sync.capture(frame, 48000, 2, 64);
    receiver.detach(&sync);
    EXPECT_EQ(frame.no_samples, 64);
    for (int i = 0; i < 2 * 64; ++i)
        EXPECT_EQ(frame.p_data[i], 0.f);
}
