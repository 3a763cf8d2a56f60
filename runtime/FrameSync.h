// The frame synchroniser: turns audio that arrives in network-sized blocks on the sender's
// clock into exactly the blocks a device asks for, at the device's rate and channel count.
//
// Threads: push() runs on one producer thread (a receiver's network thread, or a test);
// capture() runs on one consumer thread (the PortAudio callback). They meet in a planar
// single-producer single-consumer ring inside a SourceStream. A stream is built by the
// producer (it allocates) for one combination of source format and requested format, and is
// handed to the consumer through m_latest; the consumer hands finished streams back through
// m_retired and the producer frees them. capture() therefore never locks, allocates or makes
// a system call, except on its first call and whenever a larger block than ever before is
// asked for (the output buffer grows). A pull is a short run of named steps (produce()), whose
// state lives in the parts of FrameSyncParts.h; the consumer alone owns them. The figures
// (stats()) are atomics that any thread reads.
//
// Latency: before it starts, the synchroniser plays the device's pulls on paper for a moment
// and then starts where the leanest pull seen would have left just a small reserve in the ring:
// on one clock that is a block plus the reserve, however late within its cycle each block
// arrives. It never stops for a short block: a stall of the device (pulls far too late, then
// back to back) or a single late block is covered with silence and the late samples are
// dropped as they come while copying, so the latency stays; blocks that come late again and
// again raise the reserve by what was missing, and ten minutes without them give it back.
//
// Device cycles: a device whose cycle is longer than its block (a PipeWire graph whose quantum
// another client raised) pulls several blocks back to back and then waits. The pulls are timed
// as the device plays them (DeviceCycle), so that is no stall, and the level kept grows by the
// longer cycle while it lasts and shrinks back after.
//
// Drift: block arrivals and pulls are each fitted with a line (FrameSyncParts.h); the fill
// level is measured from the arrival line, free of the jitter of single blocks, and their
// paces give the drift. With equal rates the samples are copied untouched until the drift is
// known; a real one (or a level that walks away later) switches the stream to a windowed-sinc
// interpolator, once and for good, at a phase where it is the identity. A PI loop started from
// the measured drift then holds the level at a device block plus the interpolator's look-ahead
// plus the lateness that keeps coming, with the ratio slewed smoothly; a level raised by late
// blocks is brought back down by resampling, not by dropping samples.
#pragma once

#include "FrameSyncParts.h"
#include "NdiLib.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace veltrin::rt {

