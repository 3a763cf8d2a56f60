// The frame synchroniser on a virtual clock: blocks arrive and the device pulls at the times a
// test gives, with no sleeping; one scenario per behaviour a listener hears, and the parts that
// hold its policies as tables.
#include "FrameSync.h"

#include "StreamFigures.h"
#include "TestSignal.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

using namespace veltrin::rt;

namespace {

using Times = std::function<double(int64_t)>;

struct Side {
    int rate, channels, block;
};

// Block k of `src` (frame f of channel c is signal(f, c)) reaches `fs` at arrival(k), in order;
// pull j of `dst` comes at pull(j), until `seconds`.
void drive(FrameSync &fs, const Side &src, const Side &dst, double seconds, const Times &arrival,
           const Times &pull, const std::function<float(int64_t, int)> &signal,
           const std::function<void(double, const float *)> &played)
{
    std::vector<float> block(size_t(src.block) * size_t(src.channels));
    double last = 0;
    for (int64_t j = 0, k = 0; pull(j) < seconds; ++j) {
        for (; (last = std::max(last, arrival(k))) <= pull(j); ++k) {
            for (int c = 0; c < src.channels; ++c)
                for (int i = 0; i < src.block; ++i)
                    block[size_t(c * src.block + i)] = signal(k * src.block + i, c);
            fs.push(block.data(), src.block, src.channels, src.block, src.rate, last);
        }
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, dst.rate, dst.channels, dst.block, pull(j));
        played(pull(j), frame.p_data);
    }
}

// A clock ticking every `period` nominal seconds from `offset`, `ppm` fast.
Times ticks(double period, double ppm = 0, double offset = 0)
{
    return [=](int64_t k) { return offset + double(k) * period / (1 + ppm * 1e-6); };
}

// Network delay: 0.2 ms plus up to 0.5 ms, the same for block k on every run.
double delay(int64_t k)
{
    const uint64_t h = (uint64_t(k) + 1) * 0x9E3779B97F4A7C15ull;
    return 0.0002 + 0.0005 * double((h ^ (h >> 29)) % 1000000) / 1e6;
}

// One clock, mono 48 kHz blocks of 256 on both sides; every sample tells its frame number.
// Returns the latency in frames of every frame played after the first sound (-1: silence).
std::vector<double> latencies(FrameSync &fs, double seconds, const Times &arrival,
                              const Times &pull)
{
    std::vector<double> out;
    int64_t played = 0;
    drive(
        fs, {48000, 1, 256}, {48000, 1, 256}, seconds, arrival, pull,
        [](int64_t f, int) { return float(f % 32768 + 1) / 32768.f; },
        [&](double, const float *x) {
            for (int i = 0; i < 256; ++i, ++played) {
                const auto code = int64_t(std::lround(x[i] * 32768.f)) - 1;
                if (x[i] != 0.f || !out.empty())
                    out.push_back(x[i] == 0.f ? -1 : double((played - code) % 32768));
            }
        });
    return out;
}

} // namespace

// Silence before any audio; then 48 kHz pulled at 44.1 kHz: every source channel on its own
// channel at its frequency and level, extra channels silent, surplus source channels dropped.
TEST(FrameSync, ConvertsRateAndMapsChannels)
{
    for (auto [from, to] : {std::pair{2, 8}, {6, 2}}) {
        FrameSync fs;
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, 44100, to, 441);
        EXPECT_EQ(std::count(frame.p_data, frame.p_data + to * 441, 0.f), to * 441);
        // Per channel, the amplitude at its frequency over the last second: 0.05 dB off at
        // most, which also holds the frequency to within 0.05 Hz.
        std::complex<double> sum[8] = {};
        bool extraSilent = true;
        int64_t n = 0;
        drive(
            fs, {48000, from, 256}, {44100, to, 441}, 8.0, ticks(256 / 48000.0), ticks(0.01),
            [](int64_t f, int c) {
                return 0.5f / float(c + 1) * float(std::sin(2e3 * M_PI * (c + 1) * f / 48000.0));
            },
            [&, from = from, to = to](double t, const float *x) {
                extraSilent &= std::count(x + std::min(from, to) * 441, x + to * 441, 0.f)
                               == (to - std::min(from, to)) * 441;
                for (int i = 0; i < 441 && t >= 7.0; ++i, ++n)
                    for (int c = 0; c < std::min(from, to); ++c)
                        sum[c] += double(x[c * 441 + i])
                                  * std::polar(1.0, 2e3 * M_PI * (c + 1) * double(n) / 44100);
            });
        EXPECT_TRUE(extraSilent);
        for (int c = 0; c < std::min(from, to); ++c)
            EXPECT_NEAR(20 * std::log10(std::abs(sum[c]) * 4 / double(n) * (c + 1)), 0, 0.05) << c;
        EXPECT_EQ(fs.stats().underruns, 0u);
    }
}

