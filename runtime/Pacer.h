// Audio clocking for a sender whose caller has no clock of its own: a caller that hands over
// audio faster than real time (a file, a generator) is told to wait until its next block is
// due; a caller paced by a device never is. The pace is the audio rate plus a small tolerance,
// with a start-up burst allowed, and a caller that fell behind gets no credit beyond that burst
// (a device skips what it missed, it never catches up faster).
//
// Threads: one (the caller's). Time is passed in as `now`, so tests drive it on a virtual
// clock; a pure calculation, no system call.
#pragma once

namespace veltrin::rt {

class Pacer
{
public:
    // A caller this much faster than the audio rate is paced; real devices are within 0.1 %.
    static constexpr double kTolerance = 1.005;

    // The caller hands over `samples` frames at `rate` at `now` (s on a steady clock): the
    // seconds it should wait before it goes on (0: none).
    double wait(double now, int samples, int rate);

private:
    double m_due = 0; // when the caller may send again without waiting
    bool m_started = false;
};

} // namespace veltrin::rt
