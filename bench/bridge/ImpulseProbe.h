// A JACK client that measures an audio bridge from the outside. It emits coded impulses on every
// even channel and a tone on every odd one, listens to what comes back on channels 0 (impulses)
// and 1 (tone), and writes every cycle's frame and wake-up time, the emissions, the arrivals,
// silences and tone discontinuities and the server's xruns to a probe log (ProbeLog.h).
// On one server one probe does both; across two servers one probe emits on the first and
// another listens on the second, each in a process of its own (veltrin_bridge_probe): a process
// with clients on two servers gets its callbacks only every second cycle.
//
// Threads: the process callback runs on JACK's real-time thread. It fills the outputs, reads
// CLOCK_MONOTONIC_RAW (through the vDSO, no system call) and hands the cycle's stamp, its
// emissions and the two listened channels to the worker through an SPSC ring: no lock, no
// allocation. When the ring is full the cycle is dropped and the log shows a gap. The xrun
// callback runs on JACK's notification thread and appends to a preallocated array, publishing
// the count with a release store. The worker thread owns the detectors and the log: it drains
// the ring every 10 ms. The destructor closes the client first, then stops the worker, which
// writes out everything still in the ring.
#pragma once

#include "JackHarness.h"
#include "ProbeLog.h"
#include "ProbeSignals.h"
#include "SpscByteRing.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace veltrin::bench {

struct ProbeConfig {
    std::string name;   // JACK client name
    std::string server; // empty: JACK_DEFAULT_SERVER
    int channels = 2;
    bool emit = true;   // out_k ports carrying the impulses and the tone
    bool listen = true; // in_k ports, of which in_0 and in_1 are analysed
    double spacingSeconds = 0.05;
    double toneHz = 1000;
    std::string logPath;
};

class ImpulseProbe
{
public:
    explicit ImpulseProbe(const ProbeConfig &config);
    ~ImpulseProbe();
    ImpulseProbe(const ImpulseProbe &) = delete;
    ImpulseProbe &operator=(const ImpulseProbe &) = delete;

    bool ok() const { return m_jack.active() && m_log.ok(); }
    int sampleRate() const { return m_rate; }

private:
    struct CycleHeader {
        int64_t frame;
        int64_t ns;
        uint32_t frames;
        uint32_t emissions; // Emission records follow, then the listened channels
        uint32_t serverFrame;
    };
    static constexpr uint32_t kMaxPeriod = 16384;

    static int process(uint32_t frames, void *arg);
    static int xrun(void *arg);
    void processBlock(uint32_t frames) noexcept;
    uint32_t generate(uint32_t frames, int64_t first) noexcept;
    void work();
    void drain();

    ProbeConfig m_config;
    JackClient m_jack;
    int m_rate = 48000;
    int64_t m_spacing = 2400;
    double m_toneStep = 0; // tone cycles per frame
    int m_listened = 0;    // channels copied to the worker: 0, 1 or 2
    std::unique_ptr<rt::SpscByteRing> m_ring;

    // Process callback only.
    std::vector<float> m_pulse, m_pulseTrack, m_toneTrack, m_heard;
    std::vector<Emission> m_emitted;
    bool m_started = false;
    int64_t m_nextFrame = 0;
    int64_t m_nextEmit = -1;
    int64_t m_pulseStart = -1000;
    float m_pulseLevel = 0;
    int m_nextCode = 0;

    // Xrun callback only, then read by the worker.
    struct RawXrun {
        uint32_t frame;
        int64_t ns;
    };
    std::vector<RawXrun> m_xruns;
    std::atomic<size_t> m_xrunCount{0};

    // Worker only.
    ProbeLogWriter m_log;
    ImpulseDetector m_impulses;
    std::unique_ptr<SilenceDetector> m_silences;
    std::unique_ptr<ToneTracker> m_tone;
    int64_t m_expected = -1;    // the frame the next cycle should start at
    uint32_t m_serverFrame = 0; // JACK's frame time of the last cycle
    size_t m_xrunsLogged = 0;
    std::vector<float> m_samples;
    std::vector<Arrival> m_arrivals;
    std::vector<Silence> m_silent;
    std::vector<Discontinuity> m_breaks;

    std::atomic<bool> m_stop{false};
    std::thread m_worker;
};

} // namespace veltrin::bench
