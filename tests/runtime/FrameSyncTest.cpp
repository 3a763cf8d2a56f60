// The frame synchroniser driven on a virtual clock: a producer and a consumer exchange blocks
// at the times their own clocks say, with no sleeping, so hours of drift run in seconds.
#include "FrameSync.h"

#include "StreamFigures.h"
#include "TestSignal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace veltrin::rt;

namespace {

struct Side {
    int rate;
    int channels;
    int block;
    double clock = 1.0; // true seconds per nominal second
};

// Runs a producer and a consumer for `seconds` of true time. `signal(frame, channel)` is the
// source; `onCapture` sees every captured frame with the true time at which it was asked for.
// Block k reaches the synchroniser `delay(k)` seconds after it was made (in order; a negative
// delay means the block never comes). After the pull at true time t the consumer stalls for
// `pause(t)` seconds, and its clock skips them (a JACK xrun).
void simulate(FrameSync &fs, const Side &src, const Side &dst, double seconds,
              const std::function<float(int64_t, int)> &signal,
              const std::function<void(double, const NDIlib_audio_frame_v2_t &)> &onCapture,
              const std::function<double(int64_t)> &delay = nullptr,
              const std::function<double(double)> &pause = nullptr)
{
    std::vector<float> block(size_t(src.block) * size_t(src.channels));
    int64_t produced = 0;
    const double producerPeriod = double(src.block) / src.rate * src.clock;
    const double consumerPeriod = double(dst.block) / dst.rate * dst.clock;
    double made = 0.0005, arrival = made, lastArrival = 0, tc = 0.0;
    auto schedule = [&] {
        const double d = delay ? delay(produced / src.block) : 0.0;
        arrival = d < 0 ? -1 : std::max(lastArrival, made + d);
    };
    schedule();
    while (tc < seconds) {
        if (arrival < 0 || arrival <= tc) {
            if (arrival >= 0) {
                for (int c = 0; c < src.channels; ++c)
                    for (int i = 0; i < src.block; ++i)
                        block[size_t(c) * size_t(src.block) + size_t(i)] = signal(produced + i, c);
                fs.push(block.data(), src.block, src.channels, src.block, src.rate, arrival);
                lastArrival = arrival;
            }
            produced += src.block;
            made += producerPeriod;
            schedule();
        } else {
            NDIlib_audio_frame_v2_t frame;
            fs.capture(frame, dst.rate, dst.channels, dst.block, tc);
            onCapture(tc, frame);
            tc += consumerPeriod + (pause ? pause(tc) : 0.0);
        }
    }
}

// Pseudo-random in [0, 1), the same sequence on every run.
struct Lcg {
    uint32_t state = 12345;
    double next()
    {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / double(1u << 24);
    }
};

float sine(int64_t frame, double freq, int rate, float amp = 0.5f)
{
    return amp * float(std::sin(2 * M_PI * freq * double(frame % (int64_t(rate) * 100)) / rate));
}

// Frequency and amplitude of the dominant sine in x, by a fine search around `guess`.
std::pair<double, double> measureSine(const std::vector<float> &x, int rate, double guess)
{
    std::pair<double, double> best{guess, 0};
    for (double f = guess - 2; f <= guess + 2; f += 0.01) {
        double a = 0, b = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            a += x[i] * std::sin(2 * M_PI * f * double(i) / rate);
            b += x[i] * std::cos(2 * M_PI * f * double(i) / rate);
        }
        const double power = std::hypot(a, b) * 2 / double(x.size());
        if (power > best.second)
            best = {f, power};
    }
    return best;
}

} // namespace

