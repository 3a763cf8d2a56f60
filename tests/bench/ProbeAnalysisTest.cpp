// The bridge probe's analysis on made-up input: the tone's discontinuity detector, the impulse
// detector, latency between two servers whose clocks are fitted from jittery wake-ups, and what
// a fault between the two sides did.
#include "BridgeAnalysis.h"
#include "ClockFit.h"
#include "ProbeLog.h"
#include "ProbeSignals.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <soxr.h>
#include <unistd.h>
#include <vector>

using namespace veltrin::bench;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kToneHz = 1000;

// Feeds `samples` to a tracker in blocks of 256 and returns what it reported after `skip`
// frames (a resampler's start).
std::vector<Discontinuity> track(const std::vector<float> &samples, double rate, int64_t skip = 0)
{
    ToneTracker tracker(kToneHz / rate);
    std::vector<Discontinuity> found, kept;
    const int64_t first = 123456789; // far from zero, as a server's frame clock is
    for (size_t at = 0; at < samples.size(); at += 256) {
        const size_t n = std::min<size_t>(256, samples.size() - at);
        tracker.feed(samples.data() + at, n, first + int64_t(at), found);
    }
    tracker.reset(found);
    for (const auto &d : found)
        if (d.frame - double(first) >= double(skip))
            kept.push_back(d);
    return kept;
}

// The probe's tone as a function of the frame, with `shift(frame)` samples of delay.
std::vector<float> tone(double rate, double seconds, const std::function<double(double)> &shift)
{
    std::vector<float> out(size_t(seconds * rate));
    for (size_t n = 0; n < out.size(); ++n) {
        const double t = double(n) - shift(double(n));
        out[n] = float(kToneLevel * std::sin(2 * kPi * kToneHz * t / rate));
    }
    return out;
}

TEST(ToneTracker, CountsEachPhaseJumpOnceAndMeasuresIt)
{
    struct Case {
        double jump; // samples; the tone moves later by this at 1.5 s
        size_t count;
    };
    for (const Case c :
         {Case{0.1, 1}, Case{-0.1, 1}, Case{0.07, 1}, Case{1.0, 1}, Case{-1.0, 1}, Case{0.03, 0}}) {
        SCOPED_TRACE(c.jump);
        const auto found =
            track(tone(48000, 3, [&](double n) { return n >= 72000 ? c.jump : 0; }), 48000);
        ASSERT_EQ(found.size(), c.count);
        if (c.count == 0)
            continue;
        EXPECT_NEAR(found[0].frame - 123456789, 72000, 48 * 3);
        // A whole sample is as far as a window can be off and still fit a sine: the jump is
        // either measured or, where the fit breaks, reported as a break.
        if (!std::isnan(found[0].jump)) {
            EXPECT_NEAR(found[0].jump, c.jump, 0.01 + 0.02 * std::fabs(c.jump));
        }
    }
}

TEST(ToneTracker, CountsAGapAsOneBreak)
{
    auto samples = tone(48000, 2, [](double) { return 0.0; });
    std::fill(samples.begin() + 50000, samples.begin() + 50240, 0.0f); // 5 ms of silence
    const auto found = track(samples, 48000);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(std::isnan(found[0].jump));
}

// What an ideal resampler gives for clocks up to a thousand ppm apart, steady or gliding from
// -1000 to +1000 ppm and back as a clock controller would move it, and a real 48 to 44.1 kHz one.
TEST(ToneTracker, FollowsAResampledToneWithoutCounting)
{
    const double seconds = 20, rate = 48000;
    const auto sweep = [&](double n) {
        return rate * 1000e-6 * seconds / (2 * kPi) * -std::cos(2 * kPi * n / rate / seconds);
    };
    for (const double ppm : {1000.0, -1000.0, 187.0})
        EXPECT_TRUE(track(tone(rate, 10, [&](double n) { return n * ppm * 1e-6; }), rate).empty())
            << ppm;
    EXPECT_TRUE(track(tone(rate, seconds, sweep), rate).empty());

    const auto in = tone(rate, 10, [](double) { return 0.0; });
    std::vector<float> out(size_t(in.size() * 44100 / 48000) + 64);
    size_t written = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    ASSERT_EQ(soxr_oneshot(48000, 44100, 1, in.data(), in.size(), nullptr, out.data(), out.size(),
                           &written, nullptr, &quality, nullptr),
              nullptr);
    out.resize(written);
    EXPECT_TRUE(track(out, 44100, 4410).empty());
}