// Same rates and one clock: the samples come out untouched and in order, whatever the blocks,
// and the figures say the stream is copied.
TEST(FrameSync, EqualRatesPassSamplesBitExact)
{
    for (auto [in, out] : {std::pair{480, 256}, {64, 2048}, {2048, 32}}) {
        FrameSync fs;
        veltrin::test::SignalChecker checker(2);
        drive(fs, {48000, 2, in}, {48000, 2, out}, 10.0, ticks(in / 48000.0, 0, 0.0005),
              ticks(out / 48000.0), veltrin::test::signalValue,
              [&, out = out](double, const float *x) { checker.feed(x, out, out); });
        EXPECT_GT(checker.exact(), 48000 * 9) << in << "/" << out;
        EXPECT_EQ(checker.wrong() + checker.jumps(), 0) << in << "/" << out;
        const VeltrinNdiFigures f = receiverFigures("S", ReceiverStats{}, &fs);
        EXPECT_EQ(f.clockMode, VeltrinNdi_clock_copying);
    }
}

// Two clocks apart, with jitter: the stream switches to resampling without a seam, locks, and
// plays a 1 kHz tone without a break (a pure tone obeys x[n+1] = 2 cos(w) x[n] - x[n-1], so a
// jump in phase, a gap or a click shows); the level holds at a device block plus the look-ahead
// plus the reserve. The same after the device stalls for 100 ms at 15 s: what came meanwhile is
// dropped at once, so the level is back at once.
TEST(FrameSync, TwoClocksLockWithoutDiscontinuity)
{
    struct Case {
        double ppm;
        int srcBlock, dstRate;
        double from; // s: checked from here (0: through the switch)
        bool stall;
    };
    for (const Case c : {Case{187, 256, 48000, 0, false},
                         {-1000, 128, 48000, 3, false},
                         {187, 256, 44100, 0, false},
                         {187, 256, 48000, 16, true}}) {
        SCOPED_TRACE(testing::Message() << c.ppm << " ppm to " << c.dstRate << ", " << c.stall);
        FrameSync fs;
        const double w = 2e3 * M_PI * (1 + c.ppm * 1e-6) / c.dstRate, period = 256.0 / c.dstRate;
        const Times made = ticks(c.srcBlock / 48000.0, c.ppm, 0.0005);
        float x1 = 0, x2 = 0;
        int64_t breaks = 0, sounding = 0;
        uint64_t underrunsBefore = 0;
        double worstError = 0;
        drive(
            fs, {48000, 1, c.srcBlock}, {c.dstRate, 1, 256}, 30.0,
            [&](int64_t k) { return made(k) + delay(k); },
            [&](int64_t j) { return double(j) * period + (c.stall && j * period > 15 ? 0.1 : 0); },
            [](int64_t f, int) {
                return 0.5f * float(std::sin(2e3 * M_PI * (f % 4800000) / 48e3));
            },
            [&](double t, const float *x) {
                for (int i = 0; i < 256; ++i) {
                    sounding = x[i] == 0.f && x1 == 0.f ? 0 : sounding + 1;
                    breaks += t >= c.from && sounding > 2
                              && std::abs(x[i] - 2 * std::cos(w) * x1 + x2) > 1e-3;
                    x2 = std::exchange(x1, x[i]);
                }
                const auto st = fs.stats();
                underrunsBefore = t < c.from ? st.underruns : underrunsBefore;
                if (t >= std::max(c.from, 5.0) && std::fmod(t, 1.0) < period) // once a second
                    worstError = std::max(worstError, std::abs(st.fillMs - st.targetMs));
            });
        const VeltrinNdiFigures f = receiverFigures("S", ReceiverStats{}, &fs);
        EXPECT_EQ(breaks, 0);
        EXPECT_EQ(f.underruns, underrunsBefore);
        EXPECT_EQ(f.clockMode, VeltrinNdi_clock_resampling);
        EXPECT_NEAR(f.driftPpm, c.ppm, 10);
        EXPECT_LE(worstError, c.stall ? 1.0 : 0.5);
        // A device block, 0.25 ms of look-ahead, 0.3 ms of margin and the jitter's spread.
        EXPECT_LE(f.reserveMs, 1e3 * period + 0.25 + 0.3 + 0.55);
    }
}

