// The frame synchroniser on a virtual clock: blocks arrive and the device pulls at the times a
// test gives, with no sleeping; one scenario per behaviour a listener hears, and the parts that
// hold its policies as tables.
#include "FrameSync.h"

#include "StreamFigures.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <string>
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

// Mono 48 kHz: blocks of `in` frames arrive at arrival(k), pulls of `out` frames come at
// pull(j), and every sample tells its frame number. Returns the latency in frames of every frame
// played after the first sound (-1: silence).
std::vector<double> latencies(FrameSync &fs, double seconds, const Times &arrival,
                              const Times &pull, int in = 256, int out = 256)
{
    std::vector<double> latency;
    int64_t played = 0;
    drive(
        fs, {48000, 1, in}, {48000, 1, out}, seconds, arrival, pull,
        [](int64_t f, int) { return float(f % 32768 + 1) / 32768.f; },
        [&](double, const float *x) {
            for (int i = 0; i < out; ++i, ++played) {
                const auto code = int64_t(std::lround(x[i] * 32768.f)) - 1;
                if (x[i] != 0.f || !latency.empty())
                    latency.push_back(x[i] == 0.f ? -1 : double((played - code) % 32768));
            }
        });
    return latency;
}

} // namespace

// Same rates and one clock: the samples come out untouched, in order and without a gap,
// whatever the blocks, and the figures say the stream is copied.
TEST(FrameSync, EqualRatesPassSamplesBitExact)
{
    for (auto [in, out] : {std::pair{480, 256}, {64, 2048}, {2048, 32}}) {
        FrameSync fs;
        const auto latency =
            latencies(fs, 10.0, ticks(in / 48000.0, 0, 0.0005), ticks(out / 48000.0), in, out);
        EXPECT_GT(latency.size(), size_t(48000 * 9));
        EXPECT_EQ(std::count(latency.begin(), latency.end(), latency.front()),
                  std::ptrdiff_t(latency.size()))
            << in << "/" << out;
        EXPECT_EQ(receiverFigures("S", ReceiverStats{}, &fs).clockMode, VeltrinNdi_clock_copying);
    }
}