TEST(ImpulseDetector, TimesEachPulseToAFractionOfASampleAndKeepsItsCode)
{
    // Hann pulses sampled at fractional offsets, as a resampler would deliver them.
    std::vector<float> samples(48000, 0.0f);
    std::vector<double> centres;
    for (int k = 0; k < 16; ++k) {
        const double centre = 1000 + 2400.0 * k + 0.37 * k / 15;
        centres.push_back(centre);
        for (int n = int(centre) - 9; n <= int(centre) + 9; ++n) {
            const double x = double(n) - (centre - 8);
            if (x > 0 && x < 16)
                samples[size_t(n)] =
                    float(Impulse::amplitude(k) * (0.5 - 0.5 * std::cos(2 * kPi * x / 16)));
        }
    }
    ImpulseDetector detector;
    std::vector<Arrival> arrivals;
    for (size_t at = 0; at < samples.size(); at += 64)
        detector.feed(samples.data() + at, 64, int64_t(at), arrivals);
    ASSERT_EQ(arrivals.size(), centres.size());
    for (size_t k = 0; k < centres.size(); ++k) {
        EXPECT_NEAR(arrivals[k].frame, centres[k], 0.01);
        EXPECT_EQ(Impulse::codeOf(arrivals[k].area), int(k));
    }
}

// A dummy server on a machine's clock: cycle n starts at anchor + n * period, and `stall`
// seconds later from `stallAt` seconds on (an xrun). The probe wakes late by a jitter that
// never goes below zero, now and then by two milliseconds, over a floor that wanders.
struct SimulatedServer {
    double rate; // the real frames per second
    int period;
    double anchor; // seconds on the machine's clock
    double stallAt, stall;
    double lateMean, wander;

    double cycleStart(double frame) const
    {
        const double local = frame / rate;
        return anchor + local + (local >= stallAt ? stall : 0);
    }
    double frameAt(double t) const
    {
        double local = t - anchor;
        if (local >= stallAt + stall)
            local -= stall;
        return local * rate;
    }
    std::vector<int64_t> xrunReport() const { return {int64_t((anchor + stallAt + 0.02) * 1e9)}; }
    std::vector<CycleStamp> cycles(double seconds, std::mt19937 &random) const
    {
        std::exponential_distribution<double> jitter(1.0 / lateMean);
        std::uniform_real_distribution<double> spike(0, 1);
        std::vector<CycleStamp> out;
        for (int64_t f = 0; double(f) / rate < seconds; f += period) {
            const double t = cycleStart(double(f));
            double late = jitter(random) + wander * (1 + std::sin((t - anchor) / 3));
            if (spike(random) < 0.01)
                late += 0.002;
            out.push_back({f, int64_t(std::llround((t + late) * 1e9)), uint32_t(period)});
        }
        return out;
    }
};