// Silence of the exact shape before any audio. Then 48 kHz pulled at 44.1 kHz: every source
// channel on its own channel at its frequency and level, extra channels silent, surplus source
// channels dropped.
TEST(FrameSync, ConvertsRateAndMapsChannels)
{
    for (int n : {32, 2048}) {
        FrameSync fs;
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, 44100, 8, n);
        EXPECT_EQ(std::tie(frame.no_samples, frame.no_channels, frame.sample_rate,
                           frame.channel_stride_in_bytes),
                  std::make_tuple(n, 8, 44100, n * 4));
        ASSERT_NE(frame.p_data, nullptr);
        EXPECT_EQ(std::count(frame.p_data, frame.p_data + 8 * n, 0.f), 8 * n);
    }
    for (auto [srcChannels, dstChannels] : {std::pair{2, 8}, {6, 2}}) {
        FrameSync fs;
        std::vector<std::vector<float>> played(static_cast<size_t>(dstChannels));
        bool shaped = true, extraSilent = true;
        simulate(
            fs, Side{48000, srcChannels, 256}, Side{44100, dstChannels, 441}, 12.0,
            [](int64_t f, int c) { return sine(f, 1000.0 * (c + 1), 48000, 0.5f / float(c + 1)); },
            [&, srcChannels = srcChannels,
             dstChannels = dstChannels](double t, const NDIlib_audio_frame_v2_t &frame) {
                shaped &= frame.no_samples == 441 && frame.no_channels == dstChannels
                          && frame.sample_rate == 44100;
                for (int i = srcChannels * 441; i < dstChannels * 441; ++i)
                    extraSilent &= frame.p_data[i] == 0.f;
                for (int c = 0; c < dstChannels && t > 10.0; ++c)
                    played[size_t(c)].insert(played[size_t(c)].end(), frame.p_data + c * 441,
                                             frame.p_data + (c + 1) * 441);
            });
        EXPECT_TRUE(shaped);
        EXPECT_TRUE(extraSilent);
        for (int c = 0; c < std::min(srcChannels, dstChannels); ++c) {
            played[size_t(c)].resize(44100);
            // Within 100 ppm: the target level still settles slowly at this point.
            const auto [freq, amp] = measureSine(played[size_t(c)], 44100, 1000.0 * (c + 1));
            EXPECT_NEAR(freq, 1000.0 * (c + 1), 0.1 * (c + 1)) << c;
            EXPECT_NEAR(20 * std::log10(amp * (c + 1) / 0.5), 0.0, 0.05) << c;
        }
        EXPECT_EQ(fs.stats().underruns, 0u);
    }
}

// Same rates and one clock: the samples come out untouched, in order, whatever the blocks.
TEST(FrameSync, EqualRatesPassSamplesBitExact)
{
    for (auto [srcBlock, dstBlock] : {std::pair{256, 256}, {480, 256}, {64, 2048}, {2048, 32}}) {
        FrameSync fs;
        veltrin::test::SignalChecker checker(2);
        simulate(fs, Side{48000, 2, srcBlock}, Side{48000, 2, dstBlock}, 20.0,
                 veltrin::test::signalValue,
                 [&, dstBlock = dstBlock](double, const NDIlib_audio_frame_v2_t &frame) {
                     checker.feed(frame.p_data, dstBlock, dstBlock);
                 });
        EXPECT_GT(checker.exact(), 48000 * 19) << srcBlock << "/" << dstBlock;
        EXPECT_EQ(checker.wrong() + checker.jumps(), 0) << srcBlock << "/" << dstBlock;
        EXPECT_FALSE(fs.stats().resampling);
    }
}

// Clock drift held for hours: no underrun or overrun, and the fill level within 0.5 ms of its
// target from 10 s on.
TEST(FrameSync, TracksDriftForEightHours)
{
    for (double ppm : {1000.0, -1000.0}) {
        FrameSync fs;
        double worstAfterLock = 0, nextCheck = 10.0;
        simulate(
            fs, Side{8000, 1, 256, 1.0 / (1.0 + ppm * 1e-6)}, Side{8000, 1, 256}, 8 * 3600.0,
            [](int64_t, int) { return 0.25f; },
            [&](double t, const NDIlib_audio_frame_v2_t &) {
                if (t < nextCheck)
                    return;
                nextCheck += 1.0;
                const auto st = fs.stats();
                worstAfterLock = std::max(worstAfterLock, std::abs(st.fillMs - st.targetMs));
            });
        const auto st = fs.stats();
        EXPECT_EQ(st.underruns + st.overruns + st.resyncs, 0u) << ppm;
        EXPECT_LE(worstAfterLock, 0.5) << ppm;
        EXPECT_NEAR(st.correctionPpm, ppm, 50) << ppm;
    }
}

