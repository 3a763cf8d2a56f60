// The parts of the frame synchroniser, one job each. All of them belong to the consumer thread
// (the device callback) once a stream is running: after construction none of them locks,
// allocates or makes a system call. Times are in seconds on the consumer's clock, positions in
// source frames.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace veltrin::rt {

// A straight line through (time, frames) points, fitted by least squares with exponential
// forgetting: the pace of block arrivals (or of pulls) and where the flow stands at any time,
// free of the jitter of single blocks. Jitter only ever delays a block or a wake-up, so the
// line is fitted to the earliest point of every window of `windowSeconds` (the lower envelope):
// a thread woken late, or a burst after it, does not tilt it, which on one clock would look like
// drift. Until the points span minSpan seconds the slope is the
// prior one (the nominal rate) and only the offset is fitted. A point further than `gate`
// seconds from the line is left out; when such points go on for `stepSeconds` the flow has
// really moved (a stall upstream) and the fit starts again from there, keeping its slope as
// the prior until the new points span a third of the memory (a fresh fit over a second or two
// would be far noisier than the slope it replaces).
class LineFit
{
public:
    static constexpr double kUnknown = 1e300;
    struct Config {
        double memorySeconds = 30.0; // time constant of the forgetting
        double minSpan = 2.0;        // s of points before the slope is fitted
        double gate = 0;             // s off the line (at its slope); 0: none is left out
        double stepSeconds = 0.5;
        double windowSeconds = 0.05;
    };
    LineFit(double priorSlope, const Config &config);
    LineFit() : LineFit(1.0, Config{}) {}

    // priorError: the prior slope's standard error, infinite for a nominal one.
    void reset(double priorSlope, double priorError = kUnknown);
    // Returns false if the point was left out as an outlier.
    bool add(double t, double y);
    // True once a window's point is in the fit.
    bool ready() const { return m_weight > 0; }
    double valueAt(double t) const;
    double slope() const;
    // Standard error of the fitted slope, from the scatter of the points about the line;
    // the prior's while the slope is not fitted (infinite for a nominal prior).
    double slopeError() const;
    // How often the flow was found to have moved (points off the line for stepSeconds).
    uint64_t steps() const { return m_steps; }
    // Seconds between the first and the latest point since the last (re)start.
    double span() const { return m_last - m_first; }

private:
    void rebase();
    void fit(double t, double y);
    bool ownSlope() const;
    Config m_config;
    double m_prior = 1.0;
    double m_priorError = kUnknown;
    // Sums of weights w, w t, w y, w t t, w t y, w y y about the anchor (m_t0, m_y0).
    double m_weight = 0, m_st = 0, m_sy = 0, m_stt = 0, m_sty = 0, m_syy = 0;
    double m_t0 = 0, m_y0 = 0;
    double m_first = 0, m_last = 0;
    double m_outlierSince = -1; // s; < 0 when the latest point fitted
    uint64_t m_steps = 0;
    // The current window: its start and its earliest point so far.
    bool m_windowOpen = false;
    double m_windowStart = 0, m_bestT = 0, m_bestY = 0;
};

// A windowed-sinc fractional-delay interpolator: 24 taps (a Kaiser window), so an output
// sample at input position x depends on the input from x - 11 to x + 12 and the group delay
// is 12 input frames (0.25 ms at 48 kHz). The coefficients come from a table of phases with
// linear interpolation between them. With cutoff 1 the phase 0 is exactly the identity, so a
// stream moves from copying to resampling without a seam.
class SincInterpolator
{
public:
    static constexpr int kTaps = 24;
    static constexpr int kBefore = 11; // taps before the sample at floor(x)
    static constexpr int kAfter = 12;  // taps after it: the look-ahead
    static constexpr int kPhases = 256;

    // cutoff: pass band edge as a fraction of the input's Nyquist frequency (1 for equal rates,
    // below the output's Nyquist when the rate goes down). Allocates: the producer builds it.
    explicit SincInterpolator(double cutoff);
    // The 24 coefficients for the input samples floor(x) - 11 ... floor(x) + 12, where
    // frac = x - floor(x) in [0, 1).
    void coefficients(double frac, float *out) const;

private:
    std::vector<float> m_table; // (kPhases + 1) rows of kTaps
};

// The device's own timing of its pulls. A device whose cycle (a graph's quantum) is longer than
// the block asked for pulls several blocks back to back when its cycle begins, then waits: it
// plays them one after the other. A pull that follows the previous one within a quarter of that
// one's length belongs to its cycle and is timed when the previous block will have played; a
// pull after a pause begins a cycle and is timed as it comes. The pulls then keep the device's
// pace instead of looking like a stall followed by a burst, and the length of a cycle tells how
// much the ring must hold when one begins. Nothing is chained across cycles, so the device's
// clock still shows in the pull times.
class DeviceCycle
{
public:
    // A pull of `frames` source frames lasting `dt` seconds of the device, coming at `now`.
    // Returns the pull's time on the device (never before the previous one's).
    double pull(double now, double dt, double frames);
    // Source frames pulled in the latest complete cycle; 0 before one completed.
    double cycleFrames() const { return m_cycle; }

private:
    double m_lastReal = -1, m_lastDt = 0, m_time = 0; // s
    double m_frames = 0, m_cycle = 0;                 // source frames
};

