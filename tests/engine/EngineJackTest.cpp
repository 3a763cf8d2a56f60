// The engine on real PortAudio against the virtual devices of a private JACK dummy server. A
// probe client feeds a known signal into the stream's input ports and records what its output
// ports play. The dummy driver has xruns of its own, so blocks are matched against the signal
// one by one and a few lost or disturbed blocks are tolerated.
#include "EngineTestSupport.h"
#include "JackHarness.h"
#include "NdiRecorder.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <unistd.h>

using enginetest::RunningEntry;
using enginetest::StdoutCapture;
using enginetest::waitFor;

namespace {

constexpr int kRate = 48000;
constexpr int kPeriod = 256;
constexpr long long kWrap = 65536;
// JACK client names are unique per process: tests running in parallel against servers of their
// own still collide on equal client names now and then.
const std::string kClient = "veltrin-" + std::to_string(getpid());
const std::string kProbe = "probe-" + std::to_string(getpid());

JackServer *g_server = nullptr;

// A ramp that encodes its own position: channel c at frame f is ((f + offset*c) mod 65536) /
// 65536 - 0.5, exactly representable, so any block tells where in the signal it came from.
float ramp(long long f, int c, long long offset)
{
    return static_cast<float>((f + offset * c) % kWrap) / static_cast<float>(kWrap) - 0.5f;
}

// The ramp position (mod 65536) that `v` (a ramp sample times `gain`) encodes.
long long positionOf(float v, float gain)
{
    const long long p = std::llround((static_cast<double>(v) / gain + 0.5) * kWrap);
    return ((p % kWrap) + kWrap) % kWrap;
}

// Checks `channels` planar or interleaved tracks of `n` samples against the ramp times gain,
// starting at the position the first sample encodes. Returns that position, or -1.
long long matchBlock(const std::function<float(int c, int i)> &sample, int channels, int n,
                     float gain, long long offset)
{
    const long long p = positionOf(sample(0, 0), gain);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < n; ++i)
            if (sample(c, i) != ramp(p + i, c, offset) * gain)
                return -1;
    return p;
}

struct BlockStats {
    int blocks = 0, matched = 0, contiguous = 0;
    long long previous = -1;

    // Counts one period whose samples `sample(c, i)` should be the ramp times gain.
    void add(const std::function<float(int c, int i)> &sample, int channels, float gain,
             long long offset)
    {
        ++blocks;
        const long long p = matchBlock(sample, channels, kPeriod, gain, offset);
        if (p >= 0) {
            ++matched;
            contiguous += previous >= 0 && (previous + kPeriod) % kWrap == p ? 1 : 0;
        }
        previous = p;
    }
    // Exact matches of at least half the periods cannot happen by chance, and leave room for the
    // dummy driver's xruns and for underflows of a loaded machine.
    bool mostlyMatched() const { return matched >= 100 && matched * 2 >= blocks; }
};

// Matches every sent frame from `skip` on against the probe's ramp.
BlockStats matchSentFrames(const std::vector<ndirec::SentFrame> &frames, int channels, float gain,
                           long long offset, size_t skip)
{
    BlockStats s;
    for (size_t k = skip; k < frames.size(); ++k) {
        const ndirec::SentFrame &f = frames[k];
        EXPECT_EQ(f.channels, channels);
        EXPECT_EQ(f.samples, kPeriod);
        if (f.channels == channels && f.samples == kPeriod)
            s.add([&](int c, int i) { return f.planar[static_cast<size_t>(c * kPeriod + i)]; },
                  channels, gain, offset);
    }
    return s;
}

// Matches what the probe recorded, in windows of one period from the first sound on, against
// the scripted ramp. Only the first `frames` frames count: what played before the stop.
BlockStats matchRecording(const JackProbe &probe, long long frames, int channels, float gain,
                          long long offset)
{
    std::vector<std::vector<float>> tracks;
    for (int c = 0; c < channels; ++c)
        tracks.push_back(probe.recorded(c));
    const size_t end = std::min(tracks[0].size(), static_cast<size_t>(frames));
    size_t start = 0;
    while (start < end && tracks[0][start] == 0.0f)
        ++start;
    BlockStats s;
    for (size_t at = start; at + kPeriod <= end; at += kPeriod)
        s.add([&](int c,
                  int i) { return tracks[static_cast<size_t>(c)][at + static_cast<size_t>(i)]; },
              channels, gain, offset);
    return s;
}

// Lets about `seconds` of audio pass on the probe's clock.
void letAudioRun(const JackProbe &probe, double seconds)
{
    const long long until = probe.framesElapsed() + static_cast<long long>(seconds * kRate);
    EXPECT_TRUE(waitFor([&] { return probe.framesElapsed() >= until; }, 20000));
}

// Runs `entry` with the probe wired to `inputs` and `outputs` of its stream for 1.5 s of audio,
// then stops it with `stop`. The sent frames from `wiredAt` on, and the first `playedFrames`
// the probe recorded, came through the new wiring.
struct WiredRun {
    size_t wiredAt = 0;
    long long playedFrames = 0;
};
WiredRun runWired(JackProbe &probe, std::function<int()> entry, void (*stop)(), int inputs,
                  int outputs)
{
    WiredRun run;
    RunningEntry running(std::move(entry));
    EXPECT_TRUE(probe.wire(kClient, inputs, outputs));
    run.wiredAt = ndirec::sentFrameCount();
    probe.clearRecording();
    letAudioRun(probe, 1.5);
    run.playedFrames = probe.recordedFrames();
    stop();
    EXPECT_TRUE(running.returned(10000));
    EXPECT_EQ(running.result(), 1);
    return run;
}

