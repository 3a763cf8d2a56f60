// The frame synchroniser driven on a virtual clock: a producer and a consumer exchange blocks
// at the times their own clocks say, with no sleeping, so hours of drift run in seconds.
#include "FrameSync.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

using veltrin::rt::FrameSync;
using veltrin::rt::FrameSyncConfig;

namespace {

struct Side {
    int rate;
    int channels;
    int block;
    double clock = 1.0; // true seconds per nominal second
};

// Runs a producer and a consumer for `seconds` of true time. `signal(frame, channel)` is the
// source; `onCapture` sees every captured frame with the true time at which it was asked for.
void simulate(FrameSync &fs, const Side &src, const Side &dst, double seconds,
              const std::function<float(int64_t, int)> &signal,
              const std::function<void(double, const NDIlib_audio_frame_v2_t &)> &onCapture)
{
    std::vector<float> block(size_t(src.block) * size_t(src.channels));
    int64_t produced = 0;
    int64_t consumed = 0;
    const double producerPeriod = double(src.block) / src.rate * src.clock;
    const double consumerPeriod = double(dst.block) / dst.rate * dst.clock;
    double tp = 0.0005;
    double tc = 0.0;
    while (tc < seconds) {
        if (tp <= tc) {
            for (int c = 0; c < src.channels; ++c)
                for (int i = 0; i < src.block; ++i)
                    block[size_t(c) * size_t(src.block) + size_t(i)] = signal(produced + i, c);
            fs.push(block.data(), src.block, src.channels, src.block, src.rate, tp);
            produced += src.block;
            tp += producerPeriod;
        } else {
            NDIlib_audio_frame_v2_t frame;
            fs.capture(frame, dst.rate, dst.channels, dst.block, tc);
            onCapture(tc, frame);
            consumed += dst.block;
            tc += consumerPeriod;
        }
    }
}

float sine(int64_t frame, double freq, int rate, float amp = 0.5f)
{
    return amp * float(std::sin(2 * M_PI * freq * double(frame % (int64_t(rate) * 100)) / rate));
}

// Amplitude and frequency of the dominant sine in x, by a fine search around `guess`.
void measureSine(const std::vector<float> &x, int rate, double guess, double &freq, double &amp)
{
    auto power = [&](double f) {
        double a = 0, b = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            a += x[i] * std::sin(2 * M_PI * f * double(i) / rate);
            b += x[i] * std::cos(2 * M_PI * f * double(i) / rate);
        }
        return std::hypot(a, b) * 2 / double(x.size());
    };
    double best = guess, bestPower = 0;
    for (double f = guess - 2; f <= guess + 2; f += 0.01) {
        const double p = power(f);
        if (p > bestPower) {
            bestPower = p;
            best = f;
        }
    }
    freq = best;
    amp = bestPower;
}

} // namespace

TEST(FrameSync, SilenceBeforeAnyAudioWithExactShape)
{
    FrameSync fs;
    for (int n : {32, 256, 2048, 100}) {
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, 44100, 8, n);
        ASSERT_EQ(frame.no_samples, n);
        ASSERT_EQ(frame.no_channels, 8);
        ASSERT_EQ(frame.sample_rate, 44100);
        ASSERT_EQ(frame.channel_stride_in_bytes, n * 4);
        ASSERT_NE(frame.p_data, nullptr);
        for (int i = 0; i < 8 * n; ++i)
            ASSERT_EQ(frame.p_data[i], 0.f);
    }
}