// Two clocks apart, with jitter: silence before any audio; then the stream switches to
// resampling without a seam, locks, and plays a tone on every source channel without a break (a
// pure tone obeys x[n+1] = 2 cos(w) x[n] - x[n-1], so a jump in phase, a gap or a click shows),
// each on its own channel at its level, extra channels silent, surplus source channels dropped.
// The level holds at a device block plus the look-ahead plus the reserve; after the device
// stalls for 100 ms at 15 s what came meanwhile is dropped at once, so the level is back at once.
// Blocks up to 6 ms late, more than the reserve is ever raised for: a block partly there is read
// more slowly (a pitch that dips, not a break the check lets pass) instead of running short. The
// sending device loses a period at 15 s: every later block comes a period later than the line of
// arrivals says, a step of the flow and not lateness, which the first short block tells the line
// (20 ms is too far off to be taken for a step), so the reserve stays.
TEST(FrameSync, TwoClocksLockWithoutDiscontinuity)
{
    struct Case {
        int srcBlock, dstRate, from, to;
        double ppm, checkFrom; // s (0: through the switch)
        bool stall;
        double spread = 0.0005, stepMs = 2; // s of jitter, ms
    } cases[] = {{256, 48000, 1, 1, 187, 0, false},
                 {128, 48000, 1, 1, -1000, 3, false},
                 {256, 44100, 2, 8, 187, 0, false},
                 {256, 44100, 6, 2, 0, 0, false},
                 {256, 48000, 1, 1, 187, 16, true},
                 {256, 48000, 1, 1, 187, 15, false, 0.006},
                 {256, 48000, 1, 1, 187, 20, false, 0.0005, 20}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.ppm << " ppm to " << c.dstRate << ", " << c.to);
        FrameSyncConfig config;
        config.stepMs = c.stepMs;
        FrameSync fs(config);
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, c.dstRate, c.to, 256);
        EXPECT_EQ(std::count(frame.p_data, frame.p_data + c.to * 256, 0.f), c.to * 256);
        const double w = 2e3 * M_PI * (1 + c.ppm * 1e-6) / c.dstRate, period = 256.0 / c.dstRate;
        const Times made = ticks(c.srcBlock / 48000.0, c.ppm, 0.0005);
        const int used = std::min(c.from, c.to);
        float x1[8] = {}, x2[8] = {};
        int64_t breaks = 0, sounding[8] = {}, silent = 0, extra = 0, counted = 0;
        double worstError = 0, power[8] = {};
        drive(
            fs, {48000, c.from, c.srcBlock}, {c.dstRate, c.to, 256}, 30.0,
            [&](int64_t k) {
                // Network delay: 0.2 ms plus up to the spread, the same for block k on every run.
                const uint64_t h = (uint64_t(k) + 1) * 0x9E3779B97F4A7C15ull;
                const double delay = 0.0002 + c.spread * double((h ^ (h >> 29)) % 1000000) / 1e6;
                const double step = c.stepMs > 2 ? 0.004 + (made(k) >= 15) * c.srcBlock / 48e3 : 0;
                return made(k) + delay + step;
            },
            [&](int64_t j) { return double(j) * period + (c.stall && j * period > 15 ? 0.1 : 0); },
            [](int64_t f, int ch) {
                return 0.5f / float(ch + 1)
                       * float(std::sin(M_PI * (ch + 1) * (double(f % 96000) + 0.5) / 24));
            },
            [&](double t, const float *x) {
                extra += (c.to - used) * 256 - std::count(x + used * 256, x + c.to * 256, 0.f);
                counted += t >= 25 ? 256 : 0;
                for (int ch = 0; ch < used; ++ch)
                    for (int i = 0; i < 256; ++i) {
                        const float v = x[ch * 256 + i], p = 2 * float(std::cos(w * (ch + 1)));
                        sounding[ch] = v == 0.f && x1[ch] == 0.f ? 0 : sounding[ch] + 1;
                        silent += t >= c.checkFrom && v == 0.f && x1[ch] != 0.f; // gaps
                        breaks += t >= c.checkFrom && sounding[ch] > 2
                                  && std::abs(v - p * x1[ch] + x2[ch]) > 1e-3;
                        x2[ch] = std::exchange(x1[ch], v);
                        power[ch] += t >= 25 ? v * v : 0;
                    }
                const auto st = fs.stats();
                if (t >= std::max(c.checkFrom, 5.0) && std::fmod(t, 1.0) < period) // once a second
                    worstError = std::max(worstError, std::abs(st.fillMs - st.targetMs));
            });
        const VeltrinNdiFigures f = receiverFigures("S", ReceiverStats{}, &fs);
        EXPECT_EQ(silent + extra, 0);
        EXPECT_EQ(c.spread > 0.001 ? f.lateBlocks > 0 : breaks == 0, true) << breaks;
        for (int ch = 0; ch < used; ++ch) // within 0.05 dB
            EXPECT_NEAR(10 * std::log10(power[ch] / counted * 8 * (ch + 1) * (ch + 1)), 0, 0.05);
        EXPECT_EQ(f.clockMode, VeltrinNdi_clock_resampling);
        EXPECT_NEAR(f.driftPpm, c.ppm, 10);
        EXPECT_LE(worstError, c.stall || c.spread > 0.001 ? 1.0 : 0.5);
        // A device block, 0.25 ms of look-ahead, 0.3 ms of margin and the jitter's spread.
        EXPECT_LE(f.reserveMs, 1e3 * period + 0.25 + 0.3 + (c.spread > 0.001 ? 4.0 : 0.55));
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
            return (k + (late ? 1.5 : 0.3)) * period;
        },
        ticks(period, 0, 1e-5));
    ASSERT_GT(latency.size(), size_t(48000 * 44));
    auto at = [&](double t) { return latency[size_t(t * 48000)]; };
    // After the burst; raised by the series; underruns: the burst and the one that raised it.
    EXPECT_TRUE(at(3) <= 256 + reserve + 1 && at(20) >= 2 * 256 && at(20) <= 2 * 256 + reserve + 1
                && fs.stats().underruns == 4u)
        << at(3) << " " << at(20) << " " << fs.stats().underruns;
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
// and the quick pulls after it are marked for eight blocks. The start planned on paper leaves
// exactly `ahead` frames at the leanest pull seen, once the window was seen.
TEST(FrameSyncParts, PullsTimedAsTheDevicePlaysThem)
{
    const double dt = 256 / 48000.0;
    DeviceCycle device;
    StallWatch stall(8.0);
    // Pulled at, timed at (blocks), stalled, after a stall, cycle.
    const std::tuple<double, double, bool, bool, double> pulls[] = {{0, 0, 0, 0, 0},
                                                                    {0.02, 1, 0, 0, 0},
                                                                    {0.04, 2, 0, 0, 0},
                                                                    {0.06, 3, 0, 0, 0},
                                                                    {4, 4, 0, 0, 1024},
                                                                    {9.625, 9.625, 1, 1, 256},
                                                                    {10.625, 10.625, 0, 1, 256}};
    for (const auto &[at, timed, stalled, afterStall, cycle] : pulls) {
        const double now = device.pull(at * dt, dt, 256);
        const StallWatch::Pull s = stall.pull(now, dt);
        EXPECT_EQ(std::tuple(now, s.stalled, s.afterStall, device.cycleFrames()),
                  std::tuple(timed * dt, stalled, afterStall, cycle))
            << at;
    }
    for (int j = 2; j < 10; ++j) // 8: on the edge
        EXPECT_TRUE(stall.pull((9.625 + j) * dt, dt).afterStall == (j < 8) || j == 8) << j;

    StartPlanner planner;
    double start = 0, leanest = 1e9;
    for (int j = 0; j < 19; ++j) // 19 pulls span the 0.1 s window
        EXPECT_EQ(planner.observe(1024.0 * (j / 4 + 1), 256, dt, 0.1, 40, start), j == 18) << j;
    for (int j = 0; j < 19; ++j)
        leanest = std::min(leanest, 1024.0 * (j / 4 + 1) - (start - (18 - j) * 256.0) - 256);
    EXPECT_EQ(leanest, 40);
}

