// The bridge benchmark's rig, in pieces that other benchmarks put together their own way:
//   - BenchSide: one side of a bridge, a private JACK dummy server (its clock set off by some
//     ppm if asked) with a control client that only wires ports; everything started on the
//     side runs inside its network namespace, if it has one, with JACK_DEFAULT_SERVER set;
//   - ProbeProcess: a veltrin_bridge_probe on a side, emitting, listening or both, and its log;
//   - BridgeProcesses: the two processes of a bridge (Veltrin's peers or zita-j2n/zita-n2j),
//     the sender on side A and the receiver on side B;
//   - measure(): waits for the bridge to carry audio, measures for a while, sampling each
//     bridge process's CPU, memory, descriptors and threads every second, and turns the
//     probes' logs into figures.
// One clock: side A is side B and one probe does both. Two clocks: two servers, an emitting
// probe on A and a listening probe on B, and times on CLOCK_MONOTONIC_RAW through each
// server's fitted clock.
//
// Threads: all of it runs on the caller's thread. SIGINT and SIGTERM (after
// installInterruptHandlers) make every wait return early.
#pragma once

#include "BenchProcess.h"
#include "BridgeAnalysis.h"
#include "ChildProgram.h"
#include "ClockFit.h"
#include "JackControl.h"
#include "ProbeLog.h"

#include <memory>
#include <string>
#include <vector>

namespace pwtest {
class PipeWireSession;
}

namespace veltrin::bench {

void installInterruptHandlers();
bool interrupted();
void sleepSeconds(double seconds);
double rawSeconds(); // CLOCK_MONOTONIC_RAW

// The programs the rig starts.
struct RigPrograms {
    std::string probe;       // veltrin_bridge_probe
    std::string peer;        // veltrin_bridge_peer
    std::string skewLibrary; // libveltrin_jack_skew.so, preloaded into jackd to set its ppm
};

// Where a side's audio devices come from. PipeWire: a private PipeWire whose graph runs at the
// side's rate, reached by the rig through PipeWire's libjack (the benchmark must run under
// pw-jack); one clock only. Its devices:
//   - PipeWireJack: a quantum fixed at the period, as `pw-jack -p` sets it, and one virtual
//     device "system" of `channels` channels each way, opened by the peers through PortAudio's
//     JACK host API like the dummy server's;
//   - PipeWireAlsa: a virtual source and a virtual sink of `channels` channels, the defaults,
//     on a graph with a desktop's clock; the peers open the ALSA device "pipewire" of
//     PipeWire's ALSA plug-in, WirePlumber links their streams to the two devices, and the
//     probe feeds the source and hears the sink.
//   - PipeWireDesktop: the same two devices, as a desktop's sound card in and out, on a graph
//     with a desktop's clock (PipeWire's own quantum settings, nothing fixed); the peers are
//     started plainly (without pw-jack's library path) and open the devices by name, through
//     whichever route they choose themselves.
enum class Platform { JackDummy, PipeWireJack, PipeWireAlsa, PipeWireDesktop };
// The JACK client names of PipeWireAlsa's and PipeWireDesktop's devices.
constexpr const char *kPipeWireSource = "Studio Card In";
constexpr const char *kPipeWireSink = "Studio Card Out";

struct SideConfig {
    std::string label = "A"; // in server, client and log names
    int rate = 48000;
    int period = 256;
    int channels = 2;  // of the dummy device, each way
    double ppm = 0;    // the server runs at rate * (1 + ppm / 1e6)
    std::string netns; // network namespace of everything on this side; empty: the caller's
    Platform platform = Platform::JackDummy; // ppm and netns apply to the dummy server only
};

class BenchSide
{
public:
    BenchSide(const SideConfig &config, const RigPrograms &programs, const std::string &logDir);
    ~BenchSide();
    BenchSide(const BenchSide &) = delete;
    BenchSide &operator=(const BenchSide &) = delete;

    bool ok() const { return m_control && m_control->ok(); }
    const SideConfig &config() const { return m_config; }
    const std::string &server() const { return m_server; }
    JackControl &control() const { return *m_control; }
    const std::string &logDir() const { return m_logDir; }
    // Starts `args` on this side, output to logDir/<logName>.log, with JACK_DEFAULT_SERVER and
    // `environment` (NAME=value) added to the benchmark's environment.
    std::unique_ptr<pwtest::ChildProgram> start(std::vector<std::string> args,
                                                const std::string &logName,
                                                std::vector<std::string> environment = {}) const;

    // PipeWire only: pins the graph's quantum at `frames` (0: PipeWire chooses again), as
    // `pw-metadata -n settings 0 clock.force-quantum` does. True when it was set.
    bool forceQuantum(int frames) const;

private:
    void startPipeWire();