// 48 kHz stereo pulled at 44.1 kHz on 8 channels: exact blocks, the sine keeps its frequency
// and level on the two source channels, the other six are silent.
TEST(FrameSync, ConvertsRateAndMapsChannels)
{
    FrameSync fs;
    const Side src{48000, 2, 256};
    const Side dst{44100, 8, 441};
    std::vector<float> left, right;
    bool extraSilent = true;
    simulate(
        fs, src, dst, 12.0,
        [](int64_t f, int c) {
            return sine(f, c == 0 ? 1000.0 : 3000.0, 48000, c == 0 ? 0.5f : 0.25f);
        },
        [&](double t, const NDIlib_audio_frame_v2_t &frame) {
            ASSERT_EQ(frame.no_samples, 441);
            ASSERT_EQ(frame.no_channels, 8);
            ASSERT_EQ(frame.sample_rate, 44100);
            for (int c = 2; c < 8; ++c)
                for (int i = 0; i < 441; ++i)
                    extraSilent &= frame.p_data[c * 441 + i] == 0.f;
            if (t > 10.0) {
                left.insert(left.end(), frame.p_data, frame.p_data + 441);
                right.insert(right.end(), frame.p_data + 441, frame.p_data + 882);
            }
        });
    EXPECT_TRUE(extraSilent);
    left.resize(44100);
    right.resize(44100);
    double freq = 0, amp = 0;
    // Within 100 ppm (a sixth of a cent): the target level still settles slowly at this point.
    measureSine(left, 44100, 1000.0, freq, amp);
    EXPECT_NEAR(freq, 1000.0, 0.1);
    EXPECT_NEAR(20 * std::log10(amp / 0.5), 0.0, 0.05);
    measureSine(right, 44100, 3000.0, freq, amp);
    EXPECT_NEAR(freq, 3000.0, 0.3);
    EXPECT_NEAR(20 * std::log10(amp / 0.25), 0.0, 0.05);
    EXPECT_EQ(fs.stats().underruns, 0u);
}

TEST(FrameSync, DropsSurplusSourceChannels)
{
    FrameSync fs;
    bool ok = true;
    int checked = 0;
    simulate(
        fs, Side{48000, 6, 128}, Side{48000, 2, 256}, 2.0,
        [](int64_t f, int c) { return float(c + 1) * 0.1f + float(f % 7) * 1e-3f; },
        [&](double t, const NDIlib_audio_frame_v2_t &frame) {
            if (t < 0.5)
                return;
            ASSERT_EQ(frame.no_channels, 2);
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < 256; ++i) {
                    const float v = frame.p_data[c * 256 + i];
                    ok &= std::abs(v - float(c + 1) * 0.1f) < 0.0075f;
                }
            ++checked;
        });
    EXPECT_TRUE(ok);
    EXPECT_GT(checked, 100);
}

// Same rates and one clock: the samples come out untouched, in order.
TEST(FrameSync, EqualRatesPassSamplesBitExact)
{
    for (auto [srcBlock, dstBlock] :
         {std::pair{256, 256}, {480, 256}, {64, 2048}, {32, 32}, {2048, 32}, {2048, 2048}}) {
        FrameSync fs;
        auto value = [](int64_t f, int c) {
            return (float(f % 65536) - 32768.f) / 32768.f * (c == 0 ? 1.f : -1.f);
        };
        int64_t expected = -1;
        int64_t exact = 0, wrong = 0;
        simulate(fs, Side{48000, 2, srcBlock}, Side{48000, 2, dstBlock}, 20.0, value,
                 [&](double, const NDIlib_audio_frame_v2_t &frame) {
                     const float *l = frame.p_data;
                     const float *r = frame.p_data + dstBlock;
                     for (int i = 0; i < dstBlock; ++i) {
                         if (expected < 0) {
                             if (l[i] == 0.f && r[i] == 0.f)
                                 continue;
                             expected = int64_t(l[i] * 32768.f + 32768.f);
                         }
                         if (l[i] == value(expected, 0) && r[i] == value(expected, 1))
                             ++exact;
                         else
                             ++wrong;
                         expected = (expected + 1) % 65536;
                     }
                 });
        EXPECT_GT(exact, 48000 * 19) << srcBlock << "/" << dstBlock;
        EXPECT_EQ(wrong, 0) << srcBlock << "/" << dstBlock;
        EXPECT_FALSE(fs.stats().resampling);
    }
}