// Where playback starts: the device's pulls are played on paper while audio comes in, for
// long enough to see every phase of the two block sizes; the start then takes the read
// position that would have left exactly `ahead` frames after the leanest of them.
class StartPlanner
{
public:
    void reset() { m_observed = 0; }
    // One pull of blockIn source frames, dt seconds long, with `write` frames in the ring so
    // far. Returns true, and the start position, once `window` seconds were seen.
    bool observe(double write, double blockIn, double dt, double window, double ahead,
                 double &start);

private:
    double m_read = 0;  // on paper
    double m_least = 0; // the least any pull left
    double m_observed = 0;
};

// How much of the ring is kept as a reserve against blocks that come late, and what a late
// block costs.
// - Measured lateness (how far behind the fitted arrival line blocks come) is kept per slot of
//   slotSeconds; the reserve follows the second-largest of the last kSlots slots, so lateness
//   raises it only when it comes again, and it falls back once late blocks stop for that long
//   (with 10 s slots, over ten minutes: a busy machine's lateness comes and goes within
//   minutes, and a level that followed it would not be steady). It never exceeds the cap.
// - A block that ran short: a single one, or a burst, is made up (owed); lateness that keeps
//   coming at a steady pull pace for persistSeconds raises the reserve by what was missing
//   instead (used where measured lateness is not: passthrough, which must not resample).
class LatenessPolicy
{
public:
    static constexpr int kSlots = 64;
    struct Config {
        double persistSeconds = 1.0;
        double repeatSeconds = 10.0;
        double capSeconds = 0.004;
        double slotSeconds = 1.0;
    };
    explicit LatenessPolicy(const Config &config) : m_config(config) {}

    void reset();
    // Lateness of one arrival behind the fitted line, seconds (negative: early).
    void measured(double now, double late);
    // The lateness that keeps coming, seconds, at most the cap.
    double keptLateness() const;
    // A short block at `now`; `steady`: the pulls kept their pace (no device stall) and the
    // block before was complete. True: raise the reserve by what was missing; false: make it
    // up.
    bool shortBlock(double now, bool steady);

private:
    Config m_config;
    std::array<double, kSlots> m_peak{}; // per slot, seconds of lateness
    int64_t m_slot = -1;                 // the slot m_peak[m_slot % kSlots] is about
    double m_lastLate = -1e9, m_firstLate = 0;
};

// The drift loop: a PI controller from the fill level's error to the consumption rate's
// correction (positive: read faster), started from the drift the line fits measured, so it
// holds the level from the first block instead of winding up to it. The integral only learns
// from small errors (drift); large ones (a late burst to be played off) are the proportional
// part's alone. The correction applied moves towards the controller's at a bounded slew, so
// the pitch never steps.
class DriftLoop
{
public:
    struct Config {
        double proportionalGain = 1.0; // 1/s: 1 ms of error -> 1000 ppm
        double integralGain = 0.25;    // 1/s^2
        double maxCorrection = 0.005;
        double integrateWithin = 0.001; // s of error
        double slewPerSecond = 0.005;   // correction change per second at most
    };
    explicit DriftLoop(const Config &config) : m_config(config) {}

    // Starts from `drift` (source pace over device pace, minus 1) with no correction applied.
    void start(double drift);
    // Whether the loop holds a measured drift. One that does not (the fits had no slopes of
    // their own yet) takes the drift once its error is known: the integral takes it, and the
    // applied correction slews to it.
    void setMeasured(bool measured) { m_measured = measured; }
    void learn(double drift, double driftError);
    // error: fill level minus its target, seconds. Returns the correction to apply.
    double update(double error, double dt);
    double applied() const { return m_applied; }

private:
    Config m_config;
    double m_integral = 0;
    double m_applied = 0;
    bool m_measured = false;
};

// Copy or resample, decided once, early, from the measured drift, and never switched back.
// Unequal rates resample from the start. Equal rates copy until the fits tell: a drift larger
// than minDrift and than `sigmas` standard errors without a break, for confirmSeconds at
// minDrift and proportionally less for larger ones (a burst of late blocks tilts a short fit
// for a moment, a drift stays), resamples; once the fits have run
// decideBy seconds without that, the stream copies for good, unless its level leaves a band around
// its target for a while (a drift too small to measure early, minutes later). Either switch is
// seamless: the interpolator starts at phase 0, where it is the identity.
class ClockDecision
{
public:
    struct Config {
        double minDrift = 20e-6;
        double sigmas = 5.0;
        double decideAfter = 1.0; // s of fit before the first look
        double decideBy = 6.0;
        double confirmSeconds = 1.5;
        double bandSeconds = 0.002;
        double holdSeconds = 1.0;
    };
    enum class Mode { Undecided, Copy, Resample };

