#include "BenchRig.h"

#include "AudioRoute.h"
#include "PipeWireHarness.h"
#include "Timeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <jack/jack.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace veltrin::bench {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void interrupt(int)
{
    g_interrupted = 1;
}

std::string number(double value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

// JACK client names are shared by every server on the machine: ours carry the PID.
std::string uniqueName(const std::string &what)
{
    static int serial = 0;
    return what + "-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

void installInterruptHandlers()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, interrupt);
    std::signal(SIGTERM, interrupt);
}

bool interrupted()
{
    return g_interrupted != 0;
}

void sleepSeconds(double seconds)
{
    const double until = rawSeconds() + seconds;
    while (!interrupted() && rawSeconds() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(
            std::clamp(static_cast<int>((until - rawSeconds()) * 1000), 1, 20)));
}

double rawSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

BenchSide::BenchSide(const SideConfig &config, const RigPrograms &programs,
                     const std::string &logDir)
    : m_config(config), m_server(uniqueName("veltrin-bench-" + config.label)), m_logDir(logDir)
{
    if (config.platform != Platform::JackDummy) {
        startPipeWire();
        return;
    }
    const std::string channels = std::to_string(config.channels);
    // -R gives the dummy driver fewer xruns of its own; jackd carries on without it where it
    // is not allowed.
    std::vector<std::string> environment{"JACK_NO_AUDIO_RESERVATION=1"};
    if (config.ppm != 0) {
        environment.push_back("LD_PRELOAD=" + programs.skewLibrary);
        environment.push_back("VELTRIN_JACK_PPM=" + number(config.ppm));
    }
    // jackd allows eight servers on a machine, shared with every other test and benchmark:
    // when they are taken, wait for one to end, up to five minutes.
    const std::string log = "jackd-" + config.label;
    const double deadline = rawSeconds() + 300;
    for (bool told = false; !interrupted();) {
        m_jackd =
            start({"jackd", "-n", m_server, "-R", "-d", "dummy", "-r", std::to_string(config.rate),
                   "-p", std::to_string(config.period), "-C", channels, "-P", channels},
                  log, environment);
        sleepSeconds(0.5);
        const bool full =
            readFile(m_logDir + "/" + log + ".log").find("Too many servers") != std::string::npos;
        if (m_jackd->running() || !full || rawSeconds() > deadline)
            break;
        if (!told)
            std::fprintf(stderr, "  waiting for one of the machine's eight JACK servers to end\n");
        told = true;
        sleepSeconds(5);
    }
    if (m_jackd && m_jackd->running())
        m_control = std::make_unique<JackControl>(m_server, uniqueName("control-" + config.label));
}

void BenchSide::startPipeWire()
{
    const std::string libjack = veltrin::audio::loadedLibJack();
    if (!veltrin::audio::isPipeWireLibJack(libjack)) {
        std::fprintf(stderr, "  PipeWire's libjack is not loaded (%s): run under pw-jack\n",
                     libjack.empty() ? "no libjack" : libjack.c_str());
        return;
    }
    pwtest::PipeWireConfig pw;
    pw.rate = m_config.rate;
    pw.quantum = m_config.period;
    // Only the old pw-jack case keeps a fixed quantum; the desktop routes run on a desktop's
    // clock, each stream asking for its own quantum.
    pw.desktopClock = m_config.platform != Platform::PipeWireJack;
    const int n = m_config.channels;
    if (m_config.platform == Platform::PipeWireJack) {
        // "system" like the dummy server's device, so that the peers open it the same way; its
        // monitor ports are the device's capture side.
        pw.nodes = {{"veltrin-bench-system", "system", "Audio/Sink", n, true}};
    } else {
        pw.nodes = {{"veltrin-bench-sink", kPipeWireSink, "Audio/Sink", n, true},
                    {"veltrin-bench-source", kPipeWireSource, "Audio/Source/Virtual", n, true}};
    }
    m_pipewire = std::make_unique<pwtest::PipeWireSession>(pw);
    if (!m_pipewire->running()) {
        std::fprintf(stderr, "  %s\n", m_pipewire->error().c_str());
        return;
    }
    std::string why;
    if (m_config.platform == Platform::PipeWireAlsa
        && !pwtest::usePipeWireAlsaPlugin(m_pipewire->directory(), why)) {
        std::fprintf(stderr, "  %s\n", why.c_str());
        return;
    }
    // PipeWire's libjack takes the server name for the name of PipeWire's socket; the session
    // put PIPEWIRE_RUNTIME_DIR into this process's environment, which every child inherits.
    m_server = "pipewire-0";
    // The control client is never activated, yet PipeWire's JACK library would have it hold the
    // graph's quantum where it stands, and no stream could ask for its own.
    setenv("PIPEWIRE_PROPS", "{ node.lock-quantum = false }", 0);
    m_control = std::make_unique<JackControl>(m_server, uniqueName("control-" + m_config.label));
}