// Copying, the target is the level settled at during the first half second, raised by a longer
// device cycle (then settled again); resampling, it is the resampled level, comes down from a
// raise by 0.1 ms a second, and follows a shorter cycle at once.
TEST(FrameSyncParts, PlayTargetFollowsTheLevelAndTheCycle)
{
    const double dt = 1.0 / 64;
    PlayTarget copy(PlayTarget::Config{}), resampled(PlayTarget::Config{});
    copy.start();
    for (int j = 0; j < 40; ++j)
        EXPECT_EQ(copy.update(300 + j % 2, dt, 256, false, 0, 48000).settling, j < 31) << j;
    const double settled = copy.value();
    EXPECT_NEAR(settled, 300.5, 0.1);
    EXPECT_EQ(copy.update(300, dt, 1024, false, 0, 48000).cycleChange, 768);
    EXPECT_EQ(copy.value(), settled + 768);
    EXPECT_TRUE(copy.update(1068, dt, 1024, false, 0, 48000).settling);
    resampled.start();
    for (const auto &[cycle, wanted, target] :
         {std::tuple{256, 500, 500.0}, {256, 400, 500 - 1e-4 * 48000 * dt}, {128, 300, 300.0}}) {
        resampled.update(0, dt, cycle, true, wanted, 48000);
        EXPECT_DOUBLE_EQ(resampled.value(), target);
    }
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
    reserve.shortBlock(10);
    for (const double now : {609.0, 611.0}) {
        reserve.considerGiveBack(now, 14.4);
        EXPECT_EQ(reserve.frames(), now < 610 ? 4800 : 15) << now;
    }
    EXPECT_DOUBLE_EQ(reserve.playOff(256), 0.256);
    reserve.endGiveBack();
    EXPECT_DOUBLE_EQ(reserve.frames(), 4800 - 0.256);

    OwedSilence owed;
    owed.owe(100, 1.0);
    owed.paid(30);
    for (const auto &[now, due] : {std::pair{0.5, 70.0}, {1.0, 70.0}, {1.1, 0.0}, {0.9, 0.0}})
        EXPECT_EQ(owed.due(now), due) << now;

    ShortRun run(ShortRun::Config{0.01, 0.25});
    // After a complete block, dropped, dropped after a stall: 4, 8, 12 and 16 ms short.
    for (const auto &[afterComplete, dropped] :
         {std::pair{true, 0.0}, {false, 0.0}, {false, 300.0}, {false, 100.0}}) {
        EXPECT_EQ(run.add(0.004, 100), afterComplete);
        EXPECT_EQ(std::pair(run.toDrop(0.004, 100, false), run.toDrop(0.004, 100, true)),
                  std::pair(dropped, 100.0));
    }
    for (int j = 4; j <= 64; ++j, run.add(0.004, 100))
        EXPECT_EQ(run.gone(0.004), j > 62) << j;

    double step = 1;
    EXPECT_FALSE(stretchToSpan(300, 256, 0.75, step) || stretchToSpan(12 + 191, 256, 0.75, step));
    EXPECT_TRUE(stretchToSpan(12 + 200, 256, 0.75, step));
    EXPECT_DOUBLE_EQ(step, 200.0 / 256);
}