TEST(ClockMap, LatencyAcrossTwoFittedClocksMatchesTheDelay)
{
    std::mt19937 random(7);
    // A runs 187 ppm fast at 48 kHz and stalls 3.7 ms at 7.3 s; B runs at 44.1 kHz behind other
    // clients (later and more irregular wake-ups) and stalls 1.1 ms at 12.9 s.
    const SimulatedServer a{48000 * (1 + 187e-6), 256, 1000.0, 7.3, 0.0037, 20e-6, 0};
    const SimulatedServer b{44100 * (1 - 3e-6), 256, 1000.0021, 12.9, 0.0011, 80e-6, 60e-6};
    const double seconds = 20;
    const ClockMap mapA = ClockMap::fit(a.cycles(seconds, random), a.xrunReport(), 48000);
    const ClockMap mapB = ClockMap::fit(b.cycles(seconds, random), b.xrunReport(), 44100);
    ASSERT_TRUE(mapA.valid() && mapB.valid());
    // A floor that wanders by 120 us over 20 s tilts B's line by a few ppm.
    EXPECT_NEAR(mapA.rate(), a.rate, a.rate * 1e-6);
    EXPECT_NEAR(mapB.rate(), b.rate, b.rate * 5e-6);

    // Impulses every 50 ms, 7.25 ms on the way; after 10 s the bridge adds a millisecond.
    Recording rec;
    rec.spacing = 0.05;
    rec.period = 256 / 44100.0;
    for (int k = 0; k < int(seconds / rec.spacing) - 2; ++k) {
        const double frame = 2400.0 * (k + 1);
        const double delay = 0.00725 + (k >= 200 ? 0.001 : 0);
        const int code = k % Impulse::kCodes;
        rec.emissions.push_back({mapA.seconds(frame), code});
        rec.arrivals.push_back({mapB.seconds(b.frameAt(a.cycleStart(frame) + delay)),
                                Impulse::amplitude(code) * (Impulse::kLength - 1) / 2});
    }
    const Figures f = analyse(rec, mapA.seconds(0), mapA.seconds(seconds * 48000));
    ASSERT_TRUE(f.ran);
    EXPECT_EQ(f.lostOutside, 0);
    for (size_t i = 0; i < f.latenciesMs.size(); ++i)
        EXPECT_NEAR(f.latenciesMs[i], i < 200 ? 7.25 : 8.25, 0.1) << "impulse " << i;
    ASSERT_EQ(f.tenSeconds.size(), 2u);
    EXPECT_NEAR(f.tenSeconds[0].medianMs, 7.25, 0.1);
    EXPECT_NEAR(f.tenSeconds[1].medianMs, 8.25, 0.1);
}

TEST(Analysis, CountsLossesAndDiscontinuitiesInsideAndOutsideXrunWindows)
{
    Recording rec;
    rec.spacing = 0.05;
    rec.period = 0.005;
    rec.xruns = {3.0};
    for (int k = 0; k < 200; ++k) {
        const double sent = 0.05 * k;
        const int code = k % Impulse::kCodes;
        rec.emissions.push_back({sent, code});
        // Lost: two just after the xrun, one far from it.
        if ((k == 60 || k == 61) || k == 150)
            continue;
        rec.arrivals.push_back({sent + 0.01, Impulse::amplitude(code) * 8});
    }
    rec.discontinuities = {{3.004, 0.5}, {6.0, 1.0}, {6.5, 0.2}};
    rec.silences = {{3.01, 0.002}, {8.0, 0.004}};
    const Figures f = analyse(rec, 0.5, 9.5);
    EXPECT_EQ(f.lostInside, 2);
    EXPECT_EQ(f.lostOutside, 1);
    EXPECT_EQ(f.discontinuitiesInside, 1);
    EXPECT_EQ(f.discontinuitiesOutside, 2);
    EXPECT_NEAR(f.xrunSilenceMs, 2, 1e-9);
    EXPECT_NEAR(f.otherSilenceMs, 4, 1e-9);
    EXPECT_NEAR(f.medianMs, 10, 1e-9);
}

// Impulses every 50 ms for `seconds`; impulse k takes delay(k) seconds to arrive, or is lost
// when that is negative.
Recording impulses(double seconds, const std::function<double(int)> &delay)
{
    Recording rec;
    rec.spacing = 0.05;
    rec.period = 256 / 48000.0;
    for (int k = 0; k < int(seconds / rec.spacing); ++k) {
        const double sent = rec.spacing * k;
        const int code = k % Impulse::kCodes;
        rec.emissions.push_back({sent, code});
        if (delay(k) >= 0)
            rec.arrivals.push_back({sent + delay(k), Impulse::amplitude(code) * 8});
    }
    return rec;
}

FaultFigures faultOf(const Recording &rec, double seconds, const FaultWindow &fault)
{
    return analyseFault(rec, analyse(rec, 0, seconds), 0, seconds, fault);
}

