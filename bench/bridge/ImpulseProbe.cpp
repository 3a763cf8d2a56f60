#include "ImpulseProbe.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <jack/jack.h>

namespace veltrin::bench {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMinSilenceSeconds = 0.0005;
constexpr size_t kMaxXruns = 100000;

int64_t rawNanoseconds() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

ImpulseProbe::ImpulseProbe(const ProbeConfig &config)
    : m_config(config), m_jack(config.name, config.server, config.listen ? config.channels : 0,
                               config.emit ? config.channels : 0),
      m_log(config.logPath)
{
    if (!m_jack.ok() || !m_log.ok())
        return;
    m_rate = m_jack.sampleRate();
    m_spacing = std::max<int64_t>(1, std::llround(config.spacingSeconds * m_rate));
    m_toneStep = config.toneHz / m_rate;
    m_listened = config.listen ? std::min(config.channels, 2) : 0;
    // Two seconds of the listened channels: the worker drains every 10 ms.
    const size_t perSecond = static_cast<size_t>(m_rate) * (sizeof(float) * 2 + 8);
    m_ring = std::make_unique<rt::SpscByteRing>(std::max<size_t>(1 << 20, 2 * perSecond));

    m_pulse = Impulse::shape();
    m_pulseTrack.assign(kMaxPeriod, 0.0f);
    m_toneTrack.assign(kMaxPeriod, 0.0f);
    m_heard.assign(2 * kMaxPeriod, 0.0f);
    m_emitted.resize(kMaxPeriod / static_cast<size_t>(m_spacing) + 2);
    m_xruns.resize(kMaxXruns);
    m_silences = std::make_unique<SilenceDetector>(
        std::max<int64_t>(2, std::llround(kMinSilenceSeconds * m_rate)));
    m_tone = std::make_unique<ToneTracker>(m_toneStep);

    m_worker = std::thread([this] { work(); });
    if (!m_jack.activate(&ImpulseProbe::process, &ImpulseProbe::xrun, this))
        m_jack.close();
}

ImpulseProbe::~ImpulseProbe()
{
    // No callback may run once the worker and the buffers go.
    m_jack.close();
    m_stop.store(true, std::memory_order_relaxed);
    if (m_worker.joinable())
        m_worker.join();
}

int ImpulseProbe::process(uint32_t frames, void *arg)
{
    static_cast<ImpulseProbe *>(arg)->processBlock(frames);
    return 0;
}

int ImpulseProbe::xrun(void *arg)
{
    auto *self = static_cast<ImpulseProbe *>(arg);
    const size_t at = self->m_xrunCount.load(std::memory_order_relaxed);
    if (at < self->m_xruns.size()) {
        self->m_xruns[at] = RawXrun{jack_frame_time(self->m_jack.get()), rawNanoseconds()};
        self->m_xrunCount.store(at + 1, std::memory_order_release);
    }
    return 0;
}

void ImpulseProbe::processBlock(uint32_t frames) noexcept
{
    const int64_t ns = rawNanoseconds();
    if (frames > kMaxPeriod)
        return;
    // The probe counts frames itself, from JACK's frame time at its first cycle: a callback
    // that starts after the server began the next cycle reads that cycle's frame time.
    const uint32_t server = jack_last_frame_time(m_jack.get());
    if (!m_started)
        m_nextFrame = server;
    m_started = true;
    const int64_t first = m_nextFrame;
    m_nextFrame += frames;

    // What came back first, as a converter reads before it writes: an output fed back to an
    // input shares its buffer.
    const auto &ins = m_jack.inputs();
    for (int k = 0; k < m_listened; ++k) {
        const auto *in = static_cast<const float *>(jack_port_get_buffer(ins[size_t(k)], frames));
        std::copy(in, in + frames, m_heard.begin() + std::ptrdiff_t(k) * kMaxPeriod);
    }
    const uint32_t emitted = m_config.emit ? generate(frames, first) : 0;
    const size_t samples = size_t(m_listened) * frames * sizeof(float);
    const size_t size = sizeof(CycleHeader) + emitted * sizeof(Emission) + samples;
    uint8_t *record = m_ring->reserve(size);
    if (record == nullptr)
        return; // the worker shows the missing frames as a gap
    const CycleHeader header{first, ns, frames, emitted, server};
    std::memcpy(record, &header, sizeof header);
    uint8_t *at = record + sizeof header;
    std::memcpy(at, m_emitted.data(), emitted * sizeof(Emission));
    at += emitted * sizeof(Emission);
    for (int k = 0; k < m_listened; ++k) {
        std::memcpy(at, m_heard.data() + std::ptrdiff_t(k) * kMaxPeriod, frames * sizeof(float));
        at += frames * sizeof(float);
    }
    m_ring->commit();
}

uint32_t ImpulseProbe::generate(uint32_t frames, int64_t first) noexcept
{
    // The impulse track, the same on every even channel; pulses start on multiples of the
    // spacing.
    uint32_t emitted = 0;
    if (m_nextEmit < 0)
        m_nextEmit = (first / m_spacing + 1) * m_spacing;
    for (uint32_t i = 0; i < frames; ++i) {
        const int64_t f = first + i;
        if (f >= m_nextEmit) {
            m_pulseStart = f;
            m_pulseLevel = static_cast<float>(Impulse::amplitude(m_nextCode));
            if (emitted < m_emitted.size())
                m_emitted[emitted++] = Emission{f + (Impulse::kLength - 1) / 2, m_nextCode};
            m_nextCode = (m_nextCode + 1) % Impulse::kCodes;
            m_nextEmit = (f / m_spacing + 1) * m_spacing;
        }
        const int64_t d = f - m_pulseStart;
        m_pulseTrack[i] = d >= 0 && d < Impulse::kLength ? m_pulseLevel * m_pulse[size_t(d)] : 0;
        double cycles = static_cast<double>(f) * m_toneStep;
        cycles -= std::floor(cycles);
        m_toneTrack[i] = static_cast<float>(kToneLevel * std::sin(2 * kPi * cycles));
    }
    const auto &outs = m_jack.outputs();
    for (size_t k = 0; k < outs.size(); ++k) {
        const auto &track = k % 2 == 0 ? m_pulseTrack : m_toneTrack;
        std::copy(track.begin(), track.begin() + frames,
                  static_cast<float *>(jack_port_get_buffer(outs[k], frames)));
    }
    return emitted;
}

void ImpulseProbe::work()
{
    while (!m_stop.load(std::memory_order_relaxed)) {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    drain();
}

void ImpulseProbe::drain()
{
    size_t size = 0;
    while (const uint8_t *record = m_ring->peek(size)) {
        CycleHeader h;
        std::memcpy(&h, record, sizeof h);
        m_log.write(CycleStamp{h.frame, h.ns, h.frames});
        const uint8_t *at = record + sizeof h;
        for (uint32_t e = 0; e < h.emissions; ++e, at += sizeof(Emission)) {
            Emission emission;
            std::memcpy(&emission, at, sizeof emission);
            m_log.write(emission);
        }
        if (m_expected >= 0 && h.frame != m_expected)
            m_log.write(ProbeGap{m_expected, h.frame - m_expected});
        m_expected = h.frame + h.frames;
        m_serverFrame = h.serverFrame;
        m_samples.resize(size_t(m_listened) * h.frames);
        std::memcpy(m_samples.data(), at, m_samples.size() * sizeof(float));
        const float *samples = m_samples.data();
        if (m_listened > 0)
            m_impulses.feed(samples, h.frames, h.frame, m_arrivals);
        if (m_listened > 1) {
            m_silences->feed(samples + h.frames, h.frames, h.frame, m_silent);
            m_tone->feed(samples + h.frames, h.frames, h.frame, m_breaks);
        }
        m_ring->release(size);
    }
    if (m_stop.load(std::memory_order_relaxed))
        m_tone->reset(m_breaks);
    for (const Arrival &a : m_arrivals)
        m_log.write(a);
    for (const Silence &s : m_silent)
        m_log.write(s);
    for (const Discontinuity &d : m_breaks)
        m_log.write(d);
    m_arrivals.clear();
    m_silent.clear();
    m_breaks.clear();

    const size_t xruns = m_xrunCount.load(std::memory_order_acquire);
    for (; m_xrunsLogged < xruns; ++m_xrunsLogged) {
        // On the probe's count, from the server's frame time of the last cycle.
        const RawXrun &x = m_xruns[m_xrunsLogged];
        const int64_t delta = static_cast<int32_t>(x.frame - m_serverFrame);
        m_log.write(XrunStamp{std::max<int64_t>(m_expected, 0) + delta, x.ns});
    }
    m_log.flush();
}

} // namespace veltrin::bench