namespace {

constexpr double kTone = 1000.0;

// Plays a 1 kHz tone across two clocks and watches every played sample: a pure tone obeys
// x[n+1] = 2 cos(w) x[n] - x[n-1], so a jump in phase (0.015 sample or more), a gap or a click
// shows as a residual; the drift loop's ratio changes stay far below that.
struct TwoClockRun {
    int64_t breaks = 0;          // residuals over the threshold after `from`
    uint64_t underrunsAfter = 0; // short blocks after `from`
    // ms, once a second from 5 s on (locked) or from `from` if later
    double lowestFill = 1e9, highestFill = -1e9, worstError = 0;
    double largestStep = 0;     // ppm: the largest change of the correction between two pulls
    int64_t longestSilence = 0; // samples, after `from`
    FrameSyncStats last;
};

TwoClockRun runTwoClocks(double ppm, int srcBlock, int dstRate, int dstBlock, double seconds,
                         double from, const std::function<double(int64_t)> &delay,
                         const FrameSyncConfig &config = {},
                         const std::function<double(double)> &pause = nullptr)
{
    FrameSync fs(config);
    const double w = 2 * M_PI * kTone * (1 + ppm * 1e-6) / dstRate;
    TwoClockRun run;
    float x1 = 0, x2 = 0;              // the two samples before
    int64_t sounding = 0, silence = 0; // samples since the last silence; zeros in a row
    double nextCheck = std::max(from, 5.0), lastCorrection = 0;
    uint64_t underrunsAtFrom = 0;
    bool counted = false;
    simulate(
        fs, Side{48000, 1, srcBlock, 1.0 / (1.0 + ppm * 1e-6)}, Side{dstRate, 1, dstBlock}, seconds,
        [](int64_t f, int) { return sine(f, kTone, 48000); },
        [&](double t, const NDIlib_audio_frame_v2_t &frame) {
            for (int i = 0; i < dstBlock; ++i) {
                const float x = frame.p_data[i];
                sounding = x == 0.f && x1 == 0.f ? 0 : sounding + 1;
                silence = x == 0.f ? silence + 1 : 0;
                if (t >= from)
                    run.longestSilence = std::max(run.longestSilence, silence);
                if (t >= from && sounding > 2 && std::abs(x - 2 * std::cos(w) * x1 + x2) > 1e-3)
                    ++run.breaks;
                x2 = x1;
                x1 = x;
            }
            const auto st = fs.stats();
            if (t >= from) {
                if (!counted)
                    underrunsAtFrom = st.underruns;
                counted = true;
                run.largestStep =
                    std::max(run.largestStep, std::abs(st.correctionPpm - lastCorrection));
                if (t >= nextCheck) {
                    nextCheck += 1.0;
                    run.lowestFill = std::min(run.lowestFill, st.fillMs);
                    run.highestFill = std::max(run.highestFill, st.fillMs);
                    run.worstError = std::max(run.worstError, std::abs(st.fillMs - st.targetMs));
                }
            }
            lastCorrection = st.correctionPpm;
        },
        delay, pause);
    run.last = fs.stats();
    run.underrunsAfter = run.last.underruns - underrunsAtFrom;
    return run;
}

// Up to half a millisecond of network jitter on every block.
std::function<double(int64_t)> jitter()
{
    auto lcg = std::make_shared<Lcg>();
    return [lcg](int64_t) { return 0.0002 + 0.0005 * lcg->next(); };
}

} // namespace

// Two clocks apart, with jitter: the stream switches to resampling without a seam, locks, and
// plays the tone without a break; the level holds at a device block plus the look-ahead plus
// the reserve; the ratio moves by no more than its slew (27 ppm per 256-frame pull at 48 kHz).
// The same after an event at 20 s:
// - the source goes away for a second: silence meanwhile, then it plays on from the paces and
//   the reserve it had, its level back at its target within 2 s;
// - the device stalls for 100 ms: what the source sent meanwhile is dropped at once, so the
//   level is back within a second instead of played off slowly;
// - the sending device loses a period: every later block comes a period later than the line of
//   arrivals says. That is a step of the flow, not lateness, so the reserve stays, whether the
//   line finds the step by itself (2 ms) or the first short block tells it (20 ms, too far off
//   for a step).
TEST(FrameSync, TwoClocksLockWithoutDiscontinuity)
{
    enum class Event { None, Gone, Stall, Step };
    struct Case {
        double ppm;
        int srcBlock, dstRate, dstBlock;
        double from; // s: checked from here (0: from the first sound, through the switch)
        Event event = Event::None;
        double maxError = 0.5; // ms: the level's largest distance from its target
        double stepMs = FrameSyncConfig().stepMs;
    };
    for (const Case c : {Case{187, 256, 48000, 256, 0}, Case{-187, 256, 48000, 256, 3},
                         Case{1000, 256, 48000, 256, 3}, Case{-1000, 128, 48000, 256, 3},
                         Case{187, 256, 44100, 256, 0}, Case{187, 256, 48000, 64, 0},
                         Case{187, 256, 48000, 256, 23, Event::Gone, 0.4},
                         Case{187, 256, 48000, 256, 21, Event::Stall, 1.0},
                         Case{187, 256, 48000, 256, 25, Event::Step, 0.5, 2.0},
                         Case{187, 256, 48000, 256, 25, Event::Step, 0.5, 20.0}}) {
        FrameSyncConfig config;
        config.stepMs = c.stepMs;
        bool stalled = false;
        const auto run = runTwoClocks(
            c.ppm, c.srcBlock, c.dstRate, c.dstBlock, 45, c.from,
            [&, base = jitter()](int64_t k) {
                const double period = double(c.srcBlock) / 48000, t = double(k) * period;
                if (c.event == Event::Step)
                    return 0.004 + base(k) + (t >= 20 ? period : 0.0);
                return c.event == Event::Gone && t >= 20 && t < 21 ? -1.0 : base(k);
            },
            config,
            [&](double t) {
                return c.event == Event::Stall && t > 20 && !std::exchange(stalled, true) ? 0.1
                                                                                          : 0.0;
            });
        const std::string what = std::to_string(c.ppm) + " ppm, " + std::to_string(c.dstRate) + "/"
                                 + std::to_string(c.dstBlock) + ", event "
                                 + std::to_string(int(c.event)) + ", step "
                                 + std::to_string(c.stepMs);
        EXPECT_EQ(run.breaks, 0) << what;
        EXPECT_EQ(run.underrunsAfter, 0u) << what;
        EXPECT_TRUE(run.last.underruns > 0 || c.event != Event::Gone) << what;
        EXPECT_TRUE(run.last.resampling) << what;
        EXPECT_NEAR(run.last.driftPpm, c.ppm, 10) << what;
        EXPECT_LE(run.worstError, c.maxError) << what;
        EXPECT_LE(run.highestFill - run.lowestFill, 1.0) << what;
        // A device block, 0.25 ms of look-ahead, 0.3 ms of margin and the jitter's spread.
        const double blockMs = 1e3 * c.dstBlock / c.dstRate;
        EXPECT_LE(run.last.targetMs, blockMs + 0.25 + 0.3 + 0.55) << what;
        EXPECT_LE(run.largestStep, 5000.0 * c.dstBlock / c.dstRate + 1) << what;
    }
}

