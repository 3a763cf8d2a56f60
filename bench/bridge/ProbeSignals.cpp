#include "ProbeSignals.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrin::bench {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kTrigger = 0.05f; // below the smallest pulse's rise, far above ringing
constexpr float kSilent = 1e-3f;  // the tone never stays below this for two samples

double wrap(double radians)
{
    return radians - 2 * kPi * std::floor((radians + kPi) / (2 * kPi));
}

} // namespace

int Impulse::codeOf(double area)
{
    const double peak = area / ((kLength - 1) / 2.0);
    const long code = std::lround((peak - amplitude(0)) / (amplitude(1) - amplitude(0)));
    return code >= 0 && code < kCodes ? static_cast<int>(code) : -1;
}

std::vector<float> Impulse::shape()
{
    std::vector<float> pulse;
    for (int i = 0; i < kLength; ++i)
        pulse.push_back(static_cast<float>(0.5 - 0.5 * std::cos(2 * kPi * i / (kLength - 1))));
    return pulse;
}

void ImpulseDetector::feed(const float *in, size_t n, int64_t first, std::vector<Arrival> &out)
{
    if (first != m_next)
        reset();
    m_next = first + static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t f = first + static_cast<int64_t>(i);
        m_history[f & (kHistory - 1)] = in[i];
        if (m_trigger < 0) {
            if (f >= m_quietUntil && std::fabs(in[i]) > kTrigger)
                m_trigger = f;
            continue;
        }
        // The pulse peaks within its length after the trigger; its tails and any resampler
        // ringing lie within 10 samples of the peak.
        if (f < m_trigger + 30)
            continue;
        int64_t peak = m_trigger;
        for (int64_t g = m_trigger - 8; g <= m_trigger + 20; ++g)
            if (m_history[g & (kHistory - 1)] > m_history[peak & (kHistory - 1)])
                peak = g;
        double sum = 0, moment = 0;
        for (int64_t g = peak - 10; g <= peak + 10; ++g) {
            const double v = m_history[g & (kHistory - 1)];
            sum += v;
            moment += v * static_cast<double>(g - peak);
        }
        if (sum > 0)
            out.push_back(Arrival{static_cast<double>(peak) + moment / sum, sum});
        m_quietUntil = m_trigger + 32;
        m_trigger = -1;
    }
}

void ImpulseDetector::reset()
{
    std::fill(std::begin(m_history), std::end(m_history), 0.0f);
    m_trigger = -1;
    m_quietUntil = 0;
}

void SilenceDetector::feed(const float *in, size_t n, int64_t first, std::vector<Silence> &out)
{
    if (first != m_next)
        reset();
    m_next = first + static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t f = first + static_cast<int64_t>(i);
        if (std::fabs(in[i]) < kSilent) {
            if (m_silentFrom < 0)
                m_silentFrom = f;
        } else if (m_silentFrom >= 0) {
            if (f - m_silentFrom >= m_minLength)
                out.push_back(Silence{m_silentFrom, f - m_silentFrom});
            m_silentFrom = -1;
        }
    }
}

ToneTracker::ToneTracker(double cyclesPerSample, double thresholdSamples)
    : m_cycles(cyclesPerSample), m_omega(2 * kPi * cyclesPerSample),
      m_threshold(thresholdSamples * 2 * kPi * cyclesPerSample),
      m_length(static_cast<size_t>(std::max(8L, std::lround(1.0 / cyclesPerSample))))
{
    // The sine and cosine about the window's centre are orthogonal over a symmetric window, but
    // the full inverse keeps the fit exact whatever the length.
    const double half = (static_cast<double>(m_length) - 1) / 2;
    double cc = 0, cs = 0, ss = 0;
    for (size_t i = 0; i < m_length; ++i) {
        const double x = m_omega * (static_cast<double>(i) - half);
        m_cos.push_back(std::cos(x));
        m_sin.push_back(std::sin(x));
        cc += m_cos.back() * m_cos.back();
        cs += m_cos.back() * m_sin.back();
        ss += m_sin.back() * m_sin.back();
    }
    const double det = cc * ss - cs * cs;
    m_inverse[0] = ss / det;
    m_inverse[1] = -cs / det;
    m_inverse[2] = cc / det;
    m_samples.reserve(m_length);
}