struct FrameSyncConfig {
    // Drift loop gains, 1/s and 1/s^2: a fill error of 1 ms changes the consumption rate by
    // 1000 ppm; Kp^2/4 would be critically damped, the loop starts from the measured drift.
    double proportionalGain = 1.0;
    double integralGain = 0.25;
    // The ratio is never corrected by more than this (crystals drift by far less).
    double maxCorrection = 0.005;
    // The correction moves by at most this much per second: no step in pitch.
    double slewPerSecond = 0.005;
    // Headroom kept above a whole block (the larger of the source's and the device's) when
    // playback starts; late arrivals at a steady pull pace add to it.
    double marginMs = 0.3;
    // Late arrivals never raise the reserve of a resampled stream beyond this.
    double maxLatenessMs = 4.0;
    // The lateness a resampled stream keeps a reserve for is the second-largest of the
    // lateness peaks of 64 slots this long: it stays for ten minutes after late blocks stop.
    double latenessSlotSeconds = 10.0;
    // Shortest time constant of the fill-level smoothing, ms; it is stretched to four blocks
    // of the larger side.
    double smoothingMs = 100.0;
    // A pull this much later than its block's duration means the device itself stalled (an
    // xrun): the samples that are late then are dropped when they come, instead of becoming
    // latency.
    double stallMs = 8.0;
    // Late blocks raise the reserve of a copied stream only when they keep coming: at least
    // this long after the first of a series, and with no more than repeatSeconds between two of
    // them. A single hiccup, or a burst of them (JACK reordering its graph as ports are
    // connected), costs short silences, not latency for good.
    double persistSeconds = 1.0;
    double repeatSeconds = 10.0;
    // A copied stream whose reserve late blocks raised gives the raise back once no block has
    // come short for this long: it reads the extra samples a little faster (0.1 %, far below
    // what an ear hears) and is copied untouched again once they are played off.
    double giveBackSeconds = 600.0;
    // Silence owed after a stall is made up only this long; later samples are played as they are.
    double owedMs = 50.0;
    // A resampled stream plays off by resampling what late blocks added, up to this much of
    // silence in a row; beyond it (an upstream stall) the late samples are dropped.
    double playOffMs = 10.0;
    // A resampled stream whose next block is late but partly there reads what there is more
    // slowly, down to this fraction of its pace, for one device block: a pitch that dips for a
    // few milliseconds instead of a gap that clicks.
    double minStretch = 0.75;
    // After this long (and at least four device blocks) with nothing to play the source is
    // taken as gone, and playback starts again when audio comes back (a resampled stream from
    // the paces and the reserve it had).
    double goneMs = 250.0;
    // Equal rates: a drift above this, and above five standard errors of its measurement, for
    // driftConfirmSeconds without a break, resamples; the decision is looked at after
    // decideAfterSeconds of arrivals and taken for good after decideBySeconds. A loaded machine
    // tilts the fits of one clock by up to some 40 ppm for seconds at a time (its threads wake
    // later and later as the load grows; about 100 ppm with sanitizer builds saturating two
    // cores, and such a stream then resamples); a smaller drift shows as a level that walks away.
    double minDriftPpm = 80.0;
    double driftConfirmSeconds = 2.5;
    double decideAfterSeconds = 1.0;
    double decideBySeconds = 6.0;
    // Copying, the samples stay untouched while the smoothed level stays within this of where
    // it settled after a start ...
    double passthroughBandMs = 2.0;
    // ... and the error must stay outside it this long before resampling starts: a drift
    // stays outside, while a stall of the sender, or a level that settled askew while a loaded
    // machine started its threads, passes. A drift below minDriftPpm takes over 25 s to leave
    // the band, so waiting this long costs it little.
    double passthroughHoldSeconds = 10.0;
    // The level that copying holds is taken during this long after a start.
    double passthroughSettleSeconds = 0.5;
    // Arrivals (or pulls) further than this off their line for half a second mean the flow
    // itself moved: a device on the way lost a period, so later samples come a period later
    // for good. The line then starts again from there instead of bending towards them for tens
    // of seconds, and its distance is not taken for lateness.
    double stepMs = 2.0;
    // Ring capacity, s (at least 32768 frames).
    double ringSeconds = 0.25;
    // A fill level this far above the target is cut back at once (a stall upstream burst in).
    double resyncAboveMs = 150.0;
};

struct FrameSyncStats {
    uint64_t underruns = 0; // blocks that ran out of samples while running
    uint64_t stretched = 0; // blocks read more slowly to span a late block
    uint64_t overruns = 0;  // frames dropped because the ring was full
    uint64_t resyncs = 0;   // cut-backs of an excessive fill level
    double fillMs = 0;      // smoothed fill (ring plus resampler), source time
    double targetMs = 0;
    double correctionPpm = 0; // consumption rate correction
    double driftPpm = 0;      // source pace over device pace, as fitted
    bool running = false;     // delivering audio (false: buffering, silence)
    bool resampling = false;
};

struct SourceStream;

class FrameSync
{
public:
    static constexpr int kMaxChannels = 64;

    explicit FrameSync(const FrameSyncConfig &config = {});
    ~FrameSync();
    FrameSync(const FrameSync &) = delete;
    FrameSync &operator=(const FrameSync &) = delete;

    // Producer thread. One planar block; channel c starts at planar + c * strideFloats.
    // `now` is the arrival time in seconds on the clock the consumer uses; the overload
    // without it reads the steady clock.
    void push(const float *planar, int strideFloats, int channels, int samples, int sampleRate,
              double now);
    void push(const float *planar, int strideFloats, int channels, int samples, int sampleRate);