// The figures a receiver hands out follow its synchroniser: a known drift shows in ppm with the
// clock resampling, equal clocks copy, and 100 ms that never came show as underruns.
TEST(FrameSync, FiguresShowTheDriftTheClockAndTheUnderruns)
{
    for (const double ppm : {0.0, 300.0, -300.0}) {
        FrameSync fs;
        const double period = 256.0 / 48000;
        simulate(
            fs, Side{48000, 2, 256, 1.0 / (1.0 + ppm * 1e-6)}, Side{48000, 2, 256}, 30.0,
            [](int64_t frame, int) { return sine(frame, 440, 48000); },
            [](double, const NDIlib_audio_frame_v2_t &) {},
            [&](int64_t k) {
                const double t = double(k) * period;
                return t >= 20 && t < 20.1 ? -1.0 : 0.001;
            });
        const VeltrinNdiFigures f = receiverFigures("S (x)", ReceiverStats{}, &fs);
        const std::string what = std::to_string(ppm) + " ppm";
        EXPECT_STREQ(f.name, "S (x)") << what;
        EXPECT_EQ(f.kind, VeltrinNdi_receiver) << what;
        EXPECT_TRUE(f.available & VeltrinNdi_has_clock) << what;
        EXPECT_EQ(f.clockMode, ppm == 0 ? VeltrinNdi_clock_copying : VeltrinNdi_clock_resampling)
            << what;
        EXPECT_NEAR(f.driftPpm, ppm, 10) << what;
        EXPECT_GT(f.underruns, 0u) << what;
        // Two blocks and the reserve at most, in ms of the source.
        EXPECT_GT(f.latencyMs, 0.0) << what;
        EXPECT_LT(f.latencyMs, 2 * 1e3 * period + 2) << what;
        EXPECT_GT(f.reserveMs, 0.0) << what;
    }
    // Without a synchroniser there is nothing to say of the clock.
    EXPECT_EQ(receiverFigures("S", ReceiverStats{}, nullptr).available & VeltrinNdi_has_clock, 0u);
}

// Every block delayed by up to 6 ms, more than the reserve is ever raised for: a block partly
// there is read more slowly instead of running short, so after lock nothing is silenced.
TEST(FrameSync, JitterBeyondTheReserveIsSpannedNotSilenced)
{
    auto lcg = std::make_shared<Lcg>();
    const auto run = runTwoClocks(187, 256, 48000, 256, 60, 15,
                                  [lcg](int64_t) { return 0.0002 + 0.006 * lcg->next(); });
    EXPECT_EQ(run.underrunsAfter, 0u);
    EXPECT_EQ(run.longestSilence, 0);
    EXPECT_GT(run.last.stretched, 0u);
    EXPECT_LE(run.worstError, 1.0);
    EXPECT_NEAR(run.last.targetMs, 256 / 48.0 + 12 / 48.0 + 0.3 + 4.0, 0.05);
}

