#include "FrameSyncParts.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrin::rt {

LineFit::LineFit(double priorSlope, const Config &config) : m_config(config), m_prior(priorSlope) {}

void LineFit::reset(double priorSlope, double priorError)
{
    m_prior = priorSlope;
    m_priorError = priorError;
    m_weight = m_st = m_sy = m_stt = m_sty = m_syy = 0;
    m_outlierSince = -1;
    m_windowOpen = false;
}

bool LineFit::add(double t, double y)
{
    if (m_weight > 0 && m_config.gate > 0
        && std::abs(y - valueAt(t)) > m_config.gate * std::abs(slope())) {
        if (m_outlierSince < 0)
            m_outlierSince = t;
        if (t - m_outlierSince < m_config.stepSeconds)
            return false;
        // Far off the line for long enough: the flow itself moved. The pace stays as it was.
        reset(slope(), slopeError());
        ++m_steps;
    }
    m_outlierSince = -1;
    const double pace = slope();
    if (m_windowOpen && t - m_windowStart >= m_config.windowSeconds) {
        fit(m_bestT, m_bestY);
        m_windowOpen = false;
    }
    if (!m_windowOpen) {
        m_windowOpen = true;
        m_windowStart = m_bestT = t;
        m_bestY = y;
    } else if (t - y / pace < m_bestT - m_bestY / pace) {
        m_bestT = t;
        m_bestY = y;
    }
    return true;
}

void LineFit::fit(double t, double y)
{
    if (m_weight <= 0) {
        m_t0 = t;
        m_y0 = y;
        m_first = m_last = t;
    }
    const double w = std::exp(-std::max(0.0, t - m_last) / m_config.memorySeconds);
    m_weight *= w;
    m_st *= w;
    m_sy *= w;
    m_stt *= w;
    m_sty *= w;
    m_syy *= w;
    const double dt = t - m_t0;
    const double dy = y - m_y0;
    m_weight += 1;
    m_st += dt;
    m_sy += dy;
    m_stt += dt * dt;
    m_sty += dt * dy;
    m_syy += dy * dy;
    m_last = std::max(m_last, t);
    // Sums about a far anchor lose precision to cancellation: move the anchor to the means.
    if (dt > 4 * m_config.memorySeconds)
        rebase();
}

void LineFit::rebase()
{
    const double ct = m_st / m_weight;
    const double cy = m_sy / m_weight;
    m_stt -= m_st * ct;
    m_sty -= m_st * cy;
    m_syy -= m_sy * cy;
    m_st = m_sy = 0;
    m_t0 += ct;
    m_y0 += cy;
}

bool LineFit::ownSlope() const
{
    const bool measuredPrior = m_priorError < kUnknown;
    const double minSpan =
        measuredPrior ? std::max(m_config.minSpan, m_config.memorySeconds / 3) : m_config.minSpan;
    return m_weight >= 3 && span() >= minSpan;
}

double LineFit::slope() const
{
    if (!ownSlope())
        return m_prior;
    const double stt = m_stt - m_st * m_st / m_weight;
    if (!(stt > 0))
        return m_prior;
    return (m_sty - m_st * m_sy / m_weight) / stt;
}

double LineFit::slopeError() const
{
    if (!ownSlope())
        return m_priorError < kUnknown ? m_priorError : std::numeric_limits<double>::infinity();
    const double stt = m_stt - m_st * m_st / m_weight;
    const double sty = m_sty - m_st * m_sy / m_weight;
    const double syy = m_syy - m_sy * m_sy / m_weight;
    if (!(stt > 0))
        return std::numeric_limits<double>::infinity();
    const double residual = std::max(0.0, syy - sty * sty / stt) / std::max(1.0, m_weight - 2);
    return std::sqrt(residual / stt);
}

double LineFit::valueAt(double t) const
{
    if (m_weight <= 0)
        return 0;
    return m_y0 + m_sy / m_weight + slope() * (t - m_t0 - m_st / m_weight);
}