// Phase 0 of the full-band kernel is the identity, so a copied stream switches to resampling
// without a seam; a sine is interpolated at fractional positions to within -70 dB up to 10 kHz at
// 48 kHz, with unity gain at DC, centred on x.
TEST(FrameSyncParts, SincInterpolatorIsExactAndCentred)
{
    const SincInterpolator full(1.0);
    float c[SincInterpolator::kTaps];
    full.coefficients(0.0, c);
    for (int k = 0; k < SincInterpolator::kTaps; ++k)
        EXPECT_EQ(c[k], k == SincInterpolator::kBefore ? 1.f : 0.f) << k;
    for (double freq : {0.0, 1000.0, 10000.0})
        for (double frac = 0.013; frac < 1; frac += 0.05) {
            full.coefficients(frac, c);
            double y = 0;
            for (int k = 0; k < SincInterpolator::kTaps; ++k)
                y += c[k] * std::cos(M_PI * freq * (100 + k - SincInterpolator::kBefore) / 24e3);
            EXPECT_NEAR(y, std::cos(M_PI * freq * (100 + frac) / 24e3), 3e-4)
                << freq << " " << frac;
        }
}

// Lateness raises the reserve only when it comes in two different slots, never beyond the cap,
// and is forgotten once the slots it came in have passed. A short block raises it for good only
// as the second of a series at a steady pull pace at least persistSeconds after the first.
TEST(FrameSyncParts, LatenessKeptOnlyWhenItComesAgain)
{
    LatenessPolicy policy(LatenessPolicy::Config{1.0, 10.0, 0.004, 10.0});
    // At (slots), late then, kept after it, steady lateness over the five slots before.
    const std::tuple<double, double, double, double> lateness[] = {
        {10, 3e-4, 3e-4, 3e-4}, {10.5, 3e-3, 3e-4, 0}, {12.5, 2e-3, 2e-3, 0},
        {13.5, 9e-3, 3e-3, 0},  {14.5, 9e-3, 4e-3, 0}, {75, 1e-4, 4e-3, 1e-4},
        {80, 1e-4, 1e-4, 1e-4}};
    for (const auto &[at, late, kept, steady] : lateness) {
        for (double t = at - 5; steady > 0 && t < at; t += 0.1)
            policy.measured(t * 10, steady);
        policy.measured(at * 10, late);
        EXPECT_NEAR(policy.keptLateness(), kept, 1e-9) << at;
    }
    // At, steady, raise: the first of a series, too soon, unsteady, the series, a new one.
    const std::tuple<double, bool, bool> shorts[] = {{100, true, false},   {100.5, true, false},
                                                     {101, false, false},  {101.2, true, true},
                                                     {111.3, true, false}, {112.4, true, true}};
    for (const auto &[at, steady, raise] : shorts)
        EXPECT_EQ(policy.shortBlock(at, steady), raise) << at;
}