// A stall costs silence, never latency, on one clock: the device stalls for 40 ms and runs two
// cycles back to back (a JACK xrun), so a block reaches the receiver after its next pull; or
// the sender stalls for 100 ms and then everything it owed arrives at once.
TEST(FrameSync, StallsCostSilenceButNoLatency)
{
    const double period = 256 / 48000.0;
    const Times xrun = [&](int64_t j) {
        return double(j) * period + (j < 1000 ? 0 : j == 1000 ? 0.040 : 0.040 + 300e-6 - period);
    };
    const struct {
        Times cycles;
        std::function<double(double)> delay;
        int64_t longestSilence;
    } cases[] = {{xrun, [&](double) { return 0.3 * period; }, 256},
                 {ticks(period),
                  [&](double t) { return t > 5 && t < 5.1 ? 5.1 - t : 0.3 * period; },
                  4800 + 2 * 256}};
    for (const auto &c : cases) {
        FrameSync fs;
        const auto latency = latencies(
            fs, 10.0, [&](int64_t k) { return c.cycles(k) + c.delay(c.cycles(k)); },
            [&](int64_t j) { return c.cycles(j) + 10e-6; });
        int64_t longest = 0, run = 0;
        for (double l : latency)
            longest = std::max(longest, run = l < 0 ? run + 1 : 0);
        EXPECT_GT(longest, 0);
        EXPECT_LE(longest, c.longestSilence);
        EXPECT_EQ(latency.back(), latency.at(256 * 500));
        EXPECT_LE(latency.back(), 256 + 0.3e-3 * 48000 + 1);
        EXPECT_FALSE(fs.stats().resampling);
    }
}

// Blocks that now and then come a cycle and a half late: a burst of them and the first of a
// series cost short silences and no latency; the next one of the series, seconds later, raises
// the reserve by what was missing, and from then on the same lateness is covered. Once the
// series has stopped for giveBackSeconds the raise is played off over seconds, with no silence,
// and the samples are copied untouched again at the latency of the start.
TEST(FrameSync, RepeatedLateBlocksRaiseTheReserveUntilTheyStop)
{
    const double period = 256 / 48000.0, reserve = 0.3e-3 * 48000;
    FrameSyncConfig config;
    config.giveBackSeconds = 20;
    FrameSync fs(config);
    const auto latency = latencies(
        fs, 45.0,
        [&](int64_t k) {
            // A burst of three, 20 ms apart, at 1.3 s; then one every 2.7 s from 4 s to 10 s.
            const bool late =
                k == 250 || k == 254 || k == 258 || (k > 500 && k < 1900 && k % 500 == 250);
            return double(k) * period + (late ? 1.5 : 0.3) * period;
        },
        [&](int64_t j) { return double(j) * period + 0.02 * period; });
    ASSERT_GT(latency.size(), size_t(48000 * 44));
    auto at = [&](double t) { return latency[size_t(t * 48000)]; };
    EXPECT_LE(at(3), 256 + reserve + 1); // after the burst
    EXPECT_GE(at(20), 2 * 256);
    EXPECT_LE(at(20), 2 * 256 + reserve + 1);
    EXPECT_EQ(fs.stats().underruns, 4u); // the burst of three and the one that raised it
    EXPECT_EQ(std::count(latency.begin() + 48000 * 5, latency.end(), -1.0), 0);
    const auto from = std::find_if(latency.begin() + 48000 * 20, latency.end(),
                                   [&](double l) { return l != at(20); });
    const auto to =
        std::find_if(latency.rbegin(), latency.rend(), [&](double l) { return l != at(3); });
    EXPECT_GT(to.base() - from, 48000 * 3);
    EXPECT_EQ(latency.back(), at(3));
}