BenchSide::~BenchSide() = default;

bool BenchSide::forceQuantum(int frames) const
{
    return m_pipewire
           && m_pipewire->run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                               std::to_string(frames)})
                  == 0;
}

std::unique_ptr<pwtest::ChildProgram> BenchSide::start(std::vector<std::string> args,
                                                       const std::string &logName,
                                                       std::vector<std::string> environment) const
{
    environment.push_back("JACK_DEFAULT_SERVER=" + m_server);
    if (!m_config.netns.empty()) {
        // Through env, so that ip itself runs without them (LD_PRELOAD above all).
        std::vector<std::string> prefix{"ip", "netns", "exec", m_config.netns, "env"};
        prefix.insert(prefix.end(), environment.begin(), environment.end());
        args.insert(args.begin(), prefix.begin(), prefix.end());
        environment.clear();
    }
    // Each run's log starts empty; the benchmark's own environment, with `environment` over it.
    const std::string log = m_logDir + "/" + logName + ".log";
    std::ofstream(log, std::ios::trunc);
    std::vector<std::string> merged;
    auto name = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string &c) { return name(c) == name(entry); }))
            merged.push_back(entry);
    }
    merged.insert(merged.end(), environment.begin(), environment.end());
    return std::make_unique<pwtest::ChildProgram>(args, merged, log, SIGINT, 5000);
}

