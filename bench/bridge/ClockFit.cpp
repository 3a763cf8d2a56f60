#include "ClockFit.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrin::bench {

namespace {

constexpr double kBlockSeconds = 0.1;   // one lowest wake-up per tenth of a second
constexpr double kStallSeconds = 20e-6; // a smaller rise at an xrun is left to the jitter
// Where a stall lies around the report of its xrun, which comes later, from another thread.
constexpr double kStallBefore = 0.3, kStallAfter = 0.1;
constexpr size_t kSkip = 2; // cycles at a stretch's start that lie on neither line
constexpr size_t kRiseCycles = 10;
// A rise this large is a stall even when no xrun was reported (jitter never lasts at this).
constexpr double kJumpSeconds = 300e-6;
// The slope is fitted away from xruns: the wake-ups around them are a mess of stalls.
constexpr double kQuietBefore = 0.3, kQuietAfter = 0.5;
constexpr size_t kMinQuietBlocks = 20;
constexpr double kBurstSeconds = 1; // a client late for longer is not taken for a burst

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    return *middle;
}

struct Block {
    size_t segment = 0;
    double frame = 0;
    double residual = 0;
};

// Frames and seconds from the first cycle.
struct Points {
    std::vector<double> frame, time;

    size_t size() const { return frame.size(); }
    double residual(size_t i, double slope) const { return time[i] - slope * frame[i]; }

    // How far the residuals rise for good at cycle i: the median of the cycles after the
    // stall's first two, less that of the cycles before it, within [begin, end).
    double rise(size_t i, size_t begin, size_t end, double slope) const
    {
        std::vector<double> before, after;
        for (size_t j = i > begin + kRiseCycles ? i - kRiseCycles : begin; j < i; ++j)
            before.push_back(residual(j, slope));
        for (size_t j = i + kSkip; j < std::min(end, i + kSkip + kRiseCycles); ++j)
            after.push_back(residual(j, slope));
        return before.empty() || after.empty() ? 0 : median(after) - median(before);
    }
};

// Where stretches may begin: every cycle that does not follow on from the one before (`pieces`,
// never merged), and for each reported xrun the cycle around it where the residuals rise most.
struct Boundaries {
    std::vector<size_t> pieces, stalls;

    std::vector<size_t> all() const
    {
        std::vector<size_t> starts = pieces;
        starts.insert(starts.end(), stalls.begin(), stalls.end());
        std::sort(starts.begin(), starts.end());
        starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
        return starts;
    }
    // The piece that holds cycle i: [first, end).
    std::pair<size_t, size_t> pieceOf(size_t i, size_t n) const
    {
        const auto next = std::upper_bound(pieces.begin(), pieces.end(), i);
        return {*(next - 1), next == pieces.end() ? n : *next};
    }
};

// The lowest residual of every block of a tenth of a second within each stretch, leaving out
// the blocks near an xrun if enough others remain.
std::vector<Block> blocks(const Points &p, const std::vector<size_t> &starts, double slope,
                          double blockFrames, const std::vector<double> &xruns)
{
    auto quiet = [&](double t) {
        const auto next = std::lower_bound(xruns.begin(), xruns.end(), t - kQuietAfter);
        return next == xruns.end() || *next > t + kQuietBefore;
    };
    std::vector<Block> out, calm;
    for (size_t s = 0; s < starts.size(); ++s) {
        const size_t end = s + 1 < starts.size() ? starts[s + 1] : p.size();
        size_t i = starts[s] + (end - starts[s] > 2 * kSkip ? kSkip : 0);
        while (i < end) {
            Block b{s, 0, std::numeric_limits<double>::infinity()};
            const double blockStart = p.frame[i];
            const double time = p.time[i];
            for (; i < end && p.frame[i] - blockStart < blockFrames; ++i) {
                const double r = p.residual(i, slope);
                if (r < b.residual)
                    b = Block{s, p.frame[i], r};
            }
            out.push_back(b);
            if (quiet(time))
                calm.push_back(b);
        }
    }
    return calm.size() >= kMinQuietBlocks ? calm : out;
}

