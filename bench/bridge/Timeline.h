// The bench rig's timelines: what the probes of a measurement recorded, placed on one clock.
// Plain code on the caller's thread.
#pragma once

#include "BenchRig.h"

namespace veltrin::bench {

// Everything the probes recorded, placed on one clock. One server: its frame clock (frames over
// the nominal rate), as a JACK connection between clients adds no delay. Two: CLOCK_MONOTONIC_RAW
// through each server's fitted line.
struct Timeline {
    Recording recording;
    double start = 0, end = 0;
    ClockReport clocks;
    int64_t gapFrames = 0;
};

// The probes' logs between `start` and `end` (CLOCK_MONOTONIC_RAW seconds) on one clock.
Timeline place(ProbeProcess &emitter, ProbeProcess &listener, double start, double end);

} // namespace veltrin::bench
