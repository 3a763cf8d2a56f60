#include "FrameSync.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <soxr.h>

namespace veltrin::rt {

namespace {

struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

SoxrPtr makeResampler(double ioRatio, int channels)
{
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
    // One thread: the resampler runs inside the audio callback and must not start threads.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    SoxrPtr s(soxr_create(ioRatio, 1.0, unsigned(channels), &error, &io, &quality, &runtime));
    if (error != nullptr)
        return nullptr;
    soxr_set_io_ratio(s.get(), ioRatio, 0);
    return s;
}

// Input frames a fresh resampler takes in before its first output appears.
int measureLookahead(double ioRatio)
{
    SoxrPtr probe = makeResampler(ioRatio, 1);
    if (!probe)
        return 0;
    std::vector<float> in(64, 0.f), out(4096);
    int fed = 0;
    for (int i = 0; i < 1000; ++i) {
        const float *ip[1] = {in.data()};
        float *op[1] = {out.data()};
        size_t used = 0, made = 0;
        soxr_process(probe.get(), ip, in.size(), &used, op, out.size(), &made);
        fed += int(used);
        if (made > 0)
            return std::max(0, fed - int(std::ceil(double(made) * ioRatio)));
    }
    return 0;
}

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
    SoxrPtr resampler;
    int lookahead = 0;                 // input frames the fresh resampler holds back
    std::atomic<uint64_t> writePos{0}; // producer
    std::atomic<uint64_t> readPos{0};  // consumer
    // The latest arrival, under a seqlock written by the producer: the write position after
    // it, its time and its size. The consumer turns it into a continuous fill level.
    std::atomic<uint32_t> arrivalSeq{0};
    std::atomic<uint64_t> arrivalPos{0};
    std::atomic<double> arrivalTime{0};
    std::atomic<int> lastBlock{0};
    bool resamplerUsed = false; // consumer

    float *channel(int c) { return ring.get() + size_t(c) * capacity; }
};

FrameSync::FrameSync(const FrameSyncConfig &config) : m_config(config) {}

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
        const double ioRatio = double(sampleRate) / requestedRate;
        fresh->resampler = makeResampler(ioRatio, used);
        fresh->lookahead = measureLookahead(ioRatio);
        if (!fresh->resampler)
            return;
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
    m_running = false;
    m_resampling = s->sourceRate != s->outRate;
    m_reserve = -1;
    m_observed = 0;
    m_outsideBand = 0;
    m_crossfadeLeft = 0;
    m_heldIn = 0;
    if (m_resampling)
        m_integral = 0;
}

