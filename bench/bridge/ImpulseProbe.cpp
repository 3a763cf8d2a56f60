#include "ImpulseProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <jack/jack.h>

namespace {

constexpr float kTrigger = 0.05f;   // below the smallest pulse's rise, far above ringing
constexpr float kSilent = 1e-3f;    // the tone never stays below this for two samples
constexpr int64_t kMinSilence = 24; // half a millisecond at 48 kHz
constexpr double kToneHz = 1000.0;
constexpr float kToneLevel = 0.25f;
constexpr size_t kMaxPeriod = 16384;

// Appends `value` unless full; the release store publishes it to readers of `count`.
template <typename T>
void append(std::vector<T> &events, std::atomic<size_t> &count, const T &value) noexcept
{
    const size_t at = count.load(std::memory_order_relaxed);
    if (at < events.size()) {
        events[at] = value;
        count.store(at + 1, std::memory_order_release);
    }
}

template <typename T>
std::vector<T> snapshot(const std::vector<T> &events, const std::atomic<size_t> &count)
{
    const size_t n = count.load(std::memory_order_acquire);
    return {events.begin(), events.begin() + static_cast<std::ptrdiff_t>(n)};
}

} // namespace

int ImpulseProbe::codeOf(double area)
{
    const double peak = area / ((kPulseLength - 1) / 2.0);
    const long code = std::lround((peak - amplitude(0)) / (amplitude(1) - amplitude(0)));
    return code >= 0 && code < kCodes ? static_cast<int>(code) : -1;
}

