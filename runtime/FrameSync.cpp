#include "FrameSync.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace veltrin::rt {

namespace {

double cutoffFor(int sourceRate, int outRate)
{
    // Equal rates: the full band, whose phase 0 is the identity. Otherwise below the lower
    // Nyquist frequency with room for the kernel's transition band.
    if (sourceRate == outRate)
        return 1.0;
    return 0.95 * std::min(1.0, double(outRate) / sourceRate);
}

// Denormals flushed to zero (and read as zero) while an audio path runs: a decaying signal
// through the interpolator would otherwise slow the callback down by orders of magnitude.
class FlushDenormals
{
public:
#if defined(__SSE__)
    FlushDenormals() : m_saved(_mm_getcsr())
    {
        _mm_setcsr(m_saved | 0x8040);
    }
    ~FlushDenormals()
    {
        _mm_setcsr(m_saved);
    }

private:
    unsigned m_saved;
#endif
};

size_t ringCapacity(const FrameSyncConfig &config, int rate)
{
    const auto wanted = std::max<size_t>(32768, size_t(config.ringSeconds * rate));
    size_t capacity = 1;
    while (capacity < wanted)
        capacity <<= 1;
    return capacity;
}

} // namespace

// One source format as the consumer asked for it: a planar ring of the channels the consumer
// uses and the resampler from the source rate to the requested rate. Built by the producer.
struct SourceStream {
    int sourceRate = 0;
    int sourceChannels = 0;
    int channels = 0; // stored: min(source channels, requested channels)
    int outRate = 0;
    size_t capacity = 0; // frames, a power of two
    std::unique_ptr<float[]> ring;
    std::unique_ptr<SincInterpolator> interpolator;
    std::atomic<uint64_t> writePos{0}; // producer
    std::atomic<uint64_t> readPos{0};  // consumer
    // The latest arrival, under a seqlock written by the producer: the write position after
    // it, its time and its size. The consumer turns it into a continuous fill level.
    std::atomic<uint32_t> arrivalSeq{0};
    std::atomic<uint64_t> arrivalPos{0};
    std::atomic<double> arrivalTime{0};
    std::atomic<int> lastBlock{0};

    float *channel(int c) { return ring.get() + size_t(c) * capacity; }
};

namespace {

// Late arrivals never raise the reserve of a copied stream beyond this, s.
constexpr double kMaxReserveSeconds = 0.1;
// Seconds per second at which a resampled stream's target falls when lateness stops.
constexpr double kTargetDescent = 1e-4;
// How much faster a copied stream reads while it gives a raised reserve back.
constexpr double kGiveBackPace = 1e-3;

} // namespace

FrameSync::FrameSync(const FrameSyncConfig &config)
    : m_config(config), m_stall(config.stallMs), m_paces(config.stepMs * 1e-3),
      m_lateness(LatenessPolicy::Config{config.persistSeconds, config.repeatSeconds,
                                        config.maxLatenessMs * 1e-3, config.latenessSlotSeconds}),
      m_target(PlayTarget::Config{config.smoothingMs * 1e-3, config.passthroughSettleSeconds,
                                  kTargetDescent}),
      m_reserve(CopyReserve::Config{config.giveBackSeconds, kGiveBackPace, kMaxReserveSeconds}),
      m_shortRun(ShortRun::Config{config.playOffMs * 1e-3, config.goneMs * 1e-3}),
      m_loop(DriftLoop::Config{config.proportionalGain, config.integralGain, config.maxCorrection,
                               0.001, config.slewPerSecond}),
      m_decision(ClockDecision::Config{config.minDriftPpm * 1e-6, 5.0, config.decideAfterSeconds,
                                       config.decideBySeconds, config.driftConfirmSeconds,
                                       config.passthroughBandMs * 1e-3,
                                       config.passthroughHoldSeconds})
{
}

FrameSync::~FrameSync()
{
    delete m_current;
    delete m_latest.load();
    delete m_retired.load();
}

void FrameSync::reclaim()
{
    delete m_retired.exchange(nullptr, std::memory_order_acq_rel);
}

