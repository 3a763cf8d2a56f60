#include "Timeline.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace veltrin::bench {

namespace {

std::vector<CycleStamp> cyclesBetween(const std::vector<CycleStamp> &cycles, double from, double to)
{
    std::vector<CycleStamp> out;
    for (const CycleStamp &c : cycles) {
        const double t = static_cast<double>(c.ns) * 1e-9;
        if (t >= from && t <= to)
            out.push_back(c);
    }
    return out;
}

// Frames per second from the first to the last cycle: stalls included.
double framesPerSecond(const std::vector<CycleStamp> &cycles)
{
    if (cycles.size() < 2)
        return 0;
    return static_cast<double>(cycles.back().frame - cycles.front().frame)
           / (static_cast<double>(cycles.back().ns - cycles.front().ns) * 1e-9);
}

// Seconds at which the cycle running at `t` began.
double cycleStart(const std::vector<CycleStamp> &cycles, const ClockMap &map, double t)
{
    const auto after =
        std::upper_bound(cycles.begin(), cycles.end(), t, [](double x, const CycleStamp &c) {
            return x < static_cast<double>(c.ns) * 1e-9;
        });
    const CycleStamp &c = after == cycles.begin() ? cycles.front() : *(after - 1);
    return map.seconds(static_cast<double>(c.frame));
}

int64_t gapFrames(const ProbeLog &log, double fromFrame, double toFrame)
{
    int64_t frames = 0;
    for (const ProbeGap &g : log.gaps)
        if (static_cast<double>(g.frame) >= fromFrame && static_cast<double>(g.frame) <= toFrame)
            frames += g.length;
    return frames;
}

} // namespace

Timeline place(ProbeProcess &emitter, ProbeProcess &listener, double start, double end)
{
    Timeline out;
    const bool oneClock = &emitter == &listener;
    const SideConfig &a = emitter.side().config(), &b = listener.side().config();
    const ProbeLog &la = emitter.log(), &lb = listener.log();
    // Enough before the window for the line to be firm where measuring begins.
    const auto cyclesA = cyclesBetween(la.cycles, start - 20, end + 2);
    const auto cyclesB = oneClock ? cyclesA : cyclesBetween(lb.cycles, start - 20, end + 2);
    auto xrunTimes = [](const ProbeLog &log) {
        std::vector<int64_t> ns;
        for (const XrunStamp &x : log.xruns)
            ns.push_back(x.ns);
        return ns;
    };
    const ClockMap mapA = ClockMap::fit(cyclesA, xrunTimes(la), a.rate);
    const ClockMap mapB = oneClock ? mapA : ClockMap::fit(cyclesB, xrunTimes(lb), b.rate);
    if (!mapA.valid() || !mapB.valid())
        return out;

    Recording &rec = out.recording;
    rec.spacing = emitter.spacing();
    rec.period = std::max(double(a.period) / a.rate, double(b.period) / b.rate);
    std::function<double(double)> timeA, timeB;
    if (oneClock) {
        timeA = timeB = [rate = double(a.rate)](double frame) { return frame / rate; };
        out.start = mapA.frame(start) / a.rate;
        out.end = mapA.frame(end) / a.rate;
        for (const XrunStamp &x : la.xruns)
            rec.xruns.push_back(static_cast<double>(x.frame) / a.rate);
    } else {
        timeA = [&mapA](double frame) { return mapA.seconds(frame); };
        timeB = [&mapB](double frame) { return mapB.seconds(frame); };
        out.start = start;
        out.end = end;
        for (const ProbeLog *log : {&la, &lb})
            for (const XrunStamp &x : log->xruns)
                rec.xruns.push_back(static_cast<double>(x.ns) * 1e-9);
        std::sort(rec.xruns.begin(), rec.xruns.end());
    }
    for (const Emission &e : la.emissions)
        rec.emissions.push_back({timeA(static_cast<double>(e.frame)), e.code});
    // A pulse resampled to another rate has as many more or fewer samples: its area, which
    // carries the code, with it.
    const double areaScale = double(a.rate) / b.rate;
    for (const Arrival &r : lb.arrivals)
        rec.arrivals.push_back({timeB(r.frame), r.area * areaScale});
    for (const Silence &s : lb.silences)
        rec.silences.push_back(
            {timeB(static_cast<double>(s.start)), static_cast<double>(s.length) / b.rate});
    for (const Discontinuity &d : lb.discontinuities)
        rec.discontinuities.push_back({timeB(d.frame), d.jump});

    ClockReport &c = out.clocks;
    c.rateA = mapA.rate();
    c.rateB = mapB.rate();
    c.framesPerSecondA = framesPerSecond(cyclesBetween(la.cycles, start, end));
    c.framesPerSecondB = framesPerSecond(cyclesBetween(lb.cycles, start, end));
    c.segmentsA = mapA.segmentsBetween(mapA.frame(start), mapA.frame(end));
    c.segmentsB = mapB.segmentsBetween(mapB.frame(start), mapB.frame(end));
    const double periodA = double(a.period) / a.rate, periodB = double(b.period) / b.rate;
    if (!oneClock && std::fabs(periodA - periodB) < 1e-3 * periodA) {
        const double lag = cycleStart(cyclesB, mapB, start) - cycleStart(cyclesA, mapA, start);
        c.phase = lag / periodA - std::floor(lag / periodA);
    }
    out.gapFrames = gapFrames(la, mapA.frame(start), mapA.frame(end));
    if (!oneClock)
        out.gapFrames += gapFrames(lb, mapB.frame(start), mapB.frame(end));
    return out;
}

} // namespace veltrin::bench