// Clock drift between sender and receiver, held for hours: no underrun or overrun, locked
// within 10 s, and the fill level within 0.5 ms of its target from then on.
TEST(FrameSync, TracksDriftForEightHours)
{
    const double hours = 8.0;
    for (double ppm : {1000.0, -1000.0}) {
        FrameSync fs;
        const int rate = 8000;
        const Side src{rate, 1, 256, 1.0 / (1.0 + ppm * 1e-6)};
        const Side dst{rate, 1, 256};
        double worstAfterLock = 0;
        double nextCheck = 10.0;
        simulate(
            fs, src, dst, hours * 3600, [](int64_t, int) { return 0.25f; },
            [&](double t, const NDIlib_audio_frame_v2_t &) {
                if (t < nextCheck)
                    return;
                nextCheck += 1.0;
                const auto st = fs.stats();
                worstAfterLock = std::max(worstAfterLock, std::abs(st.fillMs - st.targetMs));
            });
        const auto st = fs.stats();
        EXPECT_EQ(st.underruns, 0u) << ppm;
        EXPECT_EQ(st.overruns, 0u) << ppm;
        EXPECT_EQ(st.resyncs, 0u) << ppm;
        EXPECT_LE(worstAfterLock, 0.5) << ppm;
        EXPECT_NEAR(st.correctionPpm, ppm, 50) << ppm;
    }
}

// A drifting 48 kHz stream with unequal blocks on both sides, checked sample by sample: the
// resampled sine stays clean (no click, no gap) after the switch from passthrough.
TEST(FrameSync, DriftCorrectionKeepsSignalClean)
{
    // Device blocks larger and smaller than the cross-fade.
    for (int block : {256, 64}) {
        FrameSync fs;
        const Side src{48000, 1, 480, 1.0 / (1.0 + 300e-6)};
        const Side dst{48000, 1, block};
        std::vector<float> tail;
        float maxStep = 0;
        float previous = 0;
        bool started = false;
        simulate(
            fs, src, dst, 120.0, [](int64_t f, int) { return sine(f, 440.0, 48000); },
            [&](double t, const NDIlib_audio_frame_v2_t &frame) {
                for (int i = 0; i < block; ++i) {
                    const float v = frame.p_data[i];
                    if (started)
                        maxStep = std::max(maxStep, std::abs(v - previous));
                    started = started || v != 0.f;
                    previous = v;
                }
                if (t > 110.0)
                    tail.insert(tail.end(), frame.p_data, frame.p_data + block);
            });
        // A 440 Hz sine of amplitude 0.5 moves at most 0.029 per sample at 48 kHz.
        EXPECT_LT(maxStep, 0.035f) << block;
        const auto st = fs.stats();
        EXPECT_TRUE(st.resampling) << block;
        EXPECT_EQ(st.underruns, 0u) << block;
        EXPECT_NEAR(st.correctionPpm, 300, 20) << block;
        tail.resize(48000);
        double freq = 0, amp = 0;
        measureSine(tail, 48000, 440.0 * (1 + 300e-6), freq, amp);
        EXPECT_NEAR(freq, 440.0 * (1 + 300e-6), 0.02) << block;
        EXPECT_NEAR(amp, 0.5, 0.005) << block;
    }
}

// The source stops: silence follows; it starts again: audio comes back.
TEST(FrameSync, SilenceAfterLossThenRecovers)
{
    FrameSync fs;
    std::vector<float> block(256, 0.5f);
    NDIlib_audio_frame_v2_t frame;
    auto pull = [&] {
        fs.capture(frame, 48000, 1, 256);
        float peak = 0;
        for (int i = 0; i < 256; ++i)
            peak = std::max(peak, std::abs(frame.p_data[i]));
        return peak;
    };
    pull();
    for (int k = 0; k < 200; ++k) {
        fs.push(block.data(), 256, 1, 256, 48000);
        pull();
    }
    EXPECT_EQ(pull(), 0.5f); // what is still in the ring
    int silentBlocks = 0;
    for (int k = 0; k < 20; ++k)
        silentBlocks += pull() == 0.f;
    EXPECT_GE(silentBlocks, 15);
    EXPECT_GE(fs.stats().underruns, 1u);
    bool back = false;
    for (int k = 0; k < 20 && !back; ++k) {
        fs.push(block.data(), 256, 1, 256, 48000);
        back = pull() == 0.5f;
    }
    EXPECT_TRUE(back);
}

