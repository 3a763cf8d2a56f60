#include "BridgeAnalysis.h"

#include "ProbeSignals.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace veltrin::bench {

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::vector<LatencyWindow> latencyWindows(const std::vector<double> &times,
                                          const std::vector<double> &latenciesMs, double start,
                                          double end, double length)
{
    std::vector<LatencyWindow> windows;
    for (double from = start; end - from >= length / 2; from += length) {
        std::vector<double> inside;
        for (size_t i = 0; i < times.size(); ++i)
            if (times[i] >= from && times[i] < from + length)
                inside.push_back(latenciesMs[i]);
        windows.push_back(
            LatencyWindow{from - start, percentile(inside, 50), static_cast<int>(inside.size())});
    }
    return windows;
}

namespace {

bool xrunWithin(const Recording &rec, double from, double to)
{
    return std::any_of(rec.xruns.begin(), rec.xruns.end(),
                       [&](double x) { return x >= from && x <= to; });
}

// What the listening side hears at time t was sent about one latency earlier: an xrun of the
// sending side up to then, or of either side up to two periods after, explains it.
bool heardNearXrun(const Recording &rec, double latency, double t)
{
    return xrunWithin(rec, t - latency - 2 * rec.period, t + 2 * rec.period);
}

} // namespace

Figures analyse(const Recording &rec, double start, double end)
{
    Figures r;
    const auto &emissions = rec.emissions;

    // Each arrival belongs to the latest earlier emission with its code.
    std::vector<double> delay(emissions.size(), -1);
    for (const TimedArrival &a : rec.arrivals) {
        const int code = Impulse::codeOf(a.area);
        if (code < 0)
            continue;
        auto it = std::upper_bound(emissions.begin(), emissions.end(), a.time,
                                   [](double t, const TimedEmission &e) { return t < e.time; });
        for (int back = 0; back < Impulse::kCodes && it != emissions.begin(); ++back) {
            --it;
            if (it->code == code) {
                auto &d = delay[size_t(it - emissions.begin())];
                if (d < 0)
                    d = a.time - it->time;
                break;
            }
        }
    }
    std::vector<size_t> inWindow;
    std::vector<double> delays;
    for (size_t i = 0; i < emissions.size(); ++i) {
        if (emissions[i].time < start || emissions[i].time > end)
            continue;
        inWindow.push_back(i);
        if (delay[i] >= 0)
            delays.push_back(delay[i]);
    }
    const double median = percentile(delays, 50);
    // A pulse cut by a gap decodes to a wrong code and lands a whole spacing or more away.
    for (size_t i : inWindow) {
        if (delay[i] >= 0 && std::abs(delay[i] - median) > rec.spacing / 2)
            delay[i] = -1;
        if (delay[i] >= 0) {
            r.latencyTimes.push_back(emissions[i].time);
            r.latenciesMs.push_back(delay[i] * 1e3);
        }
    }
    const auto &latencies = r.latenciesMs;
    r.emitted = static_cast<int>(inWindow.size());
    r.ran = !latencies.empty();
    r.medianMs = percentile(latencies, 50);
    r.p99Ms = percentile(latencies, 99);
    if (r.ran)
        r.spreadMs = *std::max_element(latencies.begin(), latencies.end())
                     - *std::min_element(latencies.begin(), latencies.end());
    r.tenSeconds = latencyWindows(r.latencyTimes, latencies, start, end, 10);
    r.minutes = latencyWindows(r.latencyTimes, latencies, start, end, 60);

    r.xruns = static_cast<int>(std::count_if(rec.xruns.begin(), rec.xruns.end(),
                                             [&](double x) { return x >= start && x <= end; }));
    const double period = rec.period;
    // A run of lost impulses belongs to an xrun window when it began at an xrun: one that came
    // while its first impulse was on the way, or during the spacing before it was sent.
    for (size_t j = 0; j < inWindow.size();) {
        if (delay[inWindow[j]] >= 0) {
            ++j;
            continue;
        }
        size_t k = j;
        while (k < inWindow.size() && delay[inWindow[k]] < 0)
            ++k;
        const double first = emissions[inWindow[j]].time;
        const bool atXrun =
            xrunWithin(rec, first - rec.spacing - 2 * period, first + median + 2 * period);
        (atXrun ? r.lostInside : r.lostOutside) += static_cast<int>(k - j);
        j = k;
    }
    auto nearXrun = [&](double t) { return heardNearXrun(rec, median, t); };
    for (const TimedSilence &s : rec.silences) {
        if (s.time < start + median || s.time > end)
            continue;
        double &longest = nearXrun(s.time) ? r.xrunSilenceMs : r.otherSilenceMs;
        longest = std::max(longest, s.length * 1e3);
    }
    for (const TimedDiscontinuity &d : rec.discontinuities) {
        if (d.time < start + median || d.time > end)
            continue;
        ++(nearXrun(d.time) ? r.discontinuitiesInside : r.discontinuitiesOutside);
    }
    return r;
}

FaultFigures analyseFault(const Recording &rec, const Figures &whole, double start, double end,
                          const FaultWindow &fault)
{
    FaultFigures f;
    const double windowEnd = std::min(end, fault.to + fault.settle);
    for (const TimedSilence &s : rec.silences) {
        if (s.time + s.length < fault.from || s.time > windowEnd)
            continue;
        ++f.silences;
        f.longestSilenceMs = std::max(f.longestSilenceMs, s.length * 1e3);
        if (!heardNearXrun(rec, whole.medianMs * 1e-3, s.time)) {
            ++f.otherSilences;
            f.longestOtherMs = std::max(f.longestOtherMs, s.length * 1e3);
        }
        f.window.push_back({s.time - fault.from, s.length});
    }
    const Figures window = analyse(rec, fault.from, windowEnd);
    f.lostInside = window.lostInside;
    f.lostOutside = window.lostOutside;

    std::vector<double> before, after;
    for (size_t i = 0; i < whole.latencyTimes.size(); ++i) {
        const double t = whole.latencyTimes[i];
        if (t >= start && t < fault.from)
            before.push_back(whole.latenciesMs[i]);
        else if (t >= windowEnd && t <= end)
            after.push_back(whole.latenciesMs[i]);
        f.audioBack = f.audioBack || t >= fault.to;
    }
    if (!before.empty())
        f.medianBeforeMs = percentile(before, 50);
    if (!after.empty())
        f.medianAfterMs = percentile(after, 50);
    if (!f.audioBack)
        return f;

    // Audio sent just before the fault ended is heard one latency later, and the receiver may
    // cover the gap a while longer: a silence that began by then is the fault's too.
    const double heardBy =
        fault.to + std::max(0.0, f.medianBeforeMs) * 1e-3 + 2 * rec.period + kHiddenGap;
    f.backMs = 0;
    for (const TimedSilence &s : rec.silences)
        if (s.time >= fault.from && s.time <= heardBy && s.time + s.length > fault.to)
            f.backMs = std::max(f.backMs, (s.time + s.length - fault.to) * 1e3);
    return f;
}

} // namespace veltrin::bench