namespace {

double besselI0(double x)
{
    double sum = 1, term = 1;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

} // namespace

SincInterpolator::SincInterpolator(double cutoff) : m_table(size_t(kPhases + 1) * kTaps)
{
    // Kaiser beta 7: side lobes near -70 dB; with 24 taps the pass band is flat to about 94 %
    // of the cutoff.
    const double beta = 7.0;
    const double half = kAfter;
    const double norm = besselI0(beta);
    const bool identityAtZero = cutoff >= 1.0;
    cutoff = std::clamp(cutoff, 0.05, 1.0);
    for (int p = 0; p <= kPhases; ++p) {
        const double frac = double(p) / kPhases;
        float *row = m_table.data() + size_t(p) * kTaps;
        double sum = 0;
        std::array<double, kTaps> h{};
        for (int k = 0; k < kTaps; ++k) {
            const double u = double(k - kBefore) - frac; // distance from x, input frames
            if (std::abs(u) >= half) {
                h[size_t(k)] = 0;
                continue;
            }
            const double r = u / half;
            const double window = besselI0(beta * std::sqrt(1 - r * r)) / norm;
            const double a = M_PI * cutoff * u;
            h[size_t(k)] = cutoff * (a == 0 ? 1.0 : std::sin(a) / a) * window;
            sum += h[size_t(k)];
        }
        // Unity gain at DC for every phase; the integer phases of a full-band kernel are
        // exact unit impulses (sin(pi k) is not exactly 0 in floating point).
        for (int k = 0; k < kTaps; ++k) {
            double v = h[size_t(k)] / sum;
            if (identityAtZero && (p == 0 || p == kPhases))
                v = (k - kBefore == (p == 0 ? 0 : 1)) ? 1.0 : 0.0;
            row[k] = float(v);
        }
    }
}

void SincInterpolator::coefficients(double frac, float *out) const
{
    const double at = std::clamp(frac, 0.0, 1.0) * kPhases;
    int p = int(at);
    float w = float(at - p);
    if (p >= kPhases) {
        p = kPhases - 1;
        w = 1.f;
    }
    const float *a = m_table.data() + size_t(p) * kTaps;
    const float *b = a + kTaps;
    for (int k = 0; k < kTaps; ++k)
        out[k] = a[k] + w * (b[k] - a[k]);
}

double DeviceCycle::pull(double now, double dt, double frames)
{
    const bool backToBack = m_lastReal >= 0 && now - m_lastReal < 0.25 * m_lastDt;
    if (backToBack) {
        m_frames += frames;
        m_time += m_lastDt;
    } else {
        if (m_lastReal >= 0)
            m_cycle = m_frames;
        m_frames = frames;
        m_time = std::max(now, m_time);
    }
    m_lastReal = now;
    m_lastDt = dt;
    return m_time;
}

bool StartPlanner::observe(double write, double blockIn, double dt, double window, double ahead,
                           double &start)
{
    if (m_observed <= 0) {
        m_read = write;
        m_least = std::numeric_limits<double>::max();
    }
    const double read = m_read;
    m_least = std::min(m_least, write - read - blockIn);
    m_read += blockIn;
    m_observed += dt;
    if (m_observed < window)
        return false;
    start = read - (ahead - m_least);
    return true;
}

void LatenessPolicy::reset()
{
    m_peak.fill(0);
    m_slot = -1;
    m_lastLate = -1e9;
    m_firstLate = 0;
}

void LatenessPolicy::measured(double now, double late)
{
    const auto slot = int64_t(std::floor(now / m_config.slotSeconds));
    auto at = [](int64_t n) { return size_t(((n % kSlots) + kSlots) % kSlots); };
    if (slot != m_slot) {
        // The slots skipped had no arrivals: nothing late in them.
        const int64_t from = m_slot < 0 ? slot : m_slot + 1;
        for (int64_t n = std::max(from, slot - kSlots + 1); n <= slot; ++n)
            m_peak[at(n)] = 0;
        m_slot = slot;
    }
    double &peak = m_peak[at(slot)];
    peak = std::max(peak, late);
}

double LatenessPolicy::keptLateness() const
{
    double first = 0, second = 0;
    for (double p : m_peak) {
        if (p > first) {
            second = first;
            first = p;
        } else if (p > second) {
            second = p;
        }
    }
    return std::clamp(second, 0.0, m_config.capSeconds);
}

bool LatenessPolicy::shortBlock(double now, bool steady)
{
    if (!steady)
        return false;
    if (now - m_lastLate > m_config.repeatSeconds)
        m_firstLate = now;
    m_lastLate = now;
    return now - m_firstLate >= m_config.persistSeconds;
}

void DriftLoop::start(double drift)
{
    m_integral = std::clamp(drift, -m_config.maxCorrection, m_config.maxCorrection);
    m_applied = 0;
}

void DriftLoop::learn(double drift, double driftError)
{
    if (m_measured || !std::isfinite(driftError))
        return;
    m_integral = std::clamp(drift, -m_config.maxCorrection, m_config.maxCorrection);
    m_measured = true;
}

double DriftLoop::update(double error, double dt)
{
    const double limit = m_config.maxCorrection;
    if (std::abs(error) < m_config.integrateWithin)
        m_integral = std::clamp(m_integral + m_config.integralGain * error * dt, -limit, limit);
    const double wanted = std::clamp(m_config.proportionalGain * error + m_integral, -limit, limit);
    const double step = m_config.slewPerSecond * dt;
    m_applied += std::clamp(wanted - m_applied, -step, step);
    return m_applied;
}

void ClockDecision::reset(bool equalRates)
{
    m_mode = equalRates ? Mode::Undecided : Mode::Resample;
    m_outsideBand = 0;
    m_drifting = 0;
}

ClockDecision::Mode ClockDecision::update(double fitSpan, double drift, double driftError,
                                          double levelError, double dt)
{
    if (m_mode == Mode::Resample)
        return m_mode;
    if (m_mode == Mode::Undecided && fitSpan >= m_config.decideAfter) {
        const bool clear =
            std::abs(drift) > m_config.minDrift && std::abs(drift) > m_config.sigmas * driftError;
        // A larger drift needs less time to be told from the tilt a changing load gives.
        m_drifting = clear ? m_drifting + dt * std::abs(drift) / m_config.minDrift : 0;
        if (m_drifting >= m_config.confirmSeconds)
            return m_mode = Mode::Resample;
        if (fitSpan >= m_config.decideBy && m_drifting == 0)
            m_mode = Mode::Copy;
    }
    // A drift too small to tell early shows later as a level that walks away from its target.
    m_outsideBand = std::abs(levelError) > m_config.bandSeconds ? m_outsideBand + dt : 0;
    if (m_outsideBand > m_config.holdSeconds)
        m_mode = Mode::Resample;
    return m_mode;
}

StallWatch::Pull StallWatch::pull(double now, double dt)
{
    const double interval = m_lastPull < 0 ? dt : now - m_lastPull;
    const bool stalled = interval > dt + std::max(2 * dt, m_stallMs * 1e-3);
    if (stalled)
        m_lastStall = now;
    const bool afterStall = now - m_lastStall < std::max(8 * dt, 4 * m_stallMs * 1e-3);
    m_lastPull = now;
    return {interval, stalled, afterStall};
}

FlowPaces::FlowPaces(double stepSeconds)
    : m_arrivals(1.0, LineFit::Config{30.0, 1.0, stepSeconds, 0.5}),
      m_pulls(1.0, LineFit::Config{30.0, 1.0, stepSeconds, 0.5})
{
}

void FlowPaces::restart(double rate, bool keepPaces)
{
    if (keepPaces) {
        m_arrivals.reset(m_arrivals.slope(), m_arrivals.slopeError());
        m_pulls.reset(m_pulls.slope(), m_pulls.slopeError());
    } else {
        m_arrivals.reset(rate);
        m_pulls.reset(rate);
    }
    m_offLine = 0;
    m_pulledFrames = 0;
}

void FlowPaces::arrival(const Arrival &latest, double rate, LatenessPolicy &lateness)
{
    if (latest.block <= 0 || latest.pos == m_lastArrival)
        return;
    m_lastArrival = latest.pos;
    const double late = (m_arrivals.valueAt(latest.time) - double(latest.pos)) / rate;
    const uint64_t steps = m_arrivals.steps();
    if (!m_arrivals.add(latest.time, double(latest.pos))) {
        // Off the line: lateness if the run of such arrivals ends, a step if it goes on.
        m_offLine = std::max(m_offLine, late);
        return;
    }
    if (m_arrivals.steps() != steps)
        m_offLine = 0;
    if (std::isfinite(m_arrivals.slopeError()))
        lateness.measured(latest.time, std::max(m_offLine, late));
    m_offLine = 0;
}

void FlowPaces::pull(double now, double frames, bool jitter, double rate, LatenessPolicy &lateness)
{
    if (m_pulls.add(now, m_pulledFrames) && jitter && std::isfinite(m_pulls.slopeError()))
        lateness.measured(now, (m_pulledFrames - m_pulls.valueAt(now)) / rate);
    m_pulledFrames += frames;
}

FlowPaces::Drift FlowPaces::drift() const
{
    const double arrivalPace = m_arrivals.slope();
    const double pullPace = m_pulls.slope();
    return {arrivalPace / pullPace - 1,
            std::hypot(m_arrivals.slopeError() / arrivalPace, m_pulls.slopeError() / pullPace),
            std::min(m_arrivals.span(), m_pulls.span())};
}

double FlowPaces::flowAt(double now, const Arrival &latest, double rate) const
{
    // Measured at block boundaries instead, the level would jump by a whole block whenever the
    // two clocks' phases cross; measured from the latest arrival alone, it would carry its
    // jitter.
    if (m_arrivals.ready())
        return m_arrivals.valueAt(now) - latest.block;
    const double since = std::clamp((now - latest.time) * rate, 0.0, double(latest.block));
    return double(latest.pos) - latest.block + since;
}

void FlowPaces::realign()
{
    m_arrivals.reset(m_arrivals.slope(), m_arrivals.slopeError());
}

PlayTarget::Update PlayTarget::update(double level, double dt, double cycleIn, bool resampling,
                                      double resampled, double rate)
{
    const bool firstPull = m_target < 0;
    if (firstPull) {
        m_target = level;
        m_smoothed = level;
    }
    const double tau = std::max(m_config.smoothingSeconds, 4 * dt);
    m_smoothed += std::min(1.0, dt / tau) * (level - m_smoothed);
    m_runningFor += dt;
    const bool settling = m_runningFor < m_config.settleSeconds;
    // Clocks that drift move the phases of the blocks through every value, so a resampled
    // stream needs all of `resampled`; it comes down slowly (0.1 ms a second, a 100 ppm
    // correction) when lateness stops, so the level stays steady and the lateness has time to
    // show again before the level is low. On one clock the phases stay, and the level copying
    // settled at after the planner's start is leaner than that.
    if (resampling && firstPull)
        m_target = resampled;
    else if (resampling)
        m_target = std::max(resampled, m_target - m_config.descentPerSecond * rate * dt);
    else if (settling)
        m_target = m_smoothed;
    // The device's cycle changed length while it runs (another client asked the graph for
    // another quantum). Longer: a cycle's worth more must be in the ring when one begins, so
    // the target takes it. Shorter: the target falls with it.
    if (firstPull || m_cycle <= 0) {
        m_cycle = cycleIn;
        return {firstPull, settling, 0};
    }
    if (cycleIn == m_cycle)
        return {firstPull, settling, 0};
    const double change = cycleIn - m_cycle;
    m_cycle = cycleIn;
    if (resampling) {
        m_target = change > 0 ? std::max(m_target, resampled) : resampled;
    } else {
        // Copying settles again at the level the new cycle gives, as after a start.
        m_target += change;
        m_runningFor = 0;
    }
    return {firstPull, settling, change};
}

void CopyReserve::raise(double frames, double rate)
{
    m_reserve = std::min(m_reserve + frames, m_config.maxSeconds * rate);
}

void CopyReserve::considerGiveBack(double now, double margin)
{
    if (m_giveBack == 0 && m_reserve > margin + 1 && now - m_lastShort > m_config.giveBackSeconds) {
        m_giveBack = std::floor(m_reserve - margin);
        m_reserve -= m_giveBack;
    }
}

double CopyReserve::playOff(int n)
{
    const double extra = std::min(m_giveBack, n * m_config.pace);
    m_giveBack -= extra;
    return extra;
}

double OwedSilence::due(double now)
{
    if (m_owed <= 0)
        return 0;
    if (now > m_owedUntil)
        m_owed = 0;
    return m_owed;
}

bool ShortRun::add(double dt, double shortfall)
{
    const bool afterComplete = !m_short;
    m_for += dt;
    m_frames += shortfall;
    m_short = true;
    return afterComplete;
}

double ShortRun::toDrop(double dt, double shortfall, bool afterStall) const
{
    if (!afterStall && m_for <= m_config.playOffSeconds)
        return 0;
    // The whole run of silence once it grows this long, then each block as it comes.
    return m_for - dt > m_config.playOffSeconds || afterStall ? shortfall : m_frames;
}

bool stretchToSpan(double there, int n, double minStretch, double &step)
{
    const double spread = there - SincInterpolator::kAfter;
    if (there < n * step && spread >= n * step * minStretch) {
        step = spread / n;
        return true;
    }
    return false;
}

} // namespace veltrin::rt