// The producer stalls for 100 ms, then everything it owed arrives at once (a scheduling or
// network hiccup): an underrun, then the level is back at the target instead of keeping the
// burst as latency for good.
TEST(FrameSync, StallThenBurstDoesNotLeaveExtraLatency)
{
    FrameSync fs;
    std::vector<float> block(256, 0.25f);
    double tp = 0.0005;
    int64_t owed = 0;
    for (double tc = 0; tc < 10.0; tc += 256.0 / 48000) {
        while (tp <= tc) {
            const bool stalled = tp > 5.0 && tp < 5.1;
            if (stalled) {
                ++owed;
            } else {
                for (; owed >= 0; --owed)
                    fs.push(block.data(), 256, 1, 256, 48000, tp);
                owed = 0;
            }
            tp += 256.0 / 48000;
        }
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, 48000, 1, 256, tc);
    }
    const auto st = fs.stats();
    EXPECT_GE(st.underruns, 1u);
    EXPECT_TRUE(st.running);
    EXPECT_LT(std::abs(st.fillMs - st.targetMs), 1.0) << st.fillMs << " vs " << st.targetMs;
    EXPECT_FALSE(st.resampling);
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
    const int rate = 48000;
    std::vector<float> data(size_t(block), 0.f);
    std::vector<double> latency;
    int64_t sent = 0;
    bool started = false;
    auto code = [](int64_t f) { return float(f % 32768 + 1) / 32768.f; };
    for (int64_t j = 0; cycles(j) < seconds; ++j) {
        const double pullAt = cycles(j) + pullAfter;
        // Everything that has arrived by the pull, in order.
        while (cycles(sent) + delay(sent) <= pullAt) {
            for (int i = 0; i < block; ++i)
                data[size_t(i)] = code(sent * block + i);
            fs.push(data.data(), block, 1, block, rate, cycles(sent) + delay(sent));
            ++sent;
        }
        NDIlib_audio_frame_v2_t frame;
        fs.capture(frame, rate, 1, block, pullAt);
        for (int i = 0; i < block; ++i) {
            const float v = frame.p_data[i];
            started = started || v != 0.f;
            if (!started)
                continue;
            if (v == 0.f) {
                latency.push_back(-1);
                continue;
            }
            // The sample's frame number, modulo the code's period, gives its capture time.
            const int64_t playedFrame = j * block + i;
            const int64_t codeNow = int64_t(std::lround(v * 32768.f)) - 1;
            int64_t captured = playedFrame - ((playedFrame - codeNow) % 32768 + 32768) % 32768;
            latency.push_back(double(playedFrame - captured));
        }
    }
    return latency;
}

} // namespace