// Pulls are timed as the device plays them: a cycle of four blocks pulled back to back is no
// stall, and its length is known once it completed. A pull far later than its block is a stall,
// and the quick pulls after it are marked for eight blocks. The start then planned on paper
// leaves exactly `ahead` frames at the leanest pull seen, and only once the window was seen.
TEST(FrameSyncParts, PullsTimedAsTheDevicePlaysThem)
{
    const double dt = 256 / 48000.0;
    DeviceCycle device;
    StallWatch stall(8.0);
    const struct {
        double at, device;
        bool stalled, afterStall;
        double cycle;
    } pulls[] = {{0, 0, false, false, 0},
                 {1e-4, dt, false, false, 0},
                 {2e-4, 2 * dt, false, false, 0},
                 {3e-4, 3 * dt, false, false, 0},
                 {4 * dt, 4 * dt, false, false, 1024},
                 {4 * dt + 0.03, 4 * dt + 0.03, true, true, 256},
                 {5 * dt + 0.03, 5 * dt + 0.03, false, true, 256}};
    for (const auto &p : pulls) {
        const double now = device.pull(p.at, dt, 256);
        const StallWatch::Pull s = stall.pull(now, dt);
        EXPECT_EQ(std::tuple(now, s.stalled, s.afterStall, device.cycleFrames()),
                  std::tuple(p.device, p.stalled, p.afterStall, p.cycle))
            << p.at;
    }
    for (int j = 6; j < 14; ++j) {
        const bool afterStall = stall.pull(j * dt + 0.03, dt).afterStall;
        EXPECT_TRUE(j == 12 || afterStall == (j < 12)) << j; // 12: on the edge
    }

    StartPlanner planner;
    std::vector<double> writes;
    double start = 0;
    for (int j = 0; j < 19; ++j) { // 19 pulls span the 0.1 s window
        writes.push_back(1024.0 * (j / 4 + 1));
        EXPECT_EQ(planner.observe(writes.back(), 256, dt, 0.1, 40, start), j == 18) << j;
    }
    double leanest = 1e9;
    for (int j = 0; j < 19; ++j)
        leanest = std::min(leanest, writes[size_t(j)] - (start - (18 - j) * 256.0) - 256);
    EXPECT_EQ(leanest, 40);
}

// Copying, the target is the level settled at during the first half second, raised by a longer
// device cycle (then settled again); resampling, it is the resampled level, comes down from a
// raise by 0.1 ms a second, and follows a shorter cycle at once.
TEST(FrameSyncParts, PlayTargetFollowsTheLevelAndTheCycle)
{
    const double dt = 1.0 / 64;
    PlayTarget copy(PlayTarget::Config{});
    copy.start();
    EXPECT_TRUE(copy.update(300, dt, 256, false, 0, 48000).firstPull);
    for (int j = 1; j < 40; ++j)
        EXPECT_EQ(copy.update(300 + j % 2, dt, 256, false, 0, 48000).settling, j < 31) << j;
    const double settled = copy.value();
    EXPECT_NEAR(settled, 300.5, 0.1);
    EXPECT_EQ(copy.update(300, dt, 1024, false, 0, 48000).cycleChange, 768);
    EXPECT_EQ(copy.value(), settled + 768);
    EXPECT_TRUE(copy.update(1068, dt, 1024, false, 0, 48000).settling);

    PlayTarget resampled(PlayTarget::Config{});
    resampled.start();
    resampled.update(0, 0.01, 256, true, 500, 48000);
    EXPECT_EQ(resampled.value(), 500);
    resampled.update(0, 0.01, 256, true, 400, 48000);
    EXPECT_DOUBLE_EQ(resampled.value(), 500 - 1e-4 * 48000 * 0.01);
    EXPECT_EQ(resampled.update(0, 0.01, 128, true, 300, 48000).cycleChange, -128);
    EXPECT_EQ(resampled.value(), 300);
}

// What a late block costs. A copied stream's reserve, raised up to its cap, is given back after
// giveBackSeconds without a short block, at 0.1 % of the pace, and what is left when that ends
// stays. Owed silence is dropped as it comes, until it is forgiven for good. A resampled stream
// plays off a short run of silence, drops it once the run is long or follows a stall, and takes
// the source as gone after a quarter second; a block nearly there is read more slowly instead.
TEST(FrameSyncParts, WhatLateBlocksCost)
{
    CopyReserve reserve(CopyReserve::Config{600, 1e-3, 0.1});
    reserve.newStream();
    EXPECT_EQ(reserve.frames(14.4), 14.4);
    reserve.start(0);
    reserve.raise(1e6, 48000);
    EXPECT_EQ(reserve.frames(), 4800);
    reserve.shortBlock(10);
    for (const double now : {600.0, 609.0, 611.0}) {
        reserve.considerGiveBack(now, 14.4);
        EXPECT_EQ(reserve.givingBack(), now > 610) << now;
    }
    EXPECT_EQ(reserve.frames(), 15);
    EXPECT_DOUBLE_EQ(reserve.playOff(256), 0.256);
    reserve.endGiveBack();
    EXPECT_DOUBLE_EQ(reserve.frames(), 4800 - 0.256);

    OwedSilence owed;
    owed.owe(100, 1.0);
    owed.paid(30);
    const std::pair<double, double> dues[] = {{0.5, 70}, {1.0, 70}, {1.1, 0}, {0.9, 0}};
    for (const auto &[now, due] : dues)
        EXPECT_EQ(owed.due(now), due) << now;

    ShortRun run(ShortRun::Config{0.01, 0.25});
    const double dt = 0.004;
    const std::tuple<bool, double, double> shorts[] = {
        {true, 0, 100}, {false, 0, 100}, {false, 300, 100}, {false, 100, 100}};
    for (const auto &[afterComplete, dropped, afterStall] : shorts) {
        EXPECT_EQ(run.add(dt, 100), afterComplete);
        EXPECT_EQ(run.toDrop(dt, 100, false), dropped);
        EXPECT_EQ(run.toDrop(dt, 100, true), afterStall);
    }
    for (int j = 4; j <= 64; ++j, run.add(dt, 100))
        EXPECT_EQ(run.gone(dt), j > 62) << j;

    double step = 1;
    EXPECT_FALSE(stretchToSpan(300, 256, 0.75, step));
    EXPECT_FALSE(stretchToSpan(12 + 191, 256, 0.75, step));
    EXPECT_TRUE(stretchToSpan(12 + 200, 256, 0.75, step));
    EXPECT_DOUBLE_EQ(step, 200.0 / 256);
}