// Blocks come 5 ms late for 0.3 s: the tone breaks off and resumes exactly where it stopped
// (a ramp tells the source frame of every sample), the extra level is played off by resampling
// within seconds, and the reserve stays where it was, as this lateness did not come again.
TEST(FrameSync, LevelComesBackDownAfterLateBurst)
{
    FrameSync fs;
    auto base = jitter();
    const int64_t burstFrom = int64_t(20.0 * 48000 / 256), burstTo = int64_t(20.3 * 48000 / 256);
    double targetBefore = 0, fillAt26 = 0, targetAt26 = 0, worstResume = 0;
    float beforeGap = 0, last = 0;
    int64_t gaps = 0;
    bool inGap = false;
    simulate(
        fs, Side{48000, 1, 256, 1.0 / (1.0 + 187e-6)}, Side{48000, 1, 256}, 30,
        [](int64_t f, int) { return float(f) * 1e-6f; },
        [&](double t, const NDIlib_audio_frame_v2_t &frame) {
            for (int i = 0; i < 256; ++i) {
                const float x = frame.p_data[i];
                if (t > 10 && x == 0.f && !inGap) {
                    inGap = true;
                    beforeGap = last;
                    ++gaps;
                } else if (inGap && x != 0.f) {
                    inGap = false;
                    worstResume = std::max(worstResume, double(x - beforeGap) * 1e6);
                }
                last = x != 0.f ? x : last;
            }
            const auto st = fs.stats();
            targetBefore = t < 19.9 ? st.targetMs : targetBefore;
            fillAt26 = t < 26 ? st.fillMs : fillAt26;
            targetAt26 = t < 26 ? st.targetMs : targetAt26;
        },
        [&](int64_t k) { return base(k) + (k >= burstFrom && k < burstTo ? 0.005 : 0.0); });
    EXPECT_GE(gaps, 1);
    EXPECT_LT(worstResume, 2.0); // frames: the next sample, not a jump over dropped ones
    EXPECT_NEAR(fillAt26, targetAt26, 0.5);
    EXPECT_NEAR(targetAt26, targetBefore, 0.1);
    EXPECT_EQ(fs.stats().overruns, 0u);
}

namespace {

// One clock for both sides, as on a single JACK server: cycle j starts at cycles(j); the sender
// captures a block in cycle j and it arrives `delay(j)` later; the receiver pulls a block in
// every cycle, `pullAfter` into it. Returns, for every frame played after the first sound,
// its latency in frames (-1 for silence).
std::vector<double> runOneClock(FrameSync &fs, int block, double seconds, double pullAfter,
                                const std::function<double(int64_t)> &cycles,
                                const std::function<double(int64_t)> &delay)
{
    std::vector<float> data(size_t(block), 0.f);
    std::vector<double> latency;
    int64_t sent = 0;
    bool started = false;
    for (int64_t j = 0; cycles(j) < seconds; ++j) {
        const double pullAt = cycles(j) + pullAfter;
        while (cycles(sent) + delay(sent) <= pullAt) {
            for (int i = 0; i < block; ++i)
                data[size_t(i)] = float((sent * block + i) % 32768 + 1) / 32768.f;
            fs.push(data.data(), block, 1, block, 48000, cycles(sent) + delay(sent));
            ++sent;
        }
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, 48000, 1, block, pullAt);
        for (int i = 0; i < block; ++i) {
            const float v = frame.p_data[i];
            started = started || v != 0.f;
            if (started && v == 0.f)
                latency.push_back(-1);
            if (!started || v == 0.f)
                continue;
            // The sample's frame number, modulo the code's period, gives its capture time.
            const int64_t played = j * block + i;
            const int64_t code = int64_t(std::lround(v * 32768.f)) - 1;
            latency.push_back(double(((played - code) % 32768 + 32768) % 32768));
        }
    }
    return latency;
}

} // namespace