TEST(FaultAnalysis, LinkDownGivesTheOutageTheLossesAndTheLatencyOnEachSide)
{
    // The link is down from 10 to 12 s; the bridge reconnects 80 ms after it comes up, 5 ms
    // later than before. Impulses 200 to 241 (10.00 to 12.05 s) are lost away from any xrun,
    // 280 (14 s) at an xrun, 400 (20 s) after the fault's window. The silence at 13 s is an
    // xrun's.
    Recording rec = impulses(30, [](int k) {
        if ((k >= 200 && k <= 241) || k == 280 || k == 400)
            return -1.0;
        return k < 200 ? 0.010 : 0.015;
    });
    rec.xruns = {14.0, 13.001};
    rec.silences = {{10.01, 2.085}, {13.0, 0.003}, {25.0, 0.004}};
    const FaultFigures f = faultOf(rec, 30, {10.0, 12.0, 5.0});
    EXPECT_EQ(f.silences, 2);
    EXPECT_NEAR(f.longestSilenceMs, 2085, 1e-6);
    EXPECT_EQ(f.otherSilences, 1);
    EXPECT_NEAR(f.longestOtherMs, 2085, 1e-6);
    EXPECT_EQ(f.lostOutside, 42);
    EXPECT_EQ(f.lostInside, 1);
    EXPECT_NEAR(f.medianBeforeMs, 10, 1e-6);
    EXPECT_NEAR(f.medianAfterMs, 15, 1e-6);
    EXPECT_TRUE(f.audioBack);
    EXPECT_NEAR(f.backMs, 95, 1e-6);
}

TEST(FaultAnalysis, TellsAudioThatNeverStoppedFromAudioThatNeverCameBack)
{
    const FaultWindow fault{10.0, 12.0, 5.0};
    // Loss repaired in time: a short silence during the fault, audio playing at its end.
    Recording playing = impulses(30, [](int k) { return k == 210 ? -1.0 : 0.010; });
    playing.silences = {{10.5, 0.004}};
    const FaultFigures p = faultOf(playing, 30, fault);
    EXPECT_EQ(p.silences, 1);
    EXPECT_TRUE(p.audioBack);
    EXPECT_EQ(p.backMs, 0);
    EXPECT_NEAR(p.medianAfterMs, 10, 1e-6);

    // The last audio sent before the end is heard a latency later, and a receiver may cover a
    // gap a while: a silence that begins up to then is still the fault's, a later one is not.
    playing.silences = {{12.2, 0.030}};
    EXPECT_NEAR(faultOf(playing, 30, fault).backMs, 230, 1e-6);
    playing.silences = {{12.3, 0.030}};
    EXPECT_EQ(faultOf(playing, 30, fault).backMs, 0);

    // Nothing after the fault began: no silence ended, nothing to measure after.
    Recording gone = impulses(30, [](int k) { return k < 200 ? 0.010 : -1.0; });
    const FaultFigures g = faultOf(gone, 30, fault);
    EXPECT_FALSE(g.audioBack);
    EXPECT_EQ(g.backMs, -1);
    EXPECT_EQ(g.medianAfterMs, -1);
    EXPECT_NEAR(g.medianBeforeMs, 10, 1e-6);
    EXPECT_EQ(g.lostOutside, 141); // emitted from 10 to 17 s, both included
}

TEST(ProbeLog, ReadsWhileItIsWrittenAndNeverAHalfRecord)
{
    // Records straddle the writer's buffer, which reaches the file whenever it fills.
    char path[] = "/tmp/veltrin-probe-log-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ProbeLogWriter writer(path);
    ProbeLog reader(path);
    for (int64_t k = 0; k < 3000; ++k) {
        writer.write(CycleStamp{k * 256, k * 1000, 256});
        if (k % 37 == 0)
            reader.poll();
    }
    writer.write(Arrival{12.5, 3.25});
    writer.flush();
    reader.poll();
    ASSERT_EQ(reader.cycles.size(), 3000u);
    for (size_t k = 0; k < reader.cycles.size(); ++k)
        ASSERT_EQ(reader.cycles[k].ns, int64_t(k) * 1000) << "cycle " << k;
    ASSERT_EQ(reader.arrivals.size(), 1u);
    EXPECT_EQ(reader.arrivals[0].area, 3.25);
    close(fd);
    unlink(path);
}

} // namespace