    SideConfig m_config;
    std::string m_server, m_logDir;
    std::unique_ptr<pwtest::ChildProgram> m_jackd;
    std::unique_ptr<pwtest::PipeWireSession> m_pipewire;
    std::unique_ptr<JackControl> m_control;
};

// Ports of `client` on the side's server in one direction, in the order of the number that ends
// their names, once there are `count` of them and, if asked, each is connected somewhere; empty
// after `timeout` seconds.
std::vector<std::string> waitForPorts(const BenchSide &side, const std::string &client,
                                      unsigned long flags, int count, bool connected,
                                      double timeout);

class ProbeProcess
{
public:
    enum class Role { Both, Emit, Listen };
    ProbeProcess(const BenchSide &side, Role role, int channels, double spacingSeconds,
                 const RigPrograms &programs);

    bool ok() const { return m_ok; }
    const std::string &client() const { return m_client; }
    std::string port(bool output, int k) const;
    ProbeLog &log() { return m_log; }
    const BenchSide &side() const { return m_side; }
    double spacing() const { return m_spacing; }

private:
    const BenchSide &m_side;
    std::string m_client;
    ProbeLog m_log;
    double m_spacing;
    std::unique_ptr<pwtest::ChildProgram> m_child;
    bool m_ok = false;
};

struct BridgeProcesses {
    std::string path; // "Veltrin", "zita default", "zita --buff 6"
    std::unique_ptr<pwtest::ChildProgram> sender, receiver; // none for linkVirtualDevices
    std::vector<std::string> inputs;                        // the sender's capture ports, on side A
    std::vector<std::string> outputs; // the receiver's playback ports, on side B
    bool ok() const { return !inputs.empty() && inputs.size() == outputs.size(); }
};

// veltrin_bridge_peer send on A, recv on B, through the built-in runtime. On PipeWireAlsa (one
// side) the bridge's ports are the virtual source's inputs and the virtual sink's monitors.
BridgeProcesses startVeltrin(const BenchSide &a, const BenchSide &b, int channels,
                             const RigPrograms &programs, const std::string &tag);
// PipeWireAlsa only: the virtual source's capture ports linked straight to the virtual sink's
// inputs, no process between them; what the rig's devices add to the ALSA route by themselves.
BridgeProcesses linkVirtualDevices(const BenchSide &side, int channels);
void unlinkVirtualDevices(const BenchSide &side, int channels);
// zita-j2n on A sending to `address`:`udpPort`, zita-n2j on B; buff < 0: zita-n2j's default.
BridgeProcesses startZita(const BenchSide &a, const BenchSide &b, int channels, int buff,
                          const std::string &address, int udpPort, const std::string &tag);

// Connects the emitting probe to the bridge's inputs and its outputs to the listening probe,
// after taking them off whatever else they were connected to.
bool wire(ProbeProcess &emitter, ProbeProcess &listener, const BridgeProcesses &bridge);

struct ClockReport {
    double rateA = 0, rateB = 0; // frames per second between xruns, fitted
    double framesPerSecondA = 0; // over the measurement, stalls included
    double framesPerSecondB = 0;
    size_t segmentsA = 0, segmentsB = 0; // stretches between stalls while measuring
    double phase = -1; // B's cycles after A's, in periods, when their periods last as long
};

// A fault put on the path between the bridge's sides while measuring: `on`, a shell command,
// runs `at` seconds after measuring begins, and `off` `length` seconds after `on` began (and in
// any case before measure() returns). The fault's times are taken as each command begins: it
// acts somewhere before it returns, and a busy machine can take tens of milliseconds for that,
// so the time until audio comes back includes the `off` command's own time (an upper bound).
struct FaultPlan {
    std::string on, off;
    double at = 10, length = 0;
    double settle = 5; // after the fault's end, still counted as the fault's (FaultWindow)
};

struct Measurement {
    Figures figures;
    bool faulted = false; // a fault plan ran: `fault` and `faultSeconds` hold
    FaultFigures fault;
    double faultSeconds = 0;              // from `on` beginning to `off` beginning
    double faultOnMs = 0, faultOffMs = 0; // how long each command took
    double cpuSend = 0, cpuRecv = 0;      // % of one core
    ResourceTrace sender, receiver;
    ClockReport clocks;
    int64_t probeGapFrames = 0; // frames a probe did not see (its own fault, not the bridge's)
};

// Waits until impulses come back, lets the bridge settle for `warmup` seconds, then measures
// for `seconds`. Empty figures (ran == false) when nothing came back within 30 s. The bridge's
// processes are sampled when it has them. A fault plan needs two servers (its times are on
// CLOCK_MONOTONIC_RAW, the two-clock timeline).
Measurement measure(ProbeProcess &emitter, ProbeProcess &listener, const BridgeProcesses &bridge,
                    double seconds, double warmup, const FaultPlan *fault = nullptr);

} // namespace veltrin::bench