// On one clock the synchroniser holds a block plus a small reserve, whatever the network delay
// and its jitter as long as blocks come within their cycle: the latency is one cycle plus the
// reserve, and it stays put.
TEST(FrameSync, OneClockLatencyIsOneBlockPlusReserve)
{
    for (int block : {64, 256, 1024}) {
        FrameSync fs;
        const double period = block / 48000.0;
        uint32_t lcg = 12345;
        std::vector<double> delays;
        // Delays of 10 % to 60 % of a cycle (at 64 frames: 0.13 to 0.8 ms), in a fixed
        // pseudo-random order.
        auto delay = [&](int64_t k) {
            while (delays.size() <= size_t(k)) {
                lcg = lcg * 1664525u + 1013904223u;
                delays.push_back(period * (0.1 + 0.5 * double(lcg >> 8) / double(1u << 24)));
            }
            return delays[size_t(k)];
        };
        const auto latency = runOneClock(
            fs, block, 20.0, 0.02 * period, [&](int64_t j) { return double(j) * period; }, delay);
        ASSERT_GT(latency.size(), size_t(48000 * 19)) << block;
        const double reserve = 0.3e-3 * 48000;
        double lowest = 1e9, highest = -1;
        for (double l : latency) {
            ASSERT_GE(l, 0) << block; // no silence once playing
            lowest = std::min(lowest, l);
            highest = std::max(highest, l);
        }
        EXPECT_EQ(lowest, highest) << block;
        // Played one cycle after capture at the earliest: one block, plus the reserve.
        EXPECT_GE(lowest, block) << block;
        EXPECT_LE(lowest, block + reserve + 1) << block;
        EXPECT_EQ(fs.stats().underruns, 0u) << block;
    }
}

// The device stalls for 40 ms, runs the late cycle and the next one back to back, and then goes
// on from there (a JACK xrun): the block sent in the late cycle reaches the receiver after its
// next pull. It plays silence for what is missing, less than a block, and then the same latency
// as before, not a lasting extra delay.
TEST(FrameSync, DeviceStallCostsAtMostABlockAndKeepsLatency)
{
    const int block = 256;
    const double period = block / 48000.0;
    const int64_t stallAt = 1000;
    auto cycles = [&](int64_t j) {
        const double late = double(stallAt) * period + 0.040;
        if (j <= stallAt)
            return double(j) * period + (j == stallAt ? 0.040 : 0.0);
        return late + 300e-6 + double(j - stallAt - 1) * period;
    };
    FrameSync fs;
    const auto latency =
        runOneClock(fs, block, 10.0, 10e-6, cycles, [&](int64_t) { return 0.3 * period; });
    ASSERT_GT(latency.size(), size_t(48000 * 9));
    const double before = latency[size_t(block) * 500];
    const double after = latency.back();
    int64_t silent = 0, longest = 0, run = 0;
    for (double l : latency) {
        run = l < 0 ? run + 1 : 0;
        silent += l < 0;
        longest = std::max(longest, run);
    }
    EXPECT_GE(fs.stats().underruns, 1u);
    EXPECT_GT(silent, 0);
    EXPECT_LE(longest, block);
    EXPECT_EQ(after, before);
    EXPECT_LE(before, block + 0.3e-3 * 48000 + 1);
}

// Blocks that now and then come a cycle and a half late, at a steady pull pace: a burst of them
// and the first of a series cost short silences and no latency; the next one of the series,
// seconds later, raises the reserve by what was missing, and from then on the same lateness is
// covered.
TEST(FrameSync, RepeatedLateBlocksRaiseTheReserveOnce)
{
    const int block = 256;
    const double period = block / 48000.0;
    FrameSync fs;
    const auto latency = runOneClock(
        fs, block, 20.0, 0.02 * period, [&](int64_t j) { return double(j) * period; },
        [&](int64_t k) {
            // A burst of three, 20 ms apart, at 1.3 s; then one every 2.7 s from 4 s on.
            const bool burst = k == 250 || k == 254 || k == 258;
            return (burst || (k > 500 && k % 500 == 250) ? 1.5 : 0.3) * period;
        });
    ASSERT_GT(latency.size(), size_t(48000 * 19));
    const double reserve = 0.3e-3 * 48000;
    EXPECT_LE(latency[size_t(block) * 600], block + reserve + 1); // after the burst
    EXPECT_EQ(fs.stats().underruns, 4u); // the burst of three and the one that raised it
    EXPECT_GE(latency.back(), 2 * block);
    EXPECT_LE(latency.back(), 2 * block + reserve + 1);
}