namespace {

double steadySeconds()
{
    // vDSO: no system call.
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void FrameSync::push(const float *planar, int strideFloats, int channels, int samples,
                     int sampleRate)
{
    push(planar, strideFloats, channels, samples, sampleRate, steadySeconds());
}

void FrameSync::capture(NDIlib_audio_frame_v2_t &frame, int sampleRate, int channels, int samples)
{
    capture(frame, sampleRate, channels, samples, steadySeconds());
}

void FrameSync::push(const float *planar, int strideFloats, int channels, int samples,
                     int sampleRate, double now)
{
    reclaim();
    const int requestedRate = m_requestedRate.load(std::memory_order_acquire);
    const int requestedChannels = m_requestedChannels.load(std::memory_order_acquire);
    if (requestedRate <= 0 || requestedChannels <= 0 || planar == nullptr || samples <= 0
        || channels <= 0 || channels > kMaxChannels || sampleRate <= 0)
        return;
    const int used = std::min(channels, requestedChannels);
    SourceStream *s = m_producerStream;
    if (s == nullptr || s->sourceRate != sampleRate || s->sourceChannels != channels
        || s->outRate != requestedRate || s->channels != used) {
        auto fresh = std::make_unique<SourceStream>();
        fresh->sourceRate = sampleRate;
        fresh->sourceChannels = channels;
        fresh->channels = used;
        fresh->outRate = requestedRate;
        fresh->capacity = ringCapacity(m_config, sampleRate);
        fresh->ring = std::make_unique<float[]>(fresh->capacity * size_t(used));
        fresh->interpolator =
            std::make_unique<SincInterpolator>(cutoffFor(sampleRate, requestedRate));
        s = fresh.release();
        m_producerStream = s;
        // The consumer never took the one we replace, so it is ours to free.
        delete m_latest.exchange(s, std::memory_order_acq_rel);
    }
    const uint64_t write = s->writePos.load(std::memory_order_relaxed);
    const uint64_t read = s->readPos.load(std::memory_order_acquire);
    if (s->capacity - (write - read) < size_t(samples)) {
        m_overruns.fetch_add(uint64_t(samples), std::memory_order_relaxed);
        return;
    }
    const size_t mask = s->capacity - 1;
    const size_t at = write & mask;
    const size_t first = std::min(size_t(samples), s->capacity - at);
    for (int c = 0; c < used; ++c) {
        const float *src = planar + size_t(c) * size_t(strideFloats);
        float *dst = s->channel(c);
        std::memcpy(dst + at, src, first * sizeof(float));
        std::memcpy(dst, src + first, (size_t(samples) - first) * sizeof(float));
    }
    // Release: the samples above are visible to the consumer before the new write position.
    s->writePos.store(write + uint64_t(samples), std::memory_order_release);
    // Seqlock without fences: the release stores of the fields order the odd sequence number
    // before them, and the consumer's acquire loads of the fields order its re-check after them.
    const uint32_t seq = s->arrivalSeq.load(std::memory_order_relaxed);
    s->arrivalSeq.store(seq + 1, std::memory_order_relaxed);
    s->arrivalPos.store(write + uint64_t(samples), std::memory_order_release);
    s->arrivalTime.store(now, std::memory_order_release);
    s->lastBlock.store(samples, std::memory_order_release);
    s->arrivalSeq.store(seq + 2, std::memory_order_release);
}

void FrameSync::takeNewStream()
{
    // One hand-back slot: wait until the producer has freed the previous stream.
    if (m_retired.load(std::memory_order_acquire) != nullptr)
        return;
    SourceStream *s = m_latest.exchange(nullptr, std::memory_order_acq_rel);
    if (s == nullptr)
        return;
    if (m_current != nullptr)
        m_retired.store(m_current, std::memory_order_release);
    m_current = s;
    // A new stream starts lean; a source that was gone and is back keeps the reserve and the
    // lateness its path showed, so it comes back at the latency it had.
    m_reserve.newStream();
    m_lateness.reset();
    m_resampling = false;
    restart();
}

void FrameSync::restart()
{
    // A new stream, or a source back after it was gone: the flow is measured again. A stream
    // that was resampling goes on resampling from the paces it had (the same source on the
    // same path keeps its clock); if they changed, the fits find out as the points come.
    const SourceStream *s = m_current;
    const double rate = s != nullptr ? s->sourceRate : 1.0;
    const bool wasResampling = m_resampling;
    m_running = false;
    m_resampling = false;
    m_loop.setMeasured(false);
    m_planner.reset();
    m_paces.restart(rate, wasResampling);
    m_decision.reset(s == nullptr || (s->sourceRate == s->outRate && !wasResampling));
    m_drift = 0;
    m_correction = 0;
}

void FrameSync::capture(NDIlib_audio_frame_v2_t &frame, int sampleRate, int channels, int samples,
                        double now)
{
    const FlushDenormals flush;
    const int n = std::max(samples, 0);
    const int ch = std::clamp(channels, 0, kMaxChannels);
    const size_t need = size_t(ch) * size_t(n);
    if (m_out.size() < need || m_taps.size() < size_t(n)) {
        // The first call, or a larger block than ever before.
        m_out.resize(std::max(m_out.size(), need));
        m_taps.resize(size_t(n));
        m_coefficients.resize(size_t(n) * SincInterpolator::kTaps);
    }
    std::fill_n(m_out.data(), need, 0.f);
    if (sampleRate > 0 && ch > 0 && n > 0) {
        m_requestedRate.store(sampleRate, std::memory_order_release);
        m_requestedChannels.store(ch, std::memory_order_release);
        takeNewStream();
        SourceStream *s = m_current;
        if (s != nullptr && s->outRate == sampleRate
            && s->channels == std::min(s->sourceChannels, ch))
            produce(*s, m_out.data(), ch, n, now);
        else
            m_running = false;
    }
    frame.sample_rate = sampleRate;
    frame.no_channels = ch;
    frame.no_samples = n;
    frame.timecode = sampleRate > 0 ? m_framesOut * 10'000'000 / sampleRate : 0;
    frame.p_data = need > 0 ? m_out.data() : nullptr;
    frame.channel_stride_in_bytes = n * int(sizeof(float));
    frame.p_metadata = nullptr;
    frame.timestamp = 0;
    m_framesOut += n;
    m_statRunning.store(m_running, std::memory_order_relaxed);
    m_statResampling.store(m_resampling, std::memory_order_relaxed);
}

void FrameSync::publishRead(SourceStream &s)
{
    // The interpolator still reads kBefore frames behind the play position.
    const int64_t oldest = m_playFrame - (m_resampling ? SincInterpolator::kBefore : 0);
    const uint64_t read = s.readPos.load(std::memory_order_relaxed);
    if (oldest > 0 && uint64_t(oldest) > read)
        s.readPos.store(uint64_t(oldest), std::memory_order_release);
}

namespace {

// The latest arrival, read under the producer's seqlock; a write in progress is retried.
Arrival latestArrival(const SourceStream &s, uint64_t write, double now)
{
    Arrival a{write, now, 0};
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t seq = s.arrivalSeq.load(std::memory_order_acquire);
        a.pos = s.arrivalPos.load(std::memory_order_acquire);
        a.time = s.arrivalTime.load(std::memory_order_acquire);
        a.block = s.lastBlock.load(std::memory_order_acquire);
        if ((seq & 1) == 0 && seq == s.arrivalSeq.load(std::memory_order_relaxed))
            break;
    }
    a.pos = std::min(a.pos, write);
    return a;
}

} // namespace

// What one pull knows, gathered step by step on the consumer's stack. Positions and levels in
// source frames.
struct FrameSync::Pull {
    double rate = 0, dt = 0, nominalStep = 0, blockIn = 0;
    uint64_t write = 0; // the ring's write position as the pull began
    double now = 0;     // the pull's time on the device
    double cycleIn = 0; // the device's latest cycle, at least a block
    double margin = 0;  // headroom kept above a block at a start
    StallWatch::Pull stall{};
    Arrival arrival;
    FlowPaces::Drift drift{};
    double level = 0; // ahead of the play position
    PlayTarget::Update target{};
    double resampledTarget = 0;
};

void FrameSync::produce(SourceStream &s, float *out, int channels, int n, double pulledAt)
{
    Pull p = timePull(s, n, pulledAt);
    fitPaces(p);
    if (!m_running && !startPlaying(s, p))
        return;
    followTarget(p);
    catchUp(s, p);
    decideClock(p);
    const int made = read(s, out, channels, n, p);
    countShortfall(p, made, n);
    publishFigures(p.rate);
}

FrameSync::Pull FrameSync::timePull(SourceStream &s, int n, double pulledAt)
{
    Pull p;
    p.rate = s.sourceRate;
    p.dt = double(n) / s.outRate;
    p.nominalStep = p.rate / s.outRate;
    p.blockIn = n * p.nominalStep;
    p.write = s.writePos.load(std::memory_order_acquire);
    // From here on the pull is timed on the device (DeviceCycle), and a cycle of the device is
    // the unit the ring must hold when one begins.
    p.now = m_device.pull(pulledAt, p.dt, p.blockIn);
    p.cycleIn = std::max(p.blockIn, m_device.cycleFrames());
    p.stall = m_stall.pull(p.now, p.dt);
    p.arrival = latestArrival(s, p.write, p.now);
    p.margin = m_config.marginMs * 1e-3 * p.rate;
    return p;
}

void FrameSync::fitPaces(Pull &p)
{
    // The latest arrival is enough for the arrival line: blocks that came since the previous
    // pull lie on it too. A pull early against the pull line finds less in the ring, as a late
    // block leaves less: the reserve covers both. The quick pulls after a stall are no such
    // jitter.
    m_paces.arrival(p.arrival, p.rate, m_lateness);
    m_paces.pull(p.now, p.blockIn, !p.stall.afterStall, p.rate, m_lateness);
    p.drift = m_paces.drift();
    m_drift = p.drift.drift;
}

bool FrameSync::startPlaying(SourceStream &s, const Pull &p)
{
    // On paper first; a stream that resamples from the start needs its look-ahead too.
    const bool resample = m_decision.mode() == ClockDecision::Mode::Resample;
    const double ahead =
        m_reserve.frames(p.margin)
        + (resample ? SincInterpolator::kAfter + m_lateness.keptLateness() * p.rate : 0);
    const double window = std::max(0.1, 4 * std::max<double>(p.arrival.block, p.blockIn) / p.rate);
    double start = 0;
    if (!m_planner.observe(double(p.write), p.blockIn, p.dt, window, ahead, start))
        return false;
    const uint64_t read = s.readPos.load(std::memory_order_relaxed);
    if (start < double(read) || start > double(p.write))
        return false;
    m_playFrame = int64_t(start);
    m_playFrac = 0;
    s.readPos.store(uint64_t(m_playFrame), std::memory_order_release);
    m_running = true;
    m_resampling = resample;
    m_loop.start(m_drift);
    m_target.start();
    m_owed.clear();
    m_shortRun.clear();
    m_reserve.start(p.now);
    return true;
}

void FrameSync::followTarget(Pull &p)
{
    p.level = m_paces.flowAt(p.now, p.arrival, p.rate) - (double(m_playFrame) + m_playFrac);
    // Resampling: a device cycle, the interpolator's look-ahead and the lateness that keeps
    // coming.
    p.resampledTarget =
        p.cycleIn + SincInterpolator::kAfter + p.margin + m_lateness.keptLateness() * p.rate;
    p.target = m_target.update(p.level, p.dt, p.cycleIn, m_resampling, p.resampledTarget, p.rate);
    // A longer device cycle: the silence the change itself cost is not made up. A shorter
    // one: the extra is dropped as it comes, so the latency is back within a moment.
    if (p.target.cycleChange > 0)
        m_owed.clear();
    else if (p.target.cycleChange < 0)
        m_owed.owe(-p.target.cycleChange, p.now + 1.0); // a second is many cycles of any length
}

double FrameSync::drop(SourceStream &s, Pull &p, double frames)
{
    const double ahead = double(p.write) - double(m_playFrame);
    const double cut = std::floor(std::clamp(frames, 0.0, std::max(0.0, ahead)));
    m_playFrame += int64_t(cut);
    publishRead(s);
    p.level -= cut;
    m_target.dropped(cut);
    return cut;
}

void FrameSync::catchUp(SourceStream &s, Pull &p)
{
    // The device stalled and skipped the time (an xrun): a resampled stream's source went on
    // meanwhile, and what came would be played late for tens of seconds at the largest
    // correction. The device did not play for that long anyway, so it is dropped now.
    if (m_resampling && !p.target.firstPull && p.stall.stalled) {
        const double skipped = std::max(0.0, p.stall.interval - p.dt) * p.rate;
        if (drop(s, p, std::min(std::round(p.level - m_target.value()), skipped)) > 0)
            m_resyncs.fetch_add(1, std::memory_order_relaxed);
    }
    // Samples that came late after a stall were covered with silence: they are dropped as they
    // turn up, down to a cycle and the reserve, so the latency is what it was before the stall.
    if (const double owed = m_owed.due(p.now); owed > 0) {
        const double safeLevel =
            p.cycleIn + (m_resampling ? double(SincInterpolator::kAfter) : m_reserve.frames());
        m_owed.paid(drop(s, p,
                         std::min({owed, std::round(p.level - m_target.value()),
                                   double(p.write) - double(m_playFrame) - safeLevel})));
    }
    // A gross excess (a stall upstream burst in) is cut at once.
    if (p.level - m_target.value() > m_config.resyncAboveMs * 1e-3 * p.rate) {
        drop(s, p, p.level - m_target.value());
        m_resyncs.fetch_add(1, std::memory_order_relaxed);
    }
}

void FrameSync::decideClock(const Pull &p)
{
    if (!m_resampling) {
        const double error =
            p.target.settling ? 0.0 : (m_target.smoothed() - m_target.value()) / p.rate;
        if (m_decision.update(p.drift.span, p.drift.drift, p.drift.error, error, p.dt)
            == ClockDecision::Mode::Resample) {
            // At phase 0 the interpolator is the identity: the switch has no seam, and the
            // correction then slews away from zero.
            m_resampling = true;
            m_playFrac = 0;
            m_loop.start(p.drift.drift);
            m_loop.setMeasured(std::isfinite(p.drift.error));
            m_target.set(p.resampledTarget);
        }
    }
    if (m_resampling) {
        // A stream that resampled from the start learns the drift once the paces are fitted.
        m_loop.learn(p.drift.drift, p.drift.error);
        m_correction = m_loop.update((m_target.smoothed() - m_target.value()) / p.rate, p.dt);
    } else {
        m_correction = 0;
        if (!p.target.settling)
            m_reserve.considerGiveBack(p.now, p.margin);
    }
}

int FrameSync::read(SourceStream &s, float *out, int channels, int n, const Pull &p)
{
    const int used = std::min(channels, s.channels);
    double step = p.nominalStep * (1 + m_correction);
    bool stretched = false;
    const bool givingBack = !m_resampling && m_reserve.givingBack();
    if (givingBack) {
        // Played off slowly enough that the level stays on its target.
        const double extra = m_reserve.playOff(n);
        step = p.nominalStep + extra / n;
        m_target.lower(extra);
    }
    if (m_resampling) {
        stretched = stretchToSpan(double(p.write) - (double(m_playFrame) + m_playFrac), n,
                                  m_config.minStretch, step);
        if (stretched)
            m_stretched.fetch_add(1, std::memory_order_relaxed);
    }
    const int made = m_resampling || givingBack ? readResampled(s, out, used, n, step)
                                                : readPassthrough(s, out, used, n);
    if (givingBack && (!m_reserve.givingBack() || made < n)) {
        // Back to copying, at the whole frame the interpolator has reached (the phase is
        // zero but for rounding once everything is played off); a short block ends it early
        // and the rest of the raise stays.
        m_reserve.endGiveBack();
        m_playFrame += int64_t(std::lround(m_playFrac));
        m_playFrac = 0;
        publishRead(s);
    }
    if (m_resampling && (made < n || stretched) && !p.stall.afterStall
        && p.level >= p.blockIn + SincInterpolator::kAfter) {
        // The arrival line promised enough and the ring ran (or nearly ran) short: the level
        // the line shows once it starts again from the real arrivals is what the drift loop
        // raises.
        m_paces.realign();
    }
    return made;
}

void FrameSync::countShortfall(const Pull &p, int made, int n)
{
    if (made >= n) {
        m_shortRun.clear();
        return;
    }
    m_underruns.fetch_add(1, std::memory_order_relaxed);
    m_reserve.shortBlock(p.now);
    const double shortfall = double(n - made) * p.nominalStep;
    const bool afterComplete = m_shortRun.add(p.dt, shortfall);
    const double owedUntil = p.now + m_config.owedMs * 1e-3 + 2 * p.dt;
    if (!m_resampling) {
        // Blocks late at a steady pull pace, again and again: jitter the reserve does not
        // cover. The silence just played becomes latency (the late samples are played when
        // they come), and later starts keep as much more. A single late block, a short burst
        // of them, or the blocks a stall held up are made up instead: the late samples are
        // dropped as they come, so the latency stays what it was.
        if (m_lateness.shortBlock(p.now, afterComplete && !p.stall.afterStall)) {
            m_target.raise(shortfall);
            m_reserve.raise(shortfall, p.rate);
        } else {
            m_owed.owe(shortfall, owedUntil);
        }
    } else if (const double late = m_shortRun.toDrop(p.dt, shortfall, p.stall.afterStall);
               late > 0) {
        // A stall of the device or upstream; otherwise the late samples are played when they
        // come and the drift loop plays the extra level off by resampling.
        m_owed.owe(late, owedUntil);
    }
    if (m_shortRun.gone(p.dt))
        restart();
}

void FrameSync::publishFigures(double rate)
{
    m_statFill.store(m_target.smoothed() / rate * 1e3, std::memory_order_relaxed);
    m_statTarget.store(m_target.value() / rate * 1e3, std::memory_order_relaxed);
    m_statCorrection.store(m_correction * 1e6, std::memory_order_relaxed);
    m_statDrift.store(m_drift * 1e6, std::memory_order_relaxed);
}

int FrameSync::readPassthrough(SourceStream &s, float *out, int channels, int n)
{
    const uint64_t write = s.writePos.load(std::memory_order_acquire);
    const auto read = uint64_t(m_playFrame);
    const auto take = int(std::min<uint64_t>(write > read ? write - read : 0, uint64_t(n)));
    const size_t mask = s.capacity - 1;
    const size_t at = read & mask;
    const size_t first = std::min(size_t(take), s.capacity - at);
    for (int c = 0; c < channels; ++c) {
        const float *src = s.channel(c);
        float *dst = out + size_t(c) * size_t(n);
        std::memcpy(dst, src + at, first * sizeof(float));
        std::memcpy(dst + first, src, (size_t(take) - first) * sizeof(float));
    }
    m_playFrame += take;
    publishRead(s);
    return take;
}

namespace {

using Float4 = float __attribute__((vector_size(16)));

// Four partial sums side by side: no chain of dependent additions, and zero coefficients add
// exact zeros, so a unit impulse gives back the sample untouched.
inline float dot(const float *a, const float *b)
{
    Float4 acc = {0, 0, 0, 0};
    for (int k = 0; k < SincInterpolator::kTaps; k += 4) {
        Float4 x, y;
        std::memcpy(&x, a + k, sizeof x);
        std::memcpy(&y, b + k, sizeof y);
        acc += x * y;
    }
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

} // namespace

int FrameSync::readResampled(SourceStream &s, float *out, int channels, int n, double step)
{
    constexpr int kTaps = SincInterpolator::kTaps;
    const auto end = int64_t(s.writePos.load(std::memory_order_acquire));
    const size_t mask = s.capacity - 1;
    // The phases and coefficients once per output frame, shared by every channel.
    int64_t frame = m_playFrame;
    double frac = m_playFrac;
    int made = 0;
    for (; made < n && frame < end; ++made) {
        s.interpolator->coefficients(frac, m_coefficients.data() + size_t(made) * kTaps);
        m_taps[size_t(made)] = frame - SincInterpolator::kBefore;
        frac += step;
        const double whole = std::floor(frac);
        frame += int64_t(whole);
        frac -= whole;
    }
    for (int c = 0; c < channels; ++c) {
        const float *src = s.channel(c);
        float *dst = out + size_t(c) * size_t(n);
        const float *coefficients = m_coefficients.data();
        for (int i = 0; i < made; ++i, coefficients += kTaps) {
            const int64_t first = m_taps[size_t(i)];
            const size_t at = size_t(uint64_t(first) & mask);
            if (at + kTaps <= s.capacity && first + kTaps <= end) {
                dst[i] = dot(coefficients, src + at);
                continue;
            }
            // Across the ring's end, or look-ahead not there yet (only just after a switch or
            // a late block): the newest sample stands in for the missing ones.
            float window[kTaps];
            for (int k = 0; k < kTaps; ++k)
                window[k] = src[uint64_t(std::min(first + k, end - 1)) & mask];
            dst[i] = dot(coefficients, window);
        }
    }
    m_playFrame = frame;
    m_playFrac = frac;
    publishRead(s);
    return made;
}

FrameSyncStats FrameSync::stats() const
{
    FrameSyncStats st;
    st.underruns = m_underruns.load(std::memory_order_relaxed);
    st.stretched = m_stretched.load(std::memory_order_relaxed);
    st.overruns = m_overruns.load(std::memory_order_relaxed);
    st.resyncs = m_resyncs.load(std::memory_order_relaxed);
    st.fillMs = m_statFill.load(std::memory_order_relaxed);
    st.targetMs = m_statTarget.load(std::memory_order_relaxed);
    st.correctionPpm = m_statCorrection.load(std::memory_order_relaxed);
    st.driftPpm = m_statDrift.load(std::memory_order_relaxed);
    st.running = m_statRunning.load(std::memory_order_relaxed);
    st.resampling = m_statResampling.load(std::memory_order_relaxed);
    return st;
}

} // namespace veltrin::rt