    // Consumer thread. Fills `frame` with exactly `samples` frames of `channels` channels at
    // `sampleRate`: source channel c on channel c, extra channels silent, silence when nothing
    // is there. The data stays valid until the next capture().
    // `now` as for push().
    void capture(NDIlib_audio_frame_v2_t &frame, int sampleRate, int channels, int samples,
                 double now);
    void capture(NDIlib_audio_frame_v2_t &frame, int sampleRate, int channels, int samples);

    // Any thread.
    FrameSyncStats stats() const;

private:
    struct Pull;
    void takeNewStream();
    // `pulledAt`: when the device asked, on the consumer's clock. An orchestrator of the steps
    // below, each with its state in a part of FrameSyncParts.h.
    void produce(SourceStream &s, float *out, int channels, int n, double pulledAt);
    Pull timePull(SourceStream &s, int n, double pulledAt);
    void fitPaces(Pull &p);
    // Plays the pulls on paper until the start is known; true once playing.
    bool startPlaying(SourceStream &s, const Pull &p);
    void followTarget(Pull &p);
    // Drops what a stall, owed silence or a burst from upstream put above the target.
    void catchUp(SourceStream &s, Pull &p);
    void decideClock(const Pull &p);
    int read(SourceStream &s, float *out, int channels, int n, const Pull &p);
    void countShortfall(const Pull &p, int made, int n);
    void publishFigures(double rate);
    // Drops up to `frames` of the oldest samples; returns how many went.
    double drop(SourceStream &s, Pull &p, double frames);
    void restart();
    // Moves the ring's read position up to what the play position still needs.
    void publishRead(SourceStream &s);
    int readPassthrough(SourceStream &s, float *out, int channels, int n);
    // Writes up to n frames per channel, channel c at out + c * n, at `step` source frames per
    // output frame; returns how many could be made.
    int readResampled(SourceStream &s, float *out, int channels, int n, double step);
    void reclaim();

    const FrameSyncConfig m_config;

    // Producer thread.
    SourceStream *m_producerStream = nullptr;
    // Handed from producer to consumer and back; the producer frees both.
    std::atomic<SourceStream *> m_latest{nullptr};
    std::atomic<SourceStream *> m_retired{nullptr};
    // The consumer's last request, read by the producer to build matching streams.
    std::atomic<int> m_requestedRate{0};
    std::atomic<int> m_requestedChannels{0};
    std::atomic<uint64_t> m_overruns{0};

    // Consumer thread: everything below but the figures, which any thread reads.
    SourceStream *m_current = nullptr;
    std::vector<float> m_out;
    std::vector<float> m_coefficients; // kTaps per output frame
    std::vector<int64_t> m_taps;       // first input frame per output frame; -1: wraps
    DeviceCycle m_device;              // the device's timing of its pulls
    StallWatch m_stall;
    FlowPaces m_paces;
    StartPlanner m_planner;
    LatenessPolicy m_lateness;
    PlayTarget m_target;
    CopyReserve m_reserve;
    OwedSilence m_owed;
    ShortRun m_shortRun;
    DriftLoop m_loop;
    ClockDecision m_decision;
    bool m_running = false;
    bool m_resampling = false;
    // The play position, source frames: m_playFrame + m_playFrac (the interpolator's phase).
    int64_t m_playFrame = 0;
    double m_playFrac = 0;
    // The latest pull's figures (0 again after a restart until playback starts).
    double m_correction = 0;
    double m_drift = 0;
    int64_t m_framesOut = 0;
    std::atomic<uint64_t> m_underruns{0};
    std::atomic<uint64_t> m_stretched{0};
    std::atomic<uint64_t> m_resyncs{0};
    std::atomic<double> m_statFill{0}, m_statTarget{0}, m_statCorrection{0}, m_statDrift{0};
    std::atomic<bool> m_statRunning{false}, m_statResampling{false};
};

} // namespace veltrin::rt