    explicit ClockDecision(const Config &config) : m_config(config) {}
    void reset(bool equalRates);
    // Once per pull while playing.
    Mode update(double fitSpan, double drift, double driftError, double levelError, double dt);
    Mode mode() const { return m_mode; }

private:
    Config m_config;
    Mode m_mode = Mode::Undecided;
    double m_outsideBand = 0;
    double m_drifting = 0; // s the drift has been clear without a break, times drift / minDrift
};

// The latest block arrival as the consumer reads it: the ring's write position after it, its
// time on the consumer's clock and its length in frames (0 before any).
struct Arrival {
    uint64_t pos = 0;
    double time = 0;
    int block = 0;
};

// The device's pace: a pull far later than its block's length means the device stalled (an
// xrun), and for a while after that its pulls come back to back, faster than any network path
// can deliver.
class StallWatch
{
public:
    struct Pull {
        double interval; // s since the previous pull
        bool stalled;    // this pull came far too late
        bool afterStall; // it belongs to the run of quick pulls that follows a stall
    };
    explicit StallWatch(double stallMs) : m_stallMs(stallMs) {}
    // A pull at `now` of a block dt seconds long.
    Pull pull(double now, double dt);

private:
    double m_stallMs;          // a pull this much later than its block's duration is a stall
    double m_lastPull = -1;    // s
    double m_lastStall = -1e9; // s: the latest pull that came far too late
};

// The paces of the source's flow and of the device's pulls, each a LineFit, and the drift
// between them. The arrival line also tells where the flow stands between arrivals, free of
// the jitter of single blocks; the distance of an arrival or a pull from its line is lateness,
// which goes to the LatenessPolicy once the line has its own slope (before, a drift would pass
// for it).
class FlowPaces
{
public:
    struct Drift {
        double drift; // source pace over device pace, minus 1
        double error; // its standard error; infinite until both lines have their own slopes
        double span;  // s of points in the shorter fit
    };
    // stepSeconds: arrivals (or pulls) this far off their line for half a second are a step
    // of the flow, not lateness.
    explicit FlowPaces(double stepSeconds);

    // Measured afresh from the nominal `rate`, or (keepPaces) from the paces fitted so far.
    void restart(double rate, bool keepPaces);
    // The latest arrival as read at a pull; the same one read again is not a new point.
    void arrival(const Arrival &latest, double rate, LatenessPolicy &lateness);
    // A pull of `frames` source frames at `now`. jitter: its distance from the pull line is
    // timing jitter (false for the quick pulls after a stall).
    void pull(double now, double frames, bool jitter, double rate, LatenessPolicy &lateness);
    Drift drift() const;
    // Where the source's flow stands at `now`, in source frames. A block is played out at the
    // sender over its duration before it arrives, so the flow stands a block behind the
    // arrival line; until the line has a point, it is interpolated from the latest arrival.
    double flowAt(double now, const Arrival &latest, double rate) const;
    // The ring ran short where the arrival line promised enough: the line runs ahead of the
    // blocks (it followed a few early ones), so it starts again from the real arrivals.
    void realign();

private:
    LineFit m_arrivals;         // arrival time -> write position after the block
    LineFit m_pulls;            // pull time -> source frames asked for so far
    uint64_t m_lastArrival = 0; // the write position of the latest arrival fitted
    double m_offLine = 0;       // s: the latest of a run of arrivals off their line
    double m_pulledFrames = 0;  // source frames the device asked for since the restart
};

// The level playback holds, in source frames, and the smoothed level it is compared with.
// Resampling, the target is a device cycle, the interpolator's look-ahead, the margin and the
// lateness that keeps coming (`resampled`); it falls slowly when lateness stops. Copying, it
// is the level the stream settled at during settleSeconds after a start, moved only by what
// the reserve and the device's cycle add or give back.
class PlayTarget
{
public:
    struct Config {
        double smoothingSeconds = 0.1; // shortest time constant of the smoothing
        double settleSeconds = 0.5;
        double descentPerSecond = 1e-4; // s of target per s, when lateness stops
    };
    struct Update {
        bool firstPull;     // the first pull since start(): the target was just taken
        bool settling;      // copying takes the smoothed level as its target
        double cycleChange; // source frames the device's cycle grew by (negative: shrank)
    };
    explicit PlayTarget(const Config &config) : m_config(config) {}