// On one clock the synchroniser holds a block plus a small reserve, whatever the network delay
// and its jitter as long as blocks come within their cycle, and the latency stays put. The same
// when blocks come 3 ms later for 5 s (a loaded machine): the level leaves its band for less
// than the hold, so the stream stays copied.
TEST(FrameSync, OneClockLatencyIsOneBlockPlusReserve)
{
    for (const auto &[block, loaded] :
         {std::pair{64, false}, {256, false}, {1024, false}, {256, true}}) {
        FrameSync fs;
        const double period = block / 48000.0;
        Lcg lcg;
        std::vector<double> delays; // 10 % to 60 % of a cycle, in a fixed pseudo-random order
        auto delay = [&, block = block, loaded = loaded](int64_t k) {
            while (delays.size() <= size_t(k))
                delays.push_back(period * (0.1 + 0.5 * lcg.next()));
            const double t = double(k) * period;
            return loaded ? (t >= 3 && t < 8 ? 0.003 : 0.0) + 0.3 * period : delays[size_t(k)];
        };
        const auto latency = runOneClock(
            fs, block, 20.0, 0.02 * period, [&](int64_t j) { return double(j) * period; }, delay);
        ASSERT_GT(latency.size(), size_t(48000 * 19)) << block;
        const auto [lowest, highest] = std::minmax_element(latency.begin(), latency.end());
        EXPECT_GE(*lowest, block) << block; // no silence once playing, a block at least
        EXPECT_EQ(*lowest, *highest) << block;
        EXPECT_LE(*lowest, block + 0.3e-3 * 48000 + 1) << block;
        EXPECT_EQ(fs.stats().underruns, 0u) << block;
        EXPECT_FALSE(fs.stats().resampling) << block;
    }
}

// A stall costs silence, never latency, on one clock: the device stalls for 40 ms and runs two
// cycles back to back (a JACK xrun), so a block reaches the receiver after its next pull; or
// the producer stalls for 100 ms and then everything it owed arrives at once.
TEST(FrameSync, StallsCostSilenceButNoLatency)
{
    const int block = 256;
    const double period = block / 48000.0;
    const int64_t stallAt = 1000;
    auto deviceStall = [&](int64_t j) {
        if (j <= stallAt)
            return double(j) * period + (j == stallAt ? 0.040 : 0.0);
        return double(stallAt) * period + 0.040 + 300e-6 + double(j - stallAt - 1) * period;
    };
    auto steady = [&](int64_t j) { return double(j) * period; };
    auto burst = [&](int64_t k) {
        const double t = double(k) * period;
        return t > 5.0 && t < 5.1 ? 5.1 - t : 0.3 * period;
    };
    const struct {
        std::function<double(int64_t)> cycles, delay;
        int64_t longestSilence;
    } cases[] = {{deviceStall, [&](int64_t) { return 0.3 * period; }, block},
                 {steady, burst, int64_t(0.1 * 48000) + 2 * block}};
    for (const auto &c : cases) {
        FrameSync fs;
        const auto latency = runOneClock(fs, block, 10.0, 10e-6, c.cycles, c.delay);
        ASSERT_GT(latency.size(), size_t(48000 * 9));
        int64_t longest = 0, run = 0;
        for (double l : latency)
            longest = std::max(longest, run = l < 0 ? run + 1 : 0);
        EXPECT_GE(fs.stats().underruns, 1u);
        EXPECT_GT(longest, 0);
        EXPECT_LE(longest, c.longestSilence);
        EXPECT_EQ(latency.back(), latency[size_t(block) * 500]);
        EXPECT_LE(latency.back(), block + 0.3e-3 * 48000 + 1);
        EXPECT_FALSE(fs.stats().resampling);
    }
}

// The device's cycle grows from one block to four for five seconds, then shrinks back (another
// client of a PipeWire graph asked for a longer quantum and left): four pulls come back to back
// at each long cycle's start, and the sender's blocks come four at a time too. The change costs
// the silence of one long cycle; then the stream plays the longer cycle without a gap, and back
// on short cycles it is at once where it was, copied untouched throughout.
TEST(FrameSync, ALongerDeviceCycleCostsOneGapAndIsUndoneAfter)
{
    const int block = 256;
    const double period = block / 48000.0;
    const int64_t from = 4 * int64_t(5.0 / period / 4), to = from + 4 * int64_t(5.0 / period / 4);
    auto cycles = [&](int64_t j) {
        return double(j < from || j >= to ? j : from + (j - from) / 4 * 4) * period;
    };
    FrameSync fs;
    const auto latency =
        runOneClock(fs, block, 15.0, 0.02 * period, cycles, [&](int64_t) { return 0.3 * period; });
    ASSERT_GT(latency.size(), size_t(48000 * 14));
    const size_t silent = size_t(std::count(latency.begin(), latency.end(), -1.0));
    EXPECT_GT(silent, 0u);
    EXPECT_LE(silent, size_t(3 * block));
    EXPECT_LE(fs.stats().underruns, 3u);
    const double before = latency[size_t(block) * 500];
    EXPECT_EQ(latency.back(), before);
    // While the cycles are long, a long cycle at least and no more than the change, steady.
    const size_t mid = size_t(double(from + to) / 2) * size_t(block);
    EXPECT_GE(latency[mid], 4 * block);
    EXPECT_LE(latency[mid], before + 3 * block);
    EXPECT_EQ(latency[mid + 48000], latency[mid]);
    EXPECT_FALSE(fs.stats().resampling);
}