// Drift of the residuals per frame, by least squares with one offset per stretch, leaving out
// blocks that sat well above the line (a client late for a whole tenth of a second).
double fittedDrift(const std::vector<Block> &blocks, size_t segments)
{
    std::vector<bool> use(blocks.size(), true);
    double drift = 0;
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> sumF(segments), sumR(segments);
        std::vector<int> count(segments);
        for (size_t k = 0; k < blocks.size(); ++k) {
            if (!use[k])
                continue;
            sumF[blocks[k].segment] += blocks[k].frame;
            sumR[blocks[k].segment] += blocks[k].residual;
            ++count[blocks[k].segment];
        }
        double sxy = 0, sxx = 0;
        for (size_t k = 0; k < blocks.size(); ++k) {
            const size_t s = blocks[k].segment;
            if (!use[k] || count[s] < 2)
                continue;
            const double df = blocks[k].frame - sumF[s] / count[s];
            sxy += df * (blocks[k].residual - sumR[s] / count[s]);
            sxx += df * df;
        }
        if (sxx <= 0)
            return drift;
        drift = sxy / sxx;
        std::vector<double> errors(blocks.size());
        for (size_t k = 0; k < blocks.size(); ++k) {
            const size_t s = blocks[k].segment;
            errors[k] = count[s] == 0 ? 0
                                      : blocks[k].residual - sumR[s] / count[s]
                                            - drift * (blocks[k].frame - sumF[s] / count[s]);
        }
        const double middle = median(errors);
        std::vector<double> deviations;
        for (double e : errors)
            deviations.push_back(std::fabs(e - middle));
        const double limit = middle + 4 * median(deviations) + 5e-6;
        for (size_t k = 0; k < blocks.size(); ++k)
            use[k] = errors[k] <= limit;
    }
    return drift;
}

} // namespace