    // Playback starts: the next update takes the target.
    void start()
    {
        m_target = -1;
        m_runningFor = 0;
    }
    // One pull's level, dt seconds long, with the device's cycle of cycleIn source frames.
    Update update(double level, double dt, double cycleIn, bool resampling, double resampled,
                  double rate);
    void set(double target) { m_target = target; }
    // Late blocks that keep coming raise it; a raise given back lowers it.
    void raise(double shortfall) { m_target += shortfall; }
    void lower(double frames) { m_target -= frames; }
    // Samples dropped on purpose: no measurement error, so the smoothed level moves with them.
    void dropped(double frames) { m_smoothed -= frames; }
    double value() const { return m_target; }
    double smoothed() const { return m_smoothed; }

private:
    Config m_config;
    double m_target = -1; // < 0 until the first pull after a start
    double m_smoothed = 0;
    double m_runningFor = 0; // s since the last start, or since the device's cycle changed
    double m_cycle = 0;      // source frames: the device cycle the target was set for
};

// The reserve a copied stream keeps above a block against late blocks, source frames. It
// starts at the margin; late blocks that keep coming raise it (up to maxSeconds); once no
// block has come short for giveBackSeconds the raise is played off, reading `pace` faster
// (far below what an ear hears), and the stream is copied untouched again after. A short
// block ends the give-back early and the rest of the raise stays.
class CopyReserve
{
public:
    struct Config {
        double giveBackSeconds = 600.0;
        double pace = 1e-3;
        double maxSeconds = 0.1;
    };
    explicit CopyReserve(const Config &config) : m_config(config) {}

    // A new stream takes the margin at its first pull; a source back after it was gone keeps
    // the reserve it had.
    void newStream() { m_reserve = -1; }
    double frames(double margin)
    {
        if (m_reserve < 0)
            m_reserve = margin;
        return m_reserve;
    }
    double frames() const { return m_reserve; }
    // Playback starts, or a block came short, at `now`.
    void start(double now)
    {
        m_lastShort = now;
        m_giveBack = 0;
    }
    void shortBlock(double now) { m_lastShort = now; }
    void raise(double frames, double rate);
    // Once per copied pull after settling: starts giving the raise back after a quiet spell.
    void considerGiveBack(double now, double margin);
    bool givingBack() const { return m_giveBack > 0; }
    // The frames to play off over a block of n frames.
    double playOff(int n);
    // Giving back ends: what was not played off stays in the reserve.
    void endGiveBack()
    {
        m_reserve += m_giveBack;
        m_giveBack = 0;
    }

private:
    Config m_config;
    double m_reserve = -1;  // < 0: a new stream, not pulled yet
    double m_lastShort = 0; // s: the latest block that came short, or the start
    double m_giveBack = 0;  // the raise still to play off
};

// Silence that covered late samples, owed until `until`: the late samples are dropped as they
// come, so a stall or a late block costs silence and not latency. After `until` whatever is
// still owed is forgiven and later samples play as they are.
class OwedSilence
{
public:
    void clear() { m_owed = 0; }
    void owe(double frames, double until)
    {
        m_owed += frames;
        m_owedUntil = until;
    }
    // Source frames still owed at `now`.
    double due(double now);
    void paid(double frames) { m_owed -= frames; }

private:
    double m_owed = 0;      // source frames
    double m_owedUntil = 0; // s
};

// A run of consecutive blocks that came short, and what a resampled stream does about it: a
// short run of silence is played off by resampling; once the run is longer than playOffSeconds,
// or after a stall of the device, the late samples are dropped as they come. A run longer
// than goneSeconds (and four blocks) means the source is gone.
class ShortRun
{
public:
    struct Config {
        double playOffSeconds = 0.01;
        double goneSeconds = 0.25;
    };
    explicit ShortRun(const Config &config) : m_config(config) {}

    void clear()
    {
        m_for = 0;
        m_frames = 0;
        m_short = false;
    }
    // A block dt seconds long came `shortfall` source frames short. Returns whether the block
    // before it was complete.
    bool add(double dt, double shortfall);
    // Resampled: the source frames to drop as they come for this block (0: none, the level
    // they add is played off).
    double toDrop(double dt, double shortfall, bool afterStall) const;
    bool gone(double dt) const { return m_for > std::max(m_config.goneSeconds, 4 * dt); }

private:
    Config m_config;
    double m_for = 0;    // s of consecutive short blocks
    double m_frames = 0; // source frames they lacked
    bool m_short = false;
};

// A resampled block that would run short but for a little is read more slowly, down to
// minStretch of its pace, so that it spans the whole device block with the interpolator's
// look-ahead: a pitch that dips for a few milliseconds instead of a gap that clicks. `there`:
// source frames in the ring past the play position; `step`: source frames per output frame,
// lowered when it returns true.
bool stretchToSpan(double there, int n, double minStretch, double &step);

} // namespace veltrin::rt
