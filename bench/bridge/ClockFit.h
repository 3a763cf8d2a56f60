// The line from a JACK server's frame clock to CLOCK_MONOTONIC_RAW, fitted to the wake-ups of a
// probe's process callback, so that frames of two servers can be compared in time.
//
// A dummy driver starts cycle n at anchor + n * period on the machine's clock, and after an xrun
// starts again from a new anchor, later by however long the stall lasted; the frame counter
// carries on. A client wakes some time after the cycle starts, never before: microseconds when
// it runs first, up to a few hundred behind other clients on a busy machine. So the wake-ups lie
// on or above a set of parallel lines, one per stretch between stalls. A stretch ends where the
// wake-ups rise for good: around each xrun the server reported, at the cycle where they rise
// most, and wherever they jump by a third of a millisecond; but a stretch whose lowest wake-up
// is not above the one before is part of it (that was a late burst, not a stall). The slope,
// the server's real rate, is fitted by least squares to the lowest wake-up of every tenth of a
// second away from xruns, with one offset per stretch; each stretch's line then
// passes through its lowest wake-up. JACK's own cycle time stamps are not used: they are
// filtered, and off by milliseconds for seconds after an xrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrin::bench {

struct CycleStamp {
    int64_t frame = 0; // first frame of the cycle
    int64_t ns = 0;    // CLOCK_MONOTONIC_RAW when the probe's callback began
    uint32_t frames = 0;
};

class ClockMap
{
public:
    // Cycles in order of frame, and the times (CLOCK_MONOTONIC_RAW ns) at which the server
    // reported xruns. Invalid with fewer than two cycles.
    static ClockMap fit(const std::vector<CycleStamp> &cycles, const std::vector<int64_t> &xrunNs,
                        double nominalRate);

    bool valid() const { return !m_segments.empty(); }
    // Seconds on CLOCK_MONOTONIC_RAW at which `frame` was due.
    double seconds(double frame) const;
    // The frame due at `seconds` (inside a stall: the first frame after it).
    double frame(double seconds) const;
    // Frames per second of the server's clock between xruns.
    double rate() const { return 1.0 / m_slope; }
    // Stretches between stalls (one more than the stalls seen), in all and over a range.
    size_t segments() const { return m_segments.size(); }
    size_t segmentsBetween(double fromFrame, double toFrame) const
    {
        return segmentOf(toFrame) - segmentOf(fromFrame) + 1;
    }

private:
    struct Segment {
        int64_t firstFrame = 0;
        double offset = 0; // seconds from m_origin at frame m_frame0, on this stretch's line
    };
    size_t segmentOf(double frame) const;

    int64_t m_frame0 = 0;
    double m_origin = 0; // seconds
    double m_slope = 0;  // seconds per frame
    std::vector<Segment> m_segments;
};

} // namespace veltrin::bench