// Copy or resample: unequal rates resample at once; a drift that stays clear long enough once
// the fits have run a second resamples; one clear only for a moment, an unclear one, or one
// below the tilt a changing load gives, waits; none copies for good after the decision time,
// unless the level later walks out of its band for longer than the hold (2 s, from 7.5 s on).
TEST(FrameSyncParts, ClockDecisionTakenOnceFromTheDrift)
{
    const double inf = HUGE_VAL;
    // Equal rates, drift and its error once known, clear until (s), level error, modes at 0,
    // 3, 7, 9 and 10 s (Undecided, Copy, Resample).
    const std::tuple<bool, double, double, double, double, std::string> cases[] = {
        {false, 0, inf, inf, 0, "RRRRR"},       {true, 187e-6, 10e-6, inf, 0, "URRRR"},
        {true, 187e-6, 10e-6, 2.4, 0, "UUCCC"}, {true, 187e-6, 60e-6, inf, 0, "UUCCC"},
        {true, 40e-6, 1e-6, inf, 0, "UUCCC"},   {true, 1e-6, 1e-6, inf, 0.003, "UUCCR"}};
    for (const auto &[equal, drift, error, clearUntil, levelError, modes] : cases) {
        ClockDecision decision(ClockDecision::Config{80e-6, 5.0, 1.0, 6.0, 2.5, 0.002, 2.0});
        decision.reset(equal);
        std::string seen;
        for (int i = 0; i <= 1000; ++i) {
            const double t = i * 0.01, span = std::max(0.0, t - 0.5);
            // Before the fit has its slope, no drift is known.
            decision.update(span, span < 1 || t >= clearUntil ? 0 : drift, span < 1 ? inf : error,
                            t >= 7.5 ? levelError : 0, 0.01);
            if (i == 0 || i == 300 || i == 700 || i == 900 || i == 1000)
                seen += "UCR"[int(decision.mode())];
        }
        EXPECT_EQ(seen, modes) << drift << " " << error << " " << levelError;
    }
}

// The drift loop holding a level against a constant drift (the level's error grows by the drift
// less the correction): the error is driven to nothing, by the integral for small errors too,
// and the correction never moves faster than its slew. A loop started from the drift, or one
// that learns it, holds the level from the start; one told its drift was measured learns none.
TEST(FrameSyncParts, DriftLoopLocksOnAConstantDrift)
{
    // Drift, started from, learns, measured, the largest error over the first minute (s).
    const std::tuple<double, double, bool, bool, double> cases[] = {
        {5e-4, 0, 0, 0, 2e-3}, {-8e-4, 0, 0, 0, 2e-3}, {5e-4, 5e-4, 0, 1, 3e-5},
        {5e-4, 0, 1, 0, 3e-5}, {5e-4, 0, 1, 1, 2e-3},  {-5e-4, 0, 1, 0, 3e-5}};
    for (const auto &[drift, startFrom, learns, measured, worstError] : cases) {
        DriftLoop loop(DriftLoop::Config{});
        loop.start(startFrom);
        loop.setMeasured(measured);
        if (learns)
            loop.learn(drift, 1e-6);
        double error = 0, worst = 0, applied = 0;
        for (int i = 0; i < 6000; ++i) {
            error += (drift - applied) * 0.01;
            worst = std::max(worst, std::abs(error));
            const double next = loop.update(error, 0.01);
            EXPECT_LE(std::abs(next - applied), 0.005 * 0.01 + 1e-12);
            applied = next;
        }
        EXPECT_TRUE(std::abs(error) < 1e-6 && std::abs(applied - drift) < 1e-6
                    && worst <= worstError && worst >= worstError / 20)
            << drift << ": " << error << " " << applied << " " << worst << " " << learns;
    }
}