void ToneTracker::feed(const float *in, size_t n, int64_t first, std::vector<Discontinuity> &out)
{
    if (first != m_next)
        reset(out);
    m_next = first + static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
        if (m_samples.empty())
            m_windowStart = first + static_cast<int64_t>(i);
        m_samples.push_back(in[i]);
        if (m_samples.size() == m_length)
            closeWindow(out);
    }
}

void ToneTracker::reset(std::vector<Discontinuity> &out)
{
    if (m_inEvent)
        out.push_back(m_event);
    m_inEvent = false;
    m_samples.clear();
    m_windows.clear();
    m_havePhase = false;
}

void ToneTracker::closeWindow(std::vector<Discontinuity> &out)
{
    double p = 0, q = 0;
    for (size_t i = 0; i < m_length; ++i) {
        p += m_samples[i] * m_cos[i];
        q += m_samples[i] * m_sin[i];
    }
    // x[n] ~ a cos(w (n - c)) + b sin(w (n - c)) = A cos(w (n - c) + phi)
    const double a = m_inverse[0] * p + m_inverse[1] * q;
    const double b = m_inverse[1] * p + m_inverse[2] * q;
    double residue = 0;
    for (size_t i = 0; i < m_length; ++i) {
        const double e = m_samples[i] - a * m_cos[i] - b * m_sin[i];
        residue += e * e;
    }
    const double amplitude = std::hypot(a, b);
    const double rms = std::sqrt(residue / static_cast<double>(m_length));

    Window w;
    w.centre = static_cast<double>(m_windowStart) + (static_cast<double>(m_length) - 1) / 2;
    // A clean tone comes back at the level it was sent (no bridge here changes the gain); a
    // cut, a gap or a jump of a sample or more within the window leaves a residue of several
    // percent, while a smooth phase drift of a thousand ppm leaves well under one.
    w.ok = amplitude > 0.5 * kToneLevel && amplitude < 2 * kToneLevel && rms < 0.05 * amplitude;
    if (w.ok) {
        // Phase against the nominal tone: constant for a tone at the nominal frequency.
        double cycles = w.centre * m_cycles;
        cycles -= std::floor(cycles);
        const double phase = wrap(std::atan2(-b, a) - 2 * kPi * cycles);
        w.phase = m_havePhase ? m_lastPhase + wrap(phase - m_lastPhase) : phase;
        m_lastPhase = w.phase;
        m_havePhase = true;
    }
    m_samples.clear();

    m_windows.push_back(w);
    if (m_windows.size() > kSpan)
        m_windows.erase(m_windows.begin());
    if (m_windows.size() == kSpan)
        test(out);
}

void ToneTracker::test(std::vector<Discontinuity> &out)
{
    // Window c is tested: the advances into it and into the next one, against the median of
    // the advances into windows c - kSide .. c + kSide + 1.
    constexpr size_t c = kSide + 1;
    auto advance = [&](size_t j) { return m_windows[j].phase - m_windows[j - 1].phase; };
    auto known = [&](size_t j) { return m_windows[j].ok && m_windows[j - 1].ok; };
    m_advances.clear();
    for (size_t j = c - kSide; j <= c + kSide + 1; ++j)
        if (known(j))
            m_advances.push_back(advance(j));
    const Window &tested = m_windows[c];
    const bool measurable = known(c) && known(c + 1) && m_advances.size() > kSide;
    double step = 0;
    if (measurable) {
        const auto middle = m_advances.begin() + std::ptrdiff_t(m_advances.size() / 2);
        std::nth_element(m_advances.begin(), middle, m_advances.end());
        step = advance(c) + advance(c + 1) - 2 * *middle;
    }
    const bool stepped = measurable && std::fabs(step) > m_threshold;
    if (!tested.ok || stepped) {
        if (!m_inEvent) {
            m_inEvent = true;
            m_event = Discontinuity{tested.centre, 0.0};
        }
        m_cleanSince = 0;
        // A later tone is a larger delay: a positive jump.
        const double jump = -step / m_omega;
        if (!tested.ok)
            m_event.jump = std::numeric_limits<double>::quiet_NaN();
        else if (!std::isnan(m_event.jump) && std::fabs(jump) > std::fabs(m_event.jump))
            m_event.jump = jump;
    } else if (measurable && m_inEvent && ++m_cleanSince == kSpan) {
        out.push_back(m_event);
        m_inEvent = false;
    }
}

} // namespace veltrin::bench