void FrameSync::capture(NDIlib_audio_frame_v2_t &frame, int sampleRate, int channels, int samples,
                        double now)
{
    const int n = std::max(samples, 0);
    const int ch = std::clamp(channels, 0, kMaxChannels);
    const size_t need = size_t(ch) * size_t(n);
    if (m_out.size() < need) {
        // The first call, or a larger block than ever before.
        m_out.resize(need);
        m_scratch.resize(need);
        m_discard.resize(size_t(kMaxChannels) * kDiscardFrames);
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

void FrameSync::produce(SourceStream &s, float *out, int channels, int n, double now)
{
    const double rate = s.sourceRate;
    const double dt = double(n) / s.outRate;
    const double blockIn = n * rate / s.outRate;
    const uint64_t write = s.writePos.load(std::memory_order_acquire);
    uint64_t read = s.readPos.load(std::memory_order_relaxed);

    // The device's pace: a pull far later than its block's length means the device stalled,
    // and for a while after that its blocks come back to back, faster than any network path
    // can deliver.
    const double interval = m_lastPull < 0 ? dt : now - m_lastPull;
    if (interval > dt + std::max(2 * dt, m_config.stallMs * 1e-3))
        m_lastStall = now;
    const bool afterStall = now - m_lastStall < std::max(8 * dt, 4 * m_config.stallMs * 1e-3);
    m_lastPull = now;

    // The source as a continuous flow: the latest block was played out at the sender over the
    // block's duration before it arrived, so the fill level grows smoothly between arrivals
    // (up to the block's size: a late block is not assumed). Measured at block boundaries
    // instead, the level would jump by a whole block whenever the two clocks' phases cross.
    uint64_t arrivalPos = write;
    double arrivalTime = now;
    int lastBlock = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t seq = s.arrivalSeq.load(std::memory_order_acquire);
        arrivalPos = s.arrivalPos.load(std::memory_order_acquire);
        arrivalTime = s.arrivalTime.load(std::memory_order_acquire);
        lastBlock = s.lastBlock.load(std::memory_order_acquire);
        if ((seq & 1) == 0 && seq == s.arrivalSeq.load(std::memory_order_relaxed))
            break;
    }
    arrivalPos = std::min(arrivalPos, write);
    const double sinceArrival = std::clamp((now - arrivalTime) * rate, 0.0, double(lastBlock));
    const double flowPos = double(arrivalPos) - lastBlock + sinceArrival;

    const double margin = m_config.marginMs * 1e-3 * rate;
    if (m_reserve < 0)
        m_reserve = margin;
    const bool fresh = m_resampling && !s.resamplerUsed;
    // What the resampler has taken in but not yet given out counts as fill too; without it the
    // level would jump with every chunk the resampler takes.
    const double held = m_resampling && s.resamplerUsed ? m_heldIn - s.lookahead : 0.0;

    // The level that is always enough while blocks come in time, whatever the phases: a device
    // block plus the reserve, on the flow model. Drifting clocks move the phases through every
    // value, so the resampler holds this.
    const double safeLevel = blockIn + m_reserve;

    if (!m_running) {
        // Pulls are played on paper first, for long enough to see every phase of the two block
        // sizes; the start then takes the read position that would have left exactly the
        // reserve after the leanest of them. On one clock that is a block plus the reserve just
        // before each pull, however late within its cycle each block arrives.
        if (m_observed <= 0) {
            m_virtualRead = double(write);
            m_virtualLeast = std::numeric_limits<double>::max();
        }
        const double virtualRead = m_virtualRead;
        m_virtualLeast = std::min(m_virtualLeast, double(write) - virtualRead - blockIn);
        m_virtualRead += blockIn;
        m_observed += dt;
        const double window = std::max(0.1, 4 * std::max<double>(lastBlock, blockIn) / rate);
        if (m_observed < window)
            return;
        const double start =
            virtualRead - (m_reserve + (fresh ? s.lookahead : 0) - m_virtualLeast);
        if (start < double(read) || start > double(write))
            return;
        read = uint64_t(start);
        s.readPos.store(read, std::memory_order_release);
        m_running = true;
        m_runningFor = 0;
        m_outsideBand = 0;
        m_target = -1;
        m_owed = 0;
        m_missingFor = 0;
        m_short = false;
    }

    double level = flowPos - double(read) + held;
    if (m_target < 0) {
        m_target = level;
        m_smoothedFill = level;
    }
    const double tau = std::max(m_config.smoothingMs * 1e-3, 4 * dt);
    const double alpha = std::min(1.0, dt / tau);
    m_smoothedFill += alpha * (level - m_smoothedFill);
    // The level this stream holds from now on (the PI loop's set point, and what passthrough
    // keeps) is where it settles after a start.
    m_runningFor += dt;
    const bool settling = m_runningFor < m_config.passthroughSettleSeconds;
    if (settling)
        m_target = m_smoothedFill;
    else if (m_resampling)
        m_target = std::max(m_target, safeLevel);

    // Drops `frames` of the oldest samples (at most what the ring holds); the smoothed level
    // moves with them, as it is no measurement error.
    auto drop = [&](double frames) {
        const auto cut = uint64_t(std::clamp(frames, 0.0, double(write - read)));
        read += cut;
        s.readPos.store(read, std::memory_order_release);
        level -= double(cut);
        m_smoothedFill -= double(cut);
        return double(cut);
    };
    // Samples that came late after a stall were covered with silence: they are dropped as they
    // turn up, so the latency is what it was before the stall.
    if (m_owed > 0) {
        if (now > m_owedUntil)
            m_owed = 0;
        else
            m_owed -= drop(std::min({m_owed, std::round(level - m_target),
                                     double(write - read) - safeLevel}));
    }
    // A gross excess (a stall upstream burst in) is cut at once.
    if (level - m_target > m_config.resyncAboveMs * 1e-3 * rate) {
        drop(level - m_target);
        m_resyncs.fetch_add(1, std::memory_order_relaxed);
    }

    const double error = (m_smoothedFill - m_target) / rate; // s
    // Passthrough applies no correction, so it must not wind the integral up either.
    if (m_resampling)
        m_integral = std::clamp(m_integral + m_config.integralGain * error * dt,
                                -m_config.maxCorrection, m_config.maxCorrection);
    m_correction = std::clamp(m_config.proportionalGain * error + m_integral,
                              -m_config.maxCorrection, m_config.maxCorrection);

    bool switchNow = false;
    if (!m_resampling) {
        // Passthrough keeps the level where it settled; only a lasting move away from there is
        // drift.
        if (std::abs(error) * 1e3 > m_config.passthroughBandMs)
            m_outsideBand += dt;
        else
            m_outsideBand = 0;
        // The rewind below reads samples just behind the read position; they are intact while
        // the ring is far from full.
        switchNow = m_outsideBand > m_config.passthroughHoldSeconds
                    && level + 2.0 * s.lookahead < double(s.capacity) / 2;
    }

    const int used = std::min(channels, s.channels);
    int made = 0;
    if (!m_resampling && !switchNow) {
        made = readPassthrough(s, out, used, n, true);
    } else {
        const double ioRatio = rate / s.outRate * (1 + m_correction);
        if (switchNow) {
            // Passthrough for this block into the scratch buffer, then the resampler started
            // `lookahead` frames back (those samples are still in the ring) so that it needs no
            // more input than passthrough would; the two are cross-faded within the block.
            m_resampling = true;
            m_target = std::max(m_target, safeLevel);
            readPassthrough(s, m_scratch.data(), used, n, false);
            // Started twice the look-ahead back, with the first look-ahead's worth of output
            // thrown away: what is kept was computed with real samples on both sides, not
            // from the zeros a fresh resampler starts with.
            const int discard = std::min(s.lookahead, kDiscardFrames);
            const auto back = uint64_t(s.lookahead + discard);
            s.readPos.store(s.readPos.load(std::memory_order_relaxed) - back,
                            std::memory_order_relaxed);
            readResampled(s, m_discard.data(), discard, used, discard, ioRatio);
            // Within this block: the passthrough side exists for this block only.
            m_crossfadeTotal = std::clamp(m_config.crossfadeFrames, 1, n);
            m_crossfadeLeft = m_crossfadeTotal;
        }
        made = readResampled(s, out, n, used, n, ioRatio);
        if (m_crossfadeLeft > 0) {
            const int len = m_crossfadeLeft;
            const int total = m_crossfadeTotal;
            for (int c = 0; c < used; ++c) {
                float *o = out + size_t(c) * size_t(n);
                const float *p = m_scratch.data() + size_t(c) * size_t(n);
                for (int i = 0; i < len; ++i) {
                    const float w = float(i + 1) / float(total + 1);
                    o[i] = p[i] * (1.f - w) + o[i] * w;
                }
            }
            m_crossfadeLeft = 0;
        }
    }
    if (made < n) {
        m_underruns.fetch_add(1, std::memory_order_relaxed);
        const double shortfall = double(n - made) * rate / s.outRate;
        // Blocks late at a steady pull pace, again and again: jitter the reserve does not
        // cover. The silence just played becomes latency (the late samples are played when they
        // come), and later starts keep as much more. A single late block, a short burst of
        // them, or the blocks a stall held up are made up instead: the late samples are dropped
        // as they come, so the latency stays what it was.
        const bool late = !m_short && !afterStall;
        if (late) {
            if (now - m_lastLate > m_config.repeatSeconds)
                m_firstLate = now;
            m_lastLate = now;
        }
        if (late && now - m_firstLate >= m_config.persistSeconds) {
            m_target += shortfall;
            m_reserve = std::min(m_reserve + shortfall, kMaxReserveSeconds * rate);
        } else {
            m_owed += shortfall;
            m_owedUntil = now + m_config.owedMs * 1e-3 + 2 * dt;
        }
        m_short = true;
        m_missingFor += dt;
        if (m_missingFor > std::max(m_config.goneMs * 1e-3, 4 * dt)) {
            m_running = false;
            m_observed = 0;
        }
    } else {
        m_short = false;
        m_missingFor = 0;
    }
    m_statFill.store(m_smoothedFill / rate * 1e3, std::memory_order_relaxed);
    m_statTarget.store(m_target / rate * 1e3, std::memory_order_relaxed);
    m_statCorrection.store(m_correction * 1e6, std::memory_order_relaxed);
}

int FrameSync::readPassthrough(SourceStream &s, float *out, int channels, int n, bool consume)
{
    const uint64_t write = s.writePos.load(std::memory_order_acquire);
    const uint64_t read = s.readPos.load(std::memory_order_relaxed);
    const auto take = int(std::min<uint64_t>(write - read, uint64_t(n)));
    const size_t mask = s.capacity - 1;
    const size_t at = read & mask;
    const size_t first = std::min(size_t(take), s.capacity - at);
    for (int c = 0; c < channels; ++c) {
        const float *src = s.channel(c);
        float *dst = out + size_t(c) * size_t(n);
        std::memcpy(dst, src + at, first * sizeof(float));
        std::memcpy(dst + first, src, (size_t(take) - first) * sizeof(float));
    }
    if (consume)
        s.readPos.store(read + uint64_t(take), std::memory_order_release);
    return take;
}

int FrameSync::readResampled(SourceStream &s, float *out, int stride, int channels, int n,
                             double ioRatio)
{
    soxr_set_io_ratio(s.resampler.get(), ioRatio, size_t(n));
    s.resamplerUsed = true;
    const size_t mask = s.capacity - 1;
    const float *in[kMaxChannels];
    float *dst[kMaxChannels];
    int made = 0;
    // Bounded: each pass either makes output, takes input, or gives up.
    for (int pass = 0; pass < 64 && made < n; ++pass) {
        const uint64_t write = s.writePos.load(std::memory_order_acquire);
        const uint64_t read = s.readPos.load(std::memory_order_relaxed);
        const uint64_t avail = write - read;
        const size_t at = read & mask;
        const auto want = uint64_t(std::ceil((n - made) * ioRatio)) + 1;
        const size_t feed = size_t(std::min({avail, want, uint64_t(s.capacity - at)}));
        // A null input would tell the resampler that the stream has ended.
        for (int c = 0; c < channels; ++c) {
            in[c] = s.channel(c) + at;
            dst[c] = out + size_t(c) * size_t(stride) + made;
        }
        size_t used = 0, produced = 0;
        soxr_process(s.resampler.get(), in, feed, &used, dst, size_t(n - made), &produced);
        s.readPos.store(read + used, std::memory_order_release);
        made += int(produced);
        m_heldIn += double(used) - double(produced) * ioRatio;
        if (used == 0 && produced == 0 && avail == 0)
            break;
    }
    return made;
}

FrameSyncStats FrameSync::stats() const
{
    FrameSyncStats st;
    st.underruns = m_underruns.load(std::memory_order_relaxed);
    st.overruns = m_overruns.load(std::memory_order_relaxed);
    st.resyncs = m_resyncs.load(std::memory_order_relaxed);
    st.fillMs = m_statFill.load(std::memory_order_relaxed);
    st.targetMs = m_statTarget.load(std::memory_order_relaxed);
    st.correctionPpm = m_statCorrection.load(std::memory_order_relaxed);
    st.running = m_statRunning.load(std::memory_order_relaxed);
    st.resampling = m_statResampling.load(std::memory_order_relaxed);
    return st;
}

} // namespace veltrin::rt
