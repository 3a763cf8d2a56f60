// Figures of one bridge run from what the probes recorded, every event already placed in
// seconds on one reference clock (the server's frame clock when one server carries both sides,
// CLOCK_MONOTONIC_RAW when each side has its own). Pure code: no JACK, no processes.
#pragma once

#include <vector>

namespace veltrin::bench {

struct TimedEmission {
    double time = 0;
    int code = 0;
};

struct TimedArrival {
    double time = 0;
    double area = 0;
};

struct TimedSilence {
    double time = 0;
    double length = 0; // seconds
};

struct TimedDiscontinuity {
    double time = 0;
    double jump = 0; // samples; NaN when the tone broke off
};

struct Recording {
    std::vector<TimedEmission> emissions; // in order of time
    std::vector<TimedArrival> arrivals;
    std::vector<TimedSilence> silences;
    std::vector<TimedDiscontinuity> discontinuities;
    std::vector<double> xruns; // of every server the run uses
    double period = 0;         // seconds; the longer of the two servers' periods
    double spacing = 0;        // seconds between impulses
};

struct LatencyWindow {
    double start = 0; // seconds after the start of measuring
    double medianMs = 0;
    int count = 0;
};

struct Figures {
    bool ran = false;
    int emitted = 0, lostInside = 0, lostOutside = 0, xruns = 0;
    double medianMs = 0, p99Ms = 0, spreadMs = 0;
    double xrunSilenceMs = 0;  // longest silence that began at an xrun
    double otherSilenceMs = 0; // longest silence with no xrun near it
    int discontinuitiesInside = 0, discontinuitiesOutside = 0;
    std::vector<LatencyWindow> tenSeconds, minutes; // median latency of each
    std::vector<double> latencyTimes, latenciesMs;  // every matched impulse: emitted, latency
};

double percentile(std::vector<double> values, double p);

// The impulses emitted between `start` and `end` and what became of them. A latency is the
// delay from the emitting probe's output to the listening probe's input. Losses, silences and
// discontinuities count as inside an xrun window when an xrun (of either server) came close
// enough before or after to explain them; the margins are in the definitions in
// docs/performance.md.
Figures analyse(const Recording &recording, double start, double end);

// A fault between the bridge's two sides from `from` to `to` (on the recording's clock), and
// what the listening side heard of it. The fault's window runs from its start to `settle`
// seconds after its end: the silences and losses it caused show there.
struct FaultWindow {
    double from = 0, to = 0;
    double settle = 5;
};

struct FaultFigures {
    int silences = 0;            // silences that overlap the fault's window
    double longestSilenceMs = 0; // the longest of them
    int otherSilences = 0;       // of them, those with no xrun near (as in Figures)
    double longestOtherMs = 0;
    int lostInside = 0, lostOutside = 0; // impulses emitted in the window (xrun windows as above)
    double medianBeforeMs = -1;          // impulses emitted before the fault; -1: none came back
    double medianAfterMs = -1;           // impulses emitted after the window
    bool audioBack = false;              // an impulse emitted after the fault's end came back
    // From the fault's end to the end of the silence it caused that lasted longest past it (0:
    // none did, audio was playing as the fault ended); -1 when audio did not come back. A
    // silence that began up to a latency, two periods and kHiddenGap after the end is the
    // fault's too: a receiver may cover a gap for a while with what it holds.
    double backMs = -1;
    std::vector<TimedSilence> window; // the silences counted, times from the fault's start
};
constexpr double kHiddenGap = 0.25; // seconds

// `whole` is analyse() of the same recording from `start` to `end`.
FaultFigures analyseFault(const Recording &recording, const Figures &whole, double start,
                          double end, const FaultWindow &fault);

// Medians of the latencies by windows of `length` seconds from `start` (the last one may be
// shorter, and is left out when shorter than half a window).
std::vector<LatencyWindow> latencyWindows(const std::vector<double> &times,
                                          const std::vector<double> &latenciesMs, double start,
                                          double end, double length);

} // namespace veltrin::bench
