// The bridge probe's analysis on made-up input: the tone's discontinuity detector, latency
// between two servers whose clocks are fitted from jittery wake-ups, and losses and
// discontinuities inside and outside xrun windows. The rest of the chain (impulse detection,
// the probe's log, a clock fit without stalls) is measured end to end by the rig's test.
#include "BridgeAnalysis.h"
#include "ClockFit.h"
#include "ProbeSignals.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <tuple>
#include <vector>

using namespace veltrin::bench;

namespace {

constexpr int64_t kFirst = 123456789; // frames far from zero, as a server's frame clock is

TEST(ToneTracker, CountsEachPhaseJumpOrBreakOnceAndMeasuresIt)
{
    // 1 kHz at 48 kHz for 3 s, fed in 563 blocks of 256. At 1.5 s the tone moves later by `jump`
    // samples (0.03 is under the threshold) or goes silent for `gap` frames (5 ms of silence
    // is one break, not a jump).
    for (const auto &[jump, count, gap] : {std::tuple{0.07, 1u, 0u},
                                           {-0.1, 1u, 0u},
                                           {1.0, 1u, 0u},
                                           {0.03, 0u, 0u},
                                           {0.0, 1u, 240u}}) {
        SCOPED_TRACE(jump);
        std::vector<float> samples(563 * 256);
        for (size_t n = 0; n < samples.size(); ++n)
            samples[n] =
                n >= 72000 && n < 72000 + gap
                    ? 0.0f
                    : float(kToneLevel
                            * std::sin(2 * M_PI * (double(n) - (n >= 72000 ? jump : 0)) / 48.0));
        ToneTracker tracker(1000.0 / 48000);
        std::vector<Discontinuity> found;
        for (size_t at = 0; at < samples.size(); at += 256)
            tracker.feed(samples.data() + at, 256, kFirst + int64_t(at), found);
        tracker.reset(found);
        ASSERT_EQ(found.size(), count);
        for (const Discontinuity &d : found) {
            EXPECT_NEAR(d.frame - kFirst, 72000, 48 * 3);
            // A whole sample is as far as a window can be off and still fit a sine: the jump is
            // either measured or, where the fit breaks, reported as a break.
            EXPECT_TRUE(std::isnan(d.jump)
                        || (gap == 0 && std::fabs(d.jump - jump) <= 0.01 + 0.02 * std::fabs(jump)))
                << d.jump;
        }
    }
}

// A dummy server on a machine's clock: cycle n starts at anchor + n * period, and `stall`
// seconds later from `stallAt` seconds on (an xrun). The probe wakes late by a jitter that
// never goes below zero, now and then by two milliseconds, over a floor that wanders.
struct SimulatedServer {
    double rate; // the real frames per second
    double anchor, stallAt, stall, lateMean, wander;

    double cycleStart(double frame) const
    {
        return anchor + frame / rate + (frame / rate >= stallAt ? stall : 0);
    }
    double frameAt(double t) const
    {
        const double local = t - anchor;
        return (local >= stallAt + stall ? local - stall : local) * rate;
    }
    ClockMap fit(double seconds, double nominal, std::mt19937 &random) const
    {
        std::exponential_distribution<double> jitter(1.0 / lateMean);
        std::uniform_real_distribution<double> spike(0, 1);
        std::vector<CycleStamp> cycles;
        for (int64_t f = 0; double(f) / rate < seconds; f += 256) {
            const double t = cycleStart(double(f));
            const double late = jitter(random) + wander * (1 + std::sin((t - anchor) / 3))
                                + (spike(random) < 0.01 ? 0.002 : 0);
            cycles.push_back({f, int64_t(std::llround((t + late) * 1e9)), 256});
        }
        return ClockMap::fit(cycles, {int64_t((anchor + stallAt + 0.02) * 1e9)}, nominal);
    }
};

TEST(ClockMap, LatencyAcrossTwoFittedClocksMatchesTheDelay)
{
    std::mt19937 random(7);
    // A runs 187 ppm fast at 48 kHz and stalls 3.7 ms at 7.3 s; B runs at 44.1 kHz behind other
    // clients (later and more irregular wake-ups) and stalls 1.1 ms at 12.9 s.
    const SimulatedServer a{48000 * (1 + 187e-6), 1000.0, 7.3, 0.0037, 20e-6, 0};
    const SimulatedServer b{44100 * (1 - 3e-6), 1000.0021, 12.9, 0.0011, 80e-6, 60e-6};
    const ClockMap mapA = a.fit(20, 48000, random), mapB = b.fit(20, 44100, random);
    ASSERT_TRUE(mapA.valid() && mapB.valid());
    // A floor that wanders by 120 us over 20 s tilts B's line by a few ppm.
    EXPECT_NEAR(mapA.rate(), a.rate, a.rate * 1e-6);
    EXPECT_NEAR(mapB.rate(), b.rate, b.rate * 5e-6);

    // Impulses every 50 ms, 7.25 ms on the way; after 10 s the bridge adds a millisecond.
    Recording rec{{}, {}, {}, {}, {}, 256 / 44100.0, 0.05};
    for (int k = 0; k < 398; ++k) {
        const double frame = 2400.0 * (k + 1), delay = 0.00725 + (k >= 200 ? 0.001 : 0);
        const int code = k % Impulse::kCodes;
        rec.emissions.push_back({mapA.seconds(frame), code});
        rec.arrivals.push_back({mapB.seconds(b.frameAt(a.cycleStart(frame) + delay)),
                                Impulse::amplitude(code) * (Impulse::kLength - 1) / 2});
    }
    const Figures f = analyse(rec, mapA.seconds(0), mapA.seconds(20 * 48000));
    ASSERT_TRUE(f.ran);
    EXPECT_EQ(f.lostOutside, 0);
    for (size_t i = 0; i < f.latenciesMs.size(); ++i)
        EXPECT_NEAR(f.latenciesMs[i], i < 200 ? 7.25 : 8.25, 0.1) << "impulse " << i;
    ASSERT_EQ(f.tenSeconds.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_NEAR(f.tenSeconds[i].medianMs, 7.25 + double(i), 0.1);
}

TEST(Analysis, CountsLossesAndDiscontinuitiesInsideAndOutsideXrunWindows)
{
    // Silences and discontinuities near the xrun at 3 s and far from it; 5 ms periods.
    Recording rec{
        {},    {},  {{3.01, 0.002}, {8.0, 0.004}}, {{3.004, 0.5}, {6.0, 1.0}, {6.5, 0.2}}, {3.0},
        0.005, 0.05};
    for (int k = 0; k < 200; ++k) {
        const int code = k % Impulse::kCodes;
        rec.emissions.push_back({0.05 * k, code});
        // Lost: two just after the xrun, one far from it.
        if (k != 60 && k != 61 && k != 150)
            rec.arrivals.push_back({0.05 * k + 0.01, Impulse::amplitude(code) * 8});
    }
    const Figures f = analyse(rec, 0.5, 9.5);
    EXPECT_EQ(
        std::tuple(f.lostInside, f.lostOutside, f.discontinuitiesInside, f.discontinuitiesOutside),
        std::tuple(2, 1, 1, 2));
    for (const auto &[got, want] :
         {std::pair{f.xrunSilenceMs, 2.0}, {f.otherSilenceMs, 4.0}, {f.medianMs, 10.0}})
        EXPECT_NEAR(got, want, 1e-9);
}

} // namespace