// Blocks that now and then come a cycle and a half late: a burst of them and the first of a
// series cost short silences and no latency; the next one of the series, seconds later, raises
// the reserve by what was missing, and from then on the same lateness is covered. Once the
// series has stopped for giveBackSeconds the raise is played off, with no silence, and the
// samples are copied untouched again at the latency of the start.
TEST(FrameSync, RepeatedLateBlocksRaiseTheReserveUntilTheyStop)
{
    const int block = 256;
    const double period = block / 48000.0;
    FrameSyncConfig config;
    config.giveBackSeconds = 20;
    FrameSync fs(config);
    const auto latency = runOneClock(
        fs, block, 45.0, 0.02 * period, [&](int64_t j) { return double(j) * period; },
        [&](int64_t k) {
            // A burst of three, 20 ms apart, at 1.3 s; then one every 2.7 s from 4 s to 10 s
            // (the first raises the reserve: it comes within seconds of the burst).
            const bool burst = k == 250 || k == 254 || k == 258;
            const bool series = k > 500 && k < 1900 && k % 500 == 250;
            return (burst || series ? 1.5 : 0.3) * period;
        });
    ASSERT_GT(latency.size(), size_t(48000 * 44));
    const double reserve = 0.3e-3 * 48000;
    auto at = [&](double t) { return latency[size_t(t * 48000)]; };
    EXPECT_LE(at(3), block + reserve + 1); // after the burst
    EXPECT_GE(at(20), 2 * block);
    EXPECT_LE(at(20), 2 * block + reserve + 1);
    EXPECT_EQ(fs.stats().underruns, 4u); // the burst of three and the one that raised it
    EXPECT_EQ(std::count(latency.begin() + 48000 * 5, latency.end(), -1.0), 0);
    EXPECT_EQ(latency.back(), at(3));
    // Played off over seconds (a pitch change nobody hears), not cut at once.
    const auto from = std::find_if(latency.begin() + 48000 * 20, latency.end(),
                                   [&](double l) { return l != at(20); });
    const auto to =
        std::find_if(latency.rbegin(), latency.rend(), [&](double l) { return l != at(3); });
    EXPECT_GT(to.base() - from, 48000 * 3);
    EXPECT_TRUE(std::all_of(latency.begin() + 48000 * 40, latency.end(),
                            [&](double l) { return l == latency.back(); }));
    EXPECT_FALSE(fs.stats().resampling);
}

// Arrivals 187 ppm fast with up to 1 ms of jitter: the fitted pace is within a few ppm and the
// line runs along the earliest arrivals. The flow then moves by 40 ms: half a second of late
// points is left out, then the line starts again from them with the pace it had.
TEST(FrameSyncParts, LineFitFollowsPaceAndSteps)
{
    const double rate = 48000 * (1 + 187e-6);
    LineFit fit(48000, LineFit::Config{30, 1.0, 0.02, 0.5});
    Lcg lcg;
    double t = 100;
    for (int k = 0; k < 187 * 20; ++k, t += 256 / rate)
        fit.add(t + 0.001 * lcg.next(), 256.0 * k);
    EXPECT_NEAR(fit.slope() / 48000 - 1, 187e-6, 5e-6);
    EXPECT_LT(fit.slopeError() / 48000, 5e-6);
    EXPECT_NEAR(fit.valueAt(t - 256 / rate), 256.0 * (187 * 20 - 1), 0.0002 * 48000);
    int leftOut = 0;
    for (int k = 187 * 20; k < 187 * 22; ++k, t += 256 / rate)
        leftOut += fit.add(t + 0.040 + 0.001 * lcg.next(), 256.0 * k) ? 0 : 1;
    EXPECT_NEAR(leftOut, 0.5 * 187, 3);
    EXPECT_NEAR(fit.valueAt(t + 0.040), 256.0 * (187 * 22), 0.0005 * 48000);
    EXPECT_NEAR(fit.slope() / 48000 - 1, 187e-6, 5e-6);
}

