// A JACK client that measures an audio bridge from the outside: it emits coded impulses (and a
// steady tone on every odd channel), finds the impulses and the silences in what comes back, and
// notes the server's xruns. Arrivals are timed on the server's frame clock to a fraction of a
// sample (the centroid of the returned pulse, which a resampler leaves in place).
//
// Threads: the process callback runs on JACK's real-time thread and only writes preallocated
// event arrays, publishing each count with a release store; the xrun callback runs on JACK's
// notification thread and appends to an array of its own. Everything else runs on the caller's
// thread, which reads the arrays after an acquire load of their counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct _jack_client;

struct Emission {
    int64_t frame = 0; // centre of the pulse on the server's frame clock
    int code = 0;
};

struct Arrival {
    double frame = 0; // centroid of the returned pulse
    double area = 0;  // sum of the pulse's samples: the impulse's code survives resampling
};

struct Silence {
    int64_t start = 0; // first silent frame of the tone channel
    int64_t length = 0;
};

class ImpulseProbe
{
public:
    static constexpr int kPulseLength = 17; // a Hann pulse: band-limited, with area 8 x peak
    static constexpr int kCodes = 16;

    // Amplitude of impulse n; codes repeat every kCodes impulses.
    static double amplitude(int code) { return 0.2 + 0.04 * code; }
    // The code whose pulse has this area, or -1.
    static int codeOf(double area);

    ImpulseProbe(const std::string &name, int channels, double spacingSeconds,
                 double recordSeconds);
    ~ImpulseProbe();
    ImpulseProbe(const ImpulseProbe &) = delete;
    ImpulseProbe &operator=(const ImpulseProbe &) = delete;

    bool ok() const { return m_client != nullptr; }
    _jack_client *client() const { return m_client; }
    std::string portName(bool output, int channel) const;
    int spacingFrames() const { return m_spacing; }
    int sampleRate() const { return m_rate; }
    int period() const;
    // The server's frame clock. A server for one measurement lives far less than the 24 hours
    // after which its 32-bit clock wraps.
    int64_t now() const;

    // Snapshots of everything recorded so far (the caller picks a time window).
    std::vector<Emission> emissions() const;
    std::vector<Arrival> arrivals() const;
    std::vector<Silence> silences() const;
    std::vector<int64_t> xruns() const;

private:
    static int process(uint32_t frames, void *arg);
    static int xrun(void *arg);
    void processBlock(uint32_t frames) noexcept;
    void detect(const float *in, uint32_t frames, int64_t first) noexcept;
    void watchTone(const float *in, uint32_t frames, int64_t first) noexcept;

    _jack_client *m_client = nullptr;
    int m_rate = 48000;
    int m_spacing = 2400;
    std::vector<struct _jack_port *> m_outs, m_ins;
    std::vector<float> m_pulse, m_tone, m_scratch;

    // Written by the process callback only.
    int64_t m_nextEmit = -1;
    int64_t m_pulseStart = -1000;
    float m_pulseLevel = 0;
    int m_nextCode = 0;
    float m_history[64] = {};
    int64_t m_trigger = -1, m_quietUntil = 0;
    int64_t m_silentFrom = -1;
    std::vector<Emission> m_emissions;
    std::vector<Arrival> m_arrivals;
    std::vector<Silence> m_silences;
    std::atomic<size_t> m_emissionCount{0}, m_arrivalCount{0}, m_silenceCount{0};

    // Written by the xrun callback only.
    std::vector<int64_t> m_xruns;
    std::atomic<size_t> m_xrunCount{0};
};