class EngineJack : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_server != nullptr && g_server->running());
        ndirec::reset();
        setPortAudioJackClientName(kClient);
        ASSERT_TRUE(probe.ok());
    }
    JackProbe probe{kProbe, 2};
    const float gain = static_cast<float>(db_to_ratio(-6.0));
};

TEST_F(EngineJack, CaptureSendsTheProbeSignalPlanarTimesTheGain)
{
    probe.setSignal([](long long f, int c) { return ramp(f, c, 1000); });
    const WiredRun run = runWired(
        probe, [] { return process_input("system", "Jack Capture", -6.0f, kPeriod, kRate); },
        stopAudioInput, 2, 0);
    const auto frames = ndirec::sentFrames();
    // Skip the blocks around the rewiring, which still carry the server's silent capture ports.
    const BlockStats s = matchSentFrames(frames, 2, gain, 1000, run.wiredAt + 4);
    EXPECT_GE(s.blocks, 200);
    EXPECT_TRUE(s.mostlyMatched()) << s.matched << " of " << s.blocks;
    EXPECT_GE(s.contiguous * 2, s.matched);
    for (const auto &f : frames)
        ASSERT_EQ(std::tie(f.sender, f.sampleRate), std::make_tuple("Jack Capture", kRate));
    EXPECT_EQ(ndirec::counts().sendersDestroyed, 1);
}

TEST_F(EngineJack, PlaybackPlaysTheScriptedFramesTimesTheGain)
{
    ndirec::setFramesyncSignal([](long long f, int c) { return ramp(f, c, 777); });
    const WiredRun run = runWired(
        probe, [] { return process_output("system", "NOWHERE (nothing)", -6.0f, kPeriod, kRate); },
        stopAudioOutput, 0, 2);
    const BlockStats s = matchRecording(probe, run.playedFrames, 2, gain, 777);
    EXPECT_GE(s.blocks, 200);
    EXPECT_TRUE(s.mostlyMatched()) << s.matched << " of " << s.blocks;
    for (const auto &r : ndirec::captureRequests())
        ASSERT_EQ(std::tie(r.sampleRate, r.channels, r.samples),
                  std::make_tuple(kRate, 2, kPeriod));
    EXPECT_EQ(ndirec::counts().framesyncsDestroyed, 1);
    EXPECT_EQ(ndirec::counts().receiversDestroyed, 1);
}

TEST_F(EngineJack, DuplexPlaysAndSendsWithOneCycleDelay)
{
    probe.setSignal([](long long f, int c) { return ramp(f, c, 3000); });
    ndirec::setFramesyncSignal([](long long f, int c) { return ramp(f, c, 5000); });
    StdoutCapture printed;
    const WiredRun run = runWired(
        probe,
        [] {
            return process_duplex("system", "Jack Duplex", "NOWHERE (nothing)", -6.0f, -6.0f,
                                  kPeriod, kRate);
        },
        stopAudioDuplex, 2, 2);
    EXPECT_NE(printed.text().find("48000 Format Is Supported \n"), std::string::npos);

    const auto frames = ndirec::sentFrames();
    ASSERT_FALSE(frames.empty());
    // The first cycle sends the block no read has filled yet: silence.
    for (float v : frames[0].planar)
        ASSERT_EQ(v, 0.0f);
    const BlockStats sent = matchSentFrames(frames, 2, gain, 3000, run.wiredAt + 4);
    EXPECT_GE(sent.blocks, 150);
    EXPECT_TRUE(sent.mostlyMatched()) << sent.matched << " of " << sent.blocks;
    const BlockStats played = matchRecording(probe, run.playedFrames, 2, gain, 5000);
    EXPECT_GE(played.blocks, 150);
    EXPECT_TRUE(played.mostlyMatched()) << played.matched << " of " << played.blocks;
}

TEST_F(EngineJack, RepeatedRunsStopInOrderAndReleaseEverything)
{
    for (int i = 0; i < 10; ++i) {
        {
            RunningEntry in([] { return process_input("system", "Again", 0.0f, kPeriod, kRate); });
            ASSERT_TRUE(waitFor([] { return ndirec::sentFrameCount() >= 3; }));
            stopAudioInput();
            ASSERT_TRUE(in.returned(10000));
            ASSERT_EQ(in.result(), 1);
        }
        {
            RunningEntry out(
                [] { return process_output("system", "NOWHERE (x)", 0.0f, kPeriod, kRate); });
            const int before = ndirec::counts().captures;
            ASSERT_TRUE(waitFor([&] { return ndirec::counts().captures >= before + 3; }));
            stopAudioOutput();
            ASSERT_TRUE(out.returned(10000));
            ASSERT_EQ(out.result(), 1);
        }
        ndirec::reset();
    }
    // A sample rate the server does not run at is refused when the stream opens.
    StdoutCapture printed;
    EXPECT_EQ(process_input("system", "Wrong Rate", 0.0f, kPeriod, 44100), 0);
    EXPECT_EQ(printed.text().rfind("Unable to open stream.\nPortAudio error: ", 0), 0u);
    const ndirec::Counts n = ndirec::counts();
    EXPECT_EQ(n.sendersCreated, n.sendersDestroyed);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    JackServer server(kRate, kPeriod, 2, 2);
    g_server = &server;
    return RUN_ALL_TESTS();
}