// Phase 0 of the full-band kernel is the identity; every phase has unity gain at DC; a sine is
// interpolated at fractional positions to within -70 dB up to 10 kHz at 48 kHz, centred on x.
TEST(FrameSyncParts, SincInterpolatorIsExactAndCentred)
{
    constexpr int kTaps = SincInterpolator::kTaps;
    const SincInterpolator full(1.0);
    float c[kTaps];
    full.coefficients(0.0, c);
    for (int k = 0; k < kTaps; ++k)
        EXPECT_EQ(c[k], k == SincInterpolator::kBefore ? 1.f : 0.f) << k;
    for (double frac = 0; frac < 1; frac += 0.0371) {
        full.coefficients(frac, c);
        double sum = 0;
        for (float v : c)
            sum += v;
        EXPECT_NEAR(sum, 1.0, 1e-5) << frac;
    }
    for (double freq : {1000.0, 10000.0}) {
        double worst = 0;
        for (double frac = 0.013; frac < 1; frac += 0.05) {
            full.coefficients(frac, c);
            double y = 0;
            for (int k = 0; k < kTaps; ++k)
                y += c[k]
                     * std::sin(2 * M_PI * freq * (100 + k - SincInterpolator::kBefore) / 48000);
            worst = std::max(worst, std::abs(y - std::sin(2 * M_PI * freq * (100 + frac) / 48000)));
        }
        EXPECT_LT(worst, std::pow(10, -70 / 20.0)) << freq;
    }
}

// Lateness raises the reserve only when it comes in two different slots, never beyond the cap,
// and is forgotten once the slots it came in have passed.
TEST(FrameSyncParts, LatenessKeptOnlyWhenItComesAgain)
{
    for (const double slot : {1.0, 10.0}) {
        LatenessPolicy policy(LatenessPolicy::Config{1.0, 10.0, 0.004, slot});
        auto steady = [&](double from, double to, double late) {
            for (double t = from; t < to; t += 0.01)
                policy.measured(t * slot, late);
        };
        steady(0, 10, 0.0003);
        policy.measured(10.5 * slot, 0.003);
        EXPECT_NEAR(policy.keptLateness(), 0.0003, 1e-9) << slot;
        policy.measured(12.5 * slot, 0.002);
        EXPECT_NEAR(policy.keptLateness(), 0.002, 1e-9) << slot;
        policy.measured(13.5 * slot, 0.009);
        policy.measured(14.5 * slot, 0.009);
        EXPECT_NEAR(policy.keptLateness(), 0.004, 1e-9) << slot;
        steady(15, 75, 0.0001);
        EXPECT_NEAR(policy.keptLateness(), 0.004, 1e-9) << slot;
        steady(75, 80, 0.0001);
        EXPECT_NEAR(policy.keptLateness(), 0.0001, 1e-9) << slot;
    }
}

// Copy or resample: unequal rates resample at once; a drift that stays clear long enough once the
// fits have run a second resamples; one clear only for a moment, an unclear one, or one below the
// tilt a changing load gives, waits; none copies for good after the decision time, unless the
// level later walks out of its band for longer than the hold (2 s here, from 7.5 s on).
TEST(FrameSyncParts, ClockDecisionTakenOnceFromTheDrift)
{
    using Mode = ClockDecision::Mode;
    constexpr Mode U = Mode::Undecided, C = Mode::Copy, R = Mode::Resample;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        bool equal;
        double drift, error;     // measured, and its standard error
        double levelError;       // s, from 7.5 s on
        std::vector<Mode> at;    // at 0, 3, 7, 9 and 10 s
        double clearUntil = 1e9; // s: the drift reads as above until then, 0 after
    };
    for (const Case &c : {
             Case{false, 0, inf, 0, {R, R, R, R, R}},
             Case{true, 187e-6, 10e-6, 0, {U, R, R, R, R}},
             Case{true, 187e-6, 10e-6, 0, {U, U, C, C, C}, 2.4},
             Case{true, 187e-6, 60e-6, 0, {U, U, C, C, C}},
             Case{true, 40e-6, 1e-6, 0, {U, U, C, C, C}},
             Case{true, 1e-6, 1e-6, 0.003, {U, U, C, C, R}},
         }) {
        ClockDecision decision(ClockDecision::Config{80e-6, 5.0, 1.0, 6.0, 2.5, 0.002, 2.0});
        decision.reset(c.equal);
        std::vector<Mode> seen;
        for (int i = 0; i <= 1000; ++i) {
            const double t = i * 0.01, span = std::max(0.0, t - 0.5);
            // Before the fit has its slope, no drift is known.
            const double drift = span < 1 || t >= c.clearUntil ? 0 : c.drift;
            decision.update(span, drift, span < 1 ? inf : c.error, t >= 7.5 ? c.levelError : 0,
                            0.01);
            if (i == 0 || i == 300 || i == 700 || i == 900 || i == 1000)
                seen.push_back(decision.mode());
        }
        EXPECT_EQ(seen, c.at) << c.equal << " " << c.drift << " " << c.error << " " << c.levelError;
    }
}