ImpulseProbe::ImpulseProbe(const std::string &name, int channels, double spacingSeconds,
                           double recordSeconds)
{
    const char *server = std::getenv("JACK_DEFAULT_SERVER");
    jack_status_t status{};
    m_client = jack_client_open(name.c_str(),
                                static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                &status, server != nullptr ? server : "default");
    if (m_client == nullptr)
        return;
    m_rate = static_cast<int>(jack_get_sample_rate(m_client));
    m_spacing = static_cast<int>(std::lround(spacingSeconds * m_rate));

    const double pi = std::acos(-1.0);
    for (int i = 0; i < kPulseLength; ++i)
        m_pulse.push_back(
            static_cast<float>(0.5 - 0.5 * std::cos(2 * pi * i / (kPulseLength - 1))));
    const int tonePeriod = static_cast<int>(std::lround(m_rate / kToneHz));
    for (int i = 0; i < tonePeriod; ++i)
        m_tone.push_back(kToneLevel * static_cast<float>(std::sin(2 * pi * i / tonePeriod)));
    m_scratch.assign(kMaxPeriod, 0.0f);

    const auto events = static_cast<size_t>(recordSeconds / spacingSeconds) + 16;
    m_emissions.resize(events);
    m_arrivals.resize(events);
    m_silences.resize(events);
    m_xruns.resize(events);

    for (int k = 0; k < channels; ++k) {
        const std::string out = "out_" + std::to_string(k), in = "in_" + std::to_string(k);
        m_outs.push_back(jack_port_register(m_client, out.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsOutput, 0));
        m_ins.push_back(
            jack_port_register(m_client, in.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
    }
    jack_set_process_callback(m_client, &ImpulseProbe::process, this);
    jack_set_xrun_callback(m_client, &ImpulseProbe::xrun, this);
    if (jack_activate(m_client) != 0) {
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

ImpulseProbe::~ImpulseProbe()
{
    if (m_client != nullptr) {
        jack_deactivate(m_client);
        jack_client_close(m_client);
    }
}

std::string ImpulseProbe::portName(bool output, int channel) const
{
    const auto &ports = output ? m_outs : m_ins;
    return jack_port_name(ports.at(static_cast<size_t>(channel)));
}

int ImpulseProbe::period() const
{
    return static_cast<int>(jack_get_buffer_size(m_client));
}

int64_t ImpulseProbe::now() const
{
    return static_cast<int64_t>(jack_frame_time(m_client));
}

std::vector<Emission> ImpulseProbe::emissions() const
{
    return snapshot(m_emissions, m_emissionCount);
}

std::vector<Arrival> ImpulseProbe::arrivals() const
{
    return snapshot(m_arrivals, m_arrivalCount);
}

std::vector<Silence> ImpulseProbe::silences() const
{
    return snapshot(m_silences, m_silenceCount);
}

std::vector<int64_t> ImpulseProbe::xruns() const
{
    return snapshot(m_xruns, m_xrunCount);
}

int ImpulseProbe::process(uint32_t frames, void *arg)
{
    static_cast<ImpulseProbe *>(arg)->processBlock(frames);
    return 0;
}

int ImpulseProbe::xrun(void *arg)
{
    auto *self = static_cast<ImpulseProbe *>(arg);
    append(self->m_xruns, self->m_xrunCount, self->now());
    return 0;
}

void ImpulseProbe::processBlock(uint32_t frames) noexcept
{
    if (frames > kMaxPeriod)
        return;
    const auto first = static_cast<int64_t>(jack_last_frame_time(m_client));
    // What came back first, as a converter reads before it writes.
    if (!m_ins.empty())
        detect(static_cast<const float *>(jack_port_get_buffer(m_ins[0], frames)), frames, first);
    if (m_ins.size() > 1)
        watchTone(static_cast<const float *>(jack_port_get_buffer(m_ins[1], frames)), frames,
                  first);

    // The impulse track, the same on every even channel.
    if (m_nextEmit < 0)
        m_nextEmit = (first / m_spacing + 1) * m_spacing;
    for (uint32_t i = 0; i < frames; ++i) {
        const int64_t f = first + i;
        if (f >= m_nextEmit) {
            m_pulseStart = f;
            m_pulseLevel = static_cast<float>(amplitude(m_nextCode));
            append(m_emissions, m_emissionCount, Emission{f + (kPulseLength - 1) / 2, m_nextCode});
            m_nextCode = (m_nextCode + 1) % kCodes;
            m_nextEmit = (f / m_spacing + 1) * m_spacing;
        }
        const int64_t d = f - m_pulseStart;
        m_scratch[i] = d >= 0 && d < kPulseLength ? m_pulseLevel * m_pulse[size_t(d)] : 0.0f;
    }
    const auto toneLength = static_cast<int64_t>(m_tone.size());
    for (size_t k = 0; k < m_outs.size(); ++k) {
        auto *out = static_cast<float *>(jack_port_get_buffer(m_outs[k], frames));
        if (k % 2 == 0) {
            std::copy(m_scratch.begin(), m_scratch.begin() + frames, out);
        } else {
            for (uint32_t i = 0; i < frames; ++i)
                out[i] = m_tone[size_t((first + i) % toneLength)];
        }
    }
}

void ImpulseProbe::detect(const float *in, uint32_t frames, int64_t first) noexcept
{
    constexpr int64_t kHistory = sizeof m_history / sizeof m_history[0];
    for (uint32_t i = 0; i < frames; ++i) {
        const int64_t f = first + i;
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
            append(m_arrivals, m_arrivalCount,
                   Arrival{static_cast<double>(peak) + moment / sum, sum});
        m_quietUntil = m_trigger + 32;
        m_trigger = -1;
    }
}

void ImpulseProbe::watchTone(const float *in, uint32_t frames, int64_t first) noexcept
{
    for (uint32_t i = 0; i < frames; ++i) {
        const int64_t f = first + i;
        if (std::fabs(in[i]) < kSilent) {
            if (m_silentFrom < 0)
                m_silentFrom = f;
        } else if (m_silentFrom >= 0) {
            if (f - m_silentFrom >= kMinSilence)
                append(m_silences, m_silenceCount, Silence{m_silentFrom, f - m_silentFrom});
            m_silentFrom = -1;
        }
    }
}