// Lateness raises the reserve only when it comes in two different slots, never beyond the cap,
// and is forgotten once the slots it came in have passed. A short block raises it for good only
// as the second of a series at a steady pull pace at least persistSeconds after the first.
TEST(FrameSyncParts, LatenessKeptOnlyWhenItComesAgain)
{
    LatenessPolicy policy(LatenessPolicy::Config{1.0, 10.0, 0.004, 10.0});
    auto steady = [&](double from, double to, double late) {
        for (double t = from; t < to; t += 0.1)
            policy.measured(t * 10, late);
    };
    steady(0, 10, 0.0003);
    const struct {
        double at, late, kept;
    } steps[] = {
        {10.5, 0.003, 0.0003}, {12.5, 0.002, 0.002}, {13.5, 0.009, 0.003}, {14.5, 0.009, 0.004}};
    for (const auto &s : steps) {
        policy.measured(s.at * 10, s.late);
        EXPECT_NEAR(policy.keptLateness(), s.kept, 1e-9) << s.at;
    }
    steady(15, 75, 0.0001);
    EXPECT_NEAR(policy.keptLateness(), 0.004, 1e-9);
    steady(75, 80, 0.0001);
    EXPECT_NEAR(policy.keptLateness(), 0.0001, 1e-9);
    // (time, steady) -> raise: the first of a series, too soon, unsteady, the series, a new one.
    const struct {
        double at;
        bool steady, raise;
    } shorts[] = {{100, true, false},  {100.5, true, false}, {101, false, false},
                  {101.2, true, true}, {111.3, true, false}, {112.4, true, true}};
    for (const auto &s : shorts)
        EXPECT_EQ(policy.shortBlock(s.at, s.steady), s.raise) << s.at;
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

// The drift loop holding a level against a constant drift (the level's error grows by the drift
// less the correction): the error is driven to nothing, by the integral for small errors too,
// and the correction never moves faster than its slew. A loop started from the drift, or one
// that learns it, holds the level from the start; one that was told its drift was measured
// does not learn another.
TEST(FrameSyncParts, DriftLoopLocksOnAConstantDrift)
{
    const struct {
        double drift, startFrom;
        bool learns, measured;
        double worstError; // s, over the first minute
    } cases[] = {{500e-6, 0, false, false, 2e-3},
                 {-800e-6, 0, false, false, 2e-3},
                 {500e-6, 500e-6, false, true, 3e-5},
                 {500e-6, 0, true, false, 3e-5},
                 {500e-6, 0, true, true, 2e-3}};
    for (const auto &c : cases) {
        DriftLoop loop(DriftLoop::Config{});
        loop.start(c.startFrom);
        loop.setMeasured(c.measured);
        if (c.learns)
            loop.learn(c.drift, 1e-6);
        double error = 0, worst = 0, applied = 0;
        for (int i = 0; i < 6000; ++i) {
            error += (c.drift - applied) * 0.01;
            worst = std::max(worst, std::abs(error));
            const double next = loop.update(error, 0.01);
            EXPECT_LE(std::abs(next - applied), 0.005 * 0.01 + 1e-12);
            applied = next;
        }
        EXPECT_LT(std::abs(error), 1e-6) << c.drift;
        EXPECT_NEAR(applied, c.drift, 1e-6) << c.drift;
        EXPECT_LE(worst, c.worstError) << c.drift << " " << c.learns << c.measured;
        EXPECT_GE(worst, c.worstError / 20) << c.drift << " " << c.learns << c.measured;
    }
}