std::vector<std::string> waitForPorts(const BenchSide &side, const std::string &client,
                                      unsigned long flags, int count, bool connected,
                                      double timeout)
{
    const double deadline = rawSeconds() + timeout;
    while (side.ok() && !interrupted() && rawSeconds() < deadline) {
        const auto ports = side.control().ports(client, flags);
        bool ready = static_cast<int>(ports.size()) >= count;
        for (int k = 0; ready && connected && k < count; ++k)
            ready = ports[size_t(k)].connections > 0;
        if (ready) {
            std::vector<std::string> names;
            for (int k = 0; k < count; ++k)
                names.push_back(ports[size_t(k)].name);
            return names;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

ProbeProcess::ProbeProcess(const BenchSide &side, Role role, int channels, double spacingSeconds,
                           const RigPrograms &programs)
    : m_side(side), m_client(uniqueName("probe-" + side.config().label)),
      m_log(side.logDir() + "/" + m_client + ".records"), m_spacing(spacingSeconds)
{
    const char *roles[] = {"both", "emit", "listen"};
    m_child = side.start({programs.probe, "--client", m_client, "--server", side.server(), "--log",
                          side.logDir() + "/" + m_client + ".records", "--channels",
                          std::to_string(channels), "--role", roles[static_cast<int>(role)],
                          "--spacing-ms", number(spacingSeconds * 1000)},
                         m_client,
                         side.config().platform == Platform::PipeWireDesktop
                                 || side.config().platform == Platform::PipeWireAlsa
                             // The probe stands in for the sound card, which holds no
                             // quantum (PipeWire's JACK clients keep theirs while they run by
                             // default); it asks for the side's period, so that the devices
                             // linked without a bridge run at the quantum the bridge will ask.
                             ? std::vector<std::string>{"PIPEWIRE_PROPS={ node.lock-quantum = "
                                                        "false node.latency = "
                                                        + std::to_string(side.config().period)
                                                        + "/"
                                                        + std::to_string(side.config().rate)
                                                        + " }"}
                             : std::vector<std::string>{});
    // Ready once its client runs: its ports exist a little before, and JACK connects only the
    // ports of active clients.
    const std::string log = side.logDir() + "/" + m_client + ".log";
    const double deadline = rawSeconds() + 15;
    while (!interrupted() && m_child->running() && rawSeconds() < deadline && !m_ok) {
        m_ok = readFile(log).find("ready") != std::string::npos;
        if (!m_ok)
            sleepSeconds(0.02);
    }
}

std::string ProbeProcess::port(bool output, int k) const
{
    return m_client + (output ? ":out_" : ":in_") + std::to_string(k);
}

BridgeProcesses startVeltrin(const BenchSide &a, const BenchSide &b, int channels,
                             const RigPrograms &programs, const std::string &tag)
{
    BridgeProcesses bridge;
    bridge.path = "Veltrin";
    const std::string name = "Bridge bench " + tag;
    const std::string send = uniqueName("vsend"), recv = uniqueName("vrecv");
    const Platform platform = a.config().platform;
    if (platform == Platform::PipeWireAlsa || platform == Platform::PipeWireDesktop) {
        // Through the stand-in card: the ALSA plug-in's "pipewire" device, or the card by name
        // from peers started as from a shell (the library path without pw-jack's directory).
        const bool desktop = platform == Platform::PipeWireDesktop;
        const std::vector<std::string> environment =
            desktop ? std::vector<std::string>{"LD_LIBRARY_PATH="} : std::vector<std::string>{};
        bridge.receiver = b.start({programs.peer, "recv", recv, std::to_string(b.config().period),
                                   std::to_string(b.config().rate), name,
                                   desktop ? kPipeWireSink : "pipewire"},
                                  "veltrin-recv-" + tag, environment);
        bridge.sender = a.start({programs.peer, "send", send, std::to_string(a.config().period),
                                 std::to_string(a.config().rate), name,
                                 desktop ? kPipeWireSource : "pipewire"},
                                "veltrin-send-" + tag, environment);
        bridge.inputs = waitForPorts(a, kPipeWireSource, JackPortIsInput, channels, false, 15);
        bridge.outputs = waitForPorts(b, kPipeWireSink, JackPortIsOutput, channels, false, 15);
        return bridge;
    }
    bridge.receiver = b.start({programs.peer, "recv", recv, std::to_string(b.config().period),
                               std::to_string(b.config().rate), name},
                              "veltrin-recv-" + tag);
    bridge.sender = a.start({programs.peer, "send", send, std::to_string(a.config().period),
                             std::to_string(a.config().rate), name},
                            "veltrin-send-" + tag);
    // PortAudio connects the device's ports once the stream runs.
    bridge.inputs = waitForPorts(a, send, JackPortIsInput, channels, true, 15);
    bridge.outputs = waitForPorts(b, recv, JackPortIsOutput, channels, true, 15);
    return bridge;
}

BridgeProcesses linkVirtualDevices(const BenchSide &side, int channels)
{
    BridgeProcesses bridge;
    bridge.path = "virtual devices linked";
    const auto captures =
        waitForPorts(side, kPipeWireSource, JackPortIsOutput, channels, false, 15);
    const auto playbacks = waitForPorts(side, kPipeWireSink, JackPortIsInput, channels, false, 15);
    bool ok = captures.size() == size_t(channels) && playbacks.size() == size_t(channels);
    for (int k = 0; ok && k < channels; ++k)
        ok = side.control().connect(captures[size_t(k)], playbacks[size_t(k)]);
    if (ok) {
        bridge.inputs = waitForPorts(side, kPipeWireSource, JackPortIsInput, channels, false, 15);
        bridge.outputs = waitForPorts(side, kPipeWireSink, JackPortIsOutput, channels, false, 15);
    }
    return bridge;
}

void unlinkVirtualDevices(const BenchSide &side, int channels)
{
    for (const auto &port :
         waitForPorts(side, kPipeWireSource, JackPortIsOutput, channels, false, 5))
        side.control().disconnectAll(port);
}

BridgeProcesses startZita(const BenchSide &a, const BenchSide &b, int channels, int buff,
                          const std::string &address, int udpPort, const std::string &tag)
{
    BridgeProcesses bridge;
    bridge.path = buff < 0 ? "zita default" : "zita --buff " + std::to_string(buff);
    std::string list;
    for (int c = 1; c <= channels; ++c)
        list += (c > 1 ? "," : "") + std::to_string(c);
    const std::string send = uniqueName("zj2n"), recv = uniqueName("zn2j");
    std::vector<std::string> n2j{"zita-n2j", "--jserv", b.server(), "--jname",
                                 recv,       "--chan",  list};
    if (buff >= 0) {
        n2j.push_back("--buff");
        n2j.push_back(std::to_string(buff));
    }
    n2j.push_back(address);
    n2j.push_back(std::to_string(udpPort));
    // zita-j2n (0.4.8) crashes when the graph's quantum changes while it starts, as it does on
    // a desktop's clock when a new client joins: there the quantum is pinned at the period while
    // zita runs (the caller releases it).
    if (a.config().platform == Platform::PipeWireDesktop)
        a.forceQuantum(a.config().period);
    bridge.receiver = b.start(n2j, "zita-n2j-" + tag);
    bridge.sender = a.start({"zita-j2n", "--jserv", a.server(), "--jname", send, "--chan",
                             std::to_string(channels), "--float", address, std::to_string(udpPort)},
                            "zita-j2n-" + tag);
    bridge.inputs = waitForPorts(a, send, JackPortIsInput, channels, false, 15);
    bridge.outputs = waitForPorts(b, recv, JackPortIsOutput, channels, false, 15);
    if (a.config().platform == Platform::PipeWireDesktop && bridge.ok()) {
        // Through the stand-in card, as Veltrin's peers go: the card's capture into zita-j2n,
        // zita-n2j into the card's playback, the probe on the card's other side.
        const auto captures = waitForPorts(a, kPipeWireSource, JackPortIsOutput, channels, false, 15);
        const auto playbacks = waitForPorts(b, kPipeWireSink, JackPortIsInput, channels, false, 15);
        bool ok = captures.size() == size_t(channels) && playbacks.size() == size_t(channels);
        for (int k = 0; ok && k < channels; ++k)
            ok = a.control().connect(captures[size_t(k)], bridge.inputs[size_t(k)])
                 && b.control().connect(bridge.outputs[size_t(k)], playbacks[size_t(k)]);
        bridge.inputs = ok ? waitForPorts(a, kPipeWireSource, JackPortIsInput, channels, false, 15)
                           : std::vector<std::string>{};
        bridge.outputs = waitForPorts(b, kPipeWireSink, JackPortIsOutput, channels, false, 15);
    }
    return bridge;
}

bool wire(ProbeProcess &emitter, ProbeProcess &listener, const BridgeProcesses &bridge)
{
    JackControl &a = emitter.side().control(), &b = listener.side().control();
    bool ok = bridge.ok();
    for (size_t k = 0; ok && k < bridge.inputs.size(); ++k) {
        a.disconnectAll(bridge.inputs[k]);
        b.disconnectAll(bridge.outputs[k]);
        ok = a.connect(emitter.port(true, int(k)), bridge.inputs[k])
             && b.connect(bridge.outputs[k], listener.port(false, int(k)));
    }
    return ok;
}

Measurement measure(ProbeProcess &emitter, ProbeProcess &listener, const BridgeProcesses &bridge,
                    double seconds, double warmup, const FaultPlan *fault)
{
    Measurement m;
    ProbeLog &heard = listener.log();
    heard.poll();
    const size_t before = heard.arrivals.size();
    const double deadline = rawSeconds() + 30;
    while (!interrupted() && heard.arrivals.size() < before + 3 && rawSeconds() < deadline) {
        sleepSeconds(0.05);
        heard.poll();
    }
    if (heard.arrivals.size() < before + 3)
        return m;
    sleepSeconds(warmup);
    if (interrupted())
        return m;

    const double start = rawSeconds();
    auto sample = [&](double at) {
        if (!bridge.sender || !bridge.receiver)
            return;
        if (const auto s = sampleProcess(bridge.sender->pid()))
            m.sender.add(at, *s);
        if (const auto s = sampleProcess(bridge.receiver->pid()))
            m.receiver.add(at, *s);
    };
    sample(0);
    double faultOn = -1, faultOff = -1; // when each command began
    double onMs = 0, offMs = 0;         // and how long it took
    auto runFault = [](const std::string &command, double &ms) {
        const double began = rawSeconds();
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "  the fault command failed: %s\n", command.c_str());
        ms = (rawSeconds() - began) * 1e3;
        return began;
    };
    for (int k = 1; !interrupted() && k <= static_cast<int>(std::ceil(seconds)); ++k) {
        const double due = start + std::min<double>(k, seconds);
        // A fault shorter than a second goes on and off between two samples.
        if (fault != nullptr && faultOn < 0 && start + fault->at <= due) {
            sleepSeconds(start + fault->at - rawSeconds());
            faultOn = runFault(fault->on, onMs);
        }
        if (fault != nullptr && faultOn >= 0 && faultOff < 0 && faultOn + fault->length <= due) {
            sleepSeconds(faultOn + fault->length - rawSeconds());
            faultOff = runFault(fault->off, offMs);
        }
        sleepSeconds(due - rawSeconds());
        sample(rawSeconds() - start);
        // Reading as it goes keeps each read short on long runs.
        emitter.log().poll();
        heard.poll();
    }
    // The network is never left faulted.
    if (faultOn >= 0 && faultOff < 0)
        faultOff = runFault(fault->off, offMs);
    // The window is as long as asked even when the last sample came late.
    const double end = interrupted() ? rawSeconds() : start + seconds;
    sleepSeconds(1.0); // the last impulses are still on their way
    emitter.log().poll();
    heard.poll();

    const Timeline timeline = place(emitter, listener, start, end);
    m.figures = analyse(timeline.recording, timeline.start, timeline.end);
    m.clocks = timeline.clocks;
    m.probeGapFrames = timeline.gapFrames;
    if (faultOn >= 0 && &emitter != &listener) {
        m.faulted = true;
        m.faultSeconds = faultOff - faultOn;
        m.faultOnMs = onMs;
        m.faultOffMs = offMs;
        m.fault = analyseFault(timeline.recording, m.figures, timeline.start, timeline.end,
                               FaultWindow{faultOn, faultOff, fault->settle});
    }
    auto share = [](const ResourceTrace &t) {
        return t.duration() > 0 ? (t.last().cpuSeconds - t.first().cpuSeconds) / t.duration() * 100
                                : 0.0;
    };
    m.cpuSend = share(m.sender);
    m.cpuRecv = share(m.receiver);
    return m;
}

} // namespace veltrin::bench