ClockMap ClockMap::fit(const std::vector<CycleStamp> &cycles, const std::vector<int64_t> &xrunNs,
                       double nominalRate)
{
    ClockMap map;
    if (cycles.size() < 2 || nominalRate <= 0)
        return map;
    const size_t n = cycles.size();
    map.m_frame0 = cycles.front().frame;
    map.m_origin = static_cast<double>(cycles.front().ns) * 1e-9;
    Points p;
    Boundaries b;
    for (size_t i = 0; i < n; ++i) {
        p.frame.push_back(static_cast<double>(cycles[i].frame - map.m_frame0));
        p.time.push_back(static_cast<double>(cycles[i].ns - cycles.front().ns) * 1e-9);
        if (i == 0 || cycles[i].frame != cycles[i - 1].frame + cycles[i - 1].frames)
            b.pieces.push_back(i);
    }
    const double blockFrames = kBlockSeconds * nominalRate;
    double slope = 1.0 / nominalRate;

    // An xrun may be reported twice, and two close together make one stall.
    std::vector<double> xruns;
    for (const int64_t x : xrunNs)
        xruns.push_back(static_cast<double>(x - cycles.front().ns) * 1e-9);
    std::sort(xruns.begin(), xruns.end());
    double last = -1e9;
    for (const double t : xruns) {
        if (t - last < kStallAfter)
            continue;
        last = t;
        const auto from = std::lower_bound(p.time.begin(), p.time.end(), t - kStallBefore);
        const auto to = std::upper_bound(p.time.begin(), p.time.end(), t + kStallAfter);
        double highest = 0;
        size_t at = n;
        for (auto it = from; it != to; ++it) {
            const auto i = static_cast<size_t>(it - p.time.begin());
            const auto [begin, end] = b.pieceOf(i, n);
            const double r = p.rise(i, begin, end, slope);
            if (r > highest) {
                highest = r;
                at = i;
            }
        }
        if (at < n)
            b.stalls.push_back(at);
    }

    // The slope with a split at every xrun; then the large rises no xrun explained (a burst
    // of stalls reported as one); then the slope again with the splits where a stall was real.
    auto starts = b.all();
    for (int pass = 0; pass < 2; ++pass)
        slope += fittedDrift(blocks(p, starts, slope, blockFrames, xruns), starts.size());
    for (size_t i = 1; i < n; ++i) {
        if (p.residual(i, slope) - p.residual(i - 1, slope) < kJumpSeconds)
            continue;
        const auto [begin, end] = b.pieceOf(i, n);
        if (i > begin && p.rise(i, begin, end, slope) > kJumpSeconds / 2)
            b.stalls.push_back(i);
    }
    std::vector<size_t> stalls;
    for (const size_t i : b.stalls) {
        const auto [begin, end] = b.pieceOf(i, n);
        if (p.rise(i, begin, end, slope) > kStallSeconds)
            stalls.push_back(i);
    }
    b.stalls = stalls;
    starts = b.all();
    slope += fittedDrift(blocks(p, starts, slope, blockFrames, xruns), starts.size());

    // Each stretch's line through its lowest wake-up. Stalls only ever raise the floor; a late
    // burst may pass for one, but after it the floor comes back: a stretch whose floor is not
    // above the one before by a stall's worth, or a short one whose floor is above a later
    // one's, is part of the one before. Breaks of the frame counter are kept.
    auto floorOf = [&](size_t s) {
        const size_t end = s + 1 < starts.size() ? starts[s + 1] : n;
        const size_t from = starts[s] + (end - starts[s] > 2 * kSkip ? kSkip : 0);
        double floor = std::numeric_limits<double>::infinity();
        for (size_t i = from; i < end; ++i)
            floor = std::min(floor, p.residual(i, slope));
        return floor;
    };
    auto piece = [&](size_t start) {
        return std::binary_search(b.pieces.begin(), b.pieces.end(), start);
    };
    std::vector<size_t> kept{starts.front()};
    std::vector<double> floors{floorOf(0)};
    for (size_t s = 1; s < starts.size(); ++s) {
        double floor = floorOf(s);
        if (piece(starts[s])) {
            kept.push_back(starts[s]);
            floors.push_back(floor);
            continue;
        }
        while (kept.size() > 1 && !piece(kept.back()) && floors.back() > floor
               && p.time[starts[s]] - p.time[kept.back()] < kBurstSeconds) {
            kept.pop_back();
            floors.pop_back();
        }
        if (floor - floors.back() < kStallSeconds) {
            floors.back() = std::min(floors.back(), floor);
            continue;
        }
        kept.push_back(starts[s]);
        floors.push_back(floor);
    }
    map.m_slope = slope;
    for (size_t s = 0; s < kept.size(); ++s)
        map.m_segments.push_back(Segment{cycles[kept[s]].frame, floors[s]});
    return map;
}

size_t ClockMap::segmentOf(double frame) const
{
    const auto after = std::upper_bound(
        m_segments.begin(), m_segments.end(), frame,
        [](double f, const Segment &s) { return f < static_cast<double>(s.firstFrame); });
    return after == m_segments.begin() ? 0 : static_cast<size_t>(after - m_segments.begin()) - 1;
}

double ClockMap::seconds(double frame) const
{
    const Segment &s = m_segments[segmentOf(frame)];
    return m_origin + s.offset + m_slope * (frame - static_cast<double>(m_frame0));
}

double ClockMap::frame(double seconds) const
{
    const double x = seconds - m_origin;
    size_t s = m_segments.size() - 1;
    auto start = [&](size_t k) {
        return m_segments[k].offset
               + m_slope * static_cast<double>(m_segments[k].firstFrame - m_frame0);
    };
    while (s > 0 && x < start(s))
        --s;
    double f = (x - m_segments[s].offset) / m_slope + static_cast<double>(m_frame0);
    if (s + 1 < m_segments.size())
        f = std::min(f, static_cast<double>(m_segments[s + 1].firstFrame));
    return f;
}

} // namespace veltrin::bench
