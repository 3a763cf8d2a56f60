// Veltrin's bridge measured side by side with zita-njbridge on private JACK dummy servers.
//
// One clock (the default): for each period and channel count one server carries both sides,
// and one probe feeds coded impulses and a tone into the bridge's capture side and times what
// its playback side gives back, on the server's frame clock.
// Two clocks (--clocks two): the sender runs on server A, the receiver on server B, each
// server with a probe of its own; A runs --ppm fast (or slow, when negative), B at --rate-b.
// Latency is arrival time at B minus emission time at A on CLOCK_MONOTONIC_RAW.
// PipeWire (--platform pipewire-jack or pipewire-alsa, one clock): a private PipeWire instead of
// the JACK server, its quantum the period, its devices reached through PipeWire's libjack or its
// ALSA plug-in (BenchRig.h); the probe is a client of PipeWire's libjack, so the benchmark runs
// under pw-jack.
//   - Veltrin: process_input on A's JACK device, the built-in NDI runtime over loopback,
//     process_output on B's (two processes, veltrin_bridge_peer);
//   - zita-j2n -> zita-n2j over UDP, float samples, at zita-n2j's default buffer and (one
//     clock, unless --no-search; two clocks, with --search) at the smallest --buff that loses
//     no impulse outside xrun windows.
// Per run it prints latency (median, p99, spread), impulses lost and tone discontinuities inside
// and outside xrun windows, the longest silences and the CPU time of each bridge process; then,
// per run, the clocks' real rates, the median latency per 10 s and per minute, and each bridge
// process's memory, descriptors and threads at the start, after a minute and at the end.
// With --fault NAME (two clocks, each side in a network namespace of its own): a fault on the
// path between the sides, switched on --fault-at seconds into each measurement by the shell
// command --fault-on and off --fault-seconds later by --fault-off, then --fault-tail seconds
// measured after; one row per bridge of the fault's figures (scripts/bench-faults.sh --rig
// jack sets it up).
// It asserts nothing. Run it inside a private network namespace (scripts/bench-bridge.sh).
#include "BenchRig.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace veltrin::bench;

namespace {

struct Options {
    bool twoClocks = false;
    Platform platform = Platform::JackDummy;
    std::vector<int> periods{64, 256, 1024};
    std::vector<int> channels{64, 8, 2};
    int rate = 48000;          // the one server, or server A
    int rateB = 0;             // server B; 0: as A
    double ppm = 0;            // server A's clock against its nominal rate
    double seconds = 20;       // measured time per run
    double searchSeconds = 10; // per trial of the zita --buff search
    double warmupSeconds = 3;  // after audio first comes back, before measuring
    double spacingMs = 50;     // between impulses
    int zitaBuffMax = 40;
    bool veltrin = true;
    bool zita = true;
    std::optional<bool> search;
    std::string netnsA, netnsB;
    std::string zitaAddress = "127.0.0.1"; // where zita-n2j listens, as seen from side A
    std::string logDir = "/tmp/veltrin-bridge-bench";
    std::string fault; // the fault's name in the table; empty: no fault
    FaultPlan faultPlan;
    double faultTail = 10; // measured after the fault's end
};

// After the path in the table, by platform.
const char *const kPathSuffix[] = {"", " on PipeWire's JACK", " on PipeWire's ALSA",
                                   " on a desktop's PipeWire"};

const RigPrograms kPrograms{VELTRIN_BRIDGE_PROBE, VELTRIN_BRIDGE_PEER, VELTRIN_JACK_SKEW};

// Everything one row of the table stands for.
struct Run {
    int period = 0, channels = 0;
    std::string path;
    Measurement m;
};

std::string format(const char *pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

void printHeader(const Options &o)
{
    if (!o.fault.empty())
        std::printf("| case | ch | path | fault s | silences (no xrun near) "
                    "| longest silence ms (no xrun near) | lost in/out xrun windows "
                    "| latency before ms | latency after ms "
                    "| audio back | back after fault ms | xruns | CPU send / recv %% |\n"
                    "|---|---:|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|\n");
    else if (o.twoClocks)
        std::printf("| period | ch | A ppm | B rate | path | median ms | p99 ms | spread ms "
                    "| lost in/out xrun windows | discontinuities in/out | impulses | xruns "
                    "| longest silence after xrun ms | other silence ms | CPU send %% "
                    "| CPU recv %% |\n"
                    "|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
                    "---:|\n");
    else
        std::printf("| period | ch | path | median ms | p99 ms | spread ms "
                    "| lost in/out xrun windows | discontinuities in/out | impulses | xruns "
                    "| longest silence after xrun ms | other silence ms | CPU send %% "
                    "| CPU recv %% |\n"
                    "|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::fflush(stdout);
}

std::string milliseconds(double ms)
{
    return ms < 0 ? "-" : format("%.2f", ms);
}

void printFaultRow(const Options &o, const Run &run)
{
    std::printf("| %s | %d | %s | ", o.fault.c_str(), run.channels, run.path.c_str());
    const Measurement &m = run.m;
    if (!m.figures.ran || !m.faulted) {
        std::printf("no audio came back | | | | | | | | | |\n");
    } else {
        const FaultFigures &f = m.fault;
        std::printf(
            "%.1f | %d (%d) | %.1f (%.1f) | %d / %d | %s | %s | %s | %s | %d | %.1f / %.1f |\n",
            m.faultSeconds, f.silences, f.otherSilences, f.longestSilenceMs, f.longestOtherMs,
            f.lostInside, f.lostOutside, milliseconds(f.medianBeforeMs).c_str(),
            milliseconds(f.medianAfterMs).c_str(), f.audioBack ? "yes" : "no",
            f.audioBack ? format("%.0f", f.backMs).c_str() : "-", m.figures.xruns, m.cpuSend,
            m.cpuRecv);
    }
    std::fflush(stdout);
}

void printRow(const Options &o, const Run &run)
{
    if (!o.fault.empty()) {
        printFaultRow(o, run);
        return;
    }
    std::printf("| %d | %d | ", run.period, run.channels);
    if (o.twoClocks)
        std::printf("%+g | %d | ", o.ppm, o.rateB);
    const Figures &f = run.m.figures;
    if (!f.ran) {
        std::printf("%s | no audio came back | | | | | | | | | |\n", run.path.c_str());
    } else {
        std::printf("%s | %.2f | %.2f | %.2f | %d / %d | %d / %d | %d | %d | %.1f | %.1f | %.1f | "
                    "%.1f |\n",
                    run.path.c_str(), f.medianMs, f.p99Ms, f.spreadMs, f.lostInside, f.lostOutside,
                    f.discontinuitiesInside, f.discontinuitiesOutside, f.emitted, f.xruns,
                    f.xrunSilenceMs, f.otherSilenceMs, run.m.cpuSend, run.m.cpuRecv);
    }
    std::fflush(stdout);
}

std::string medians(const std::vector<LatencyWindow> &windows)
{
    std::string out;
    for (const auto &w : windows)
        out += (out.empty() ? "" : " ") + (w.count > 0 ? format("%.2f", w.medianMs) : "-");
    return out.empty() ? "-" : out;
}

std::string resources(const char *who, const ResourceTrace &trace)
{
    if (trace.empty())
        return std::string(who) + " not sampled";
    const ProcessSample s = trace.first(), l = trace.last();
    const bool minute = trace.duration() >= 60;
    const ProcessSample m = minute ? trace.at(60) : l;
    std::ostringstream out;
    auto three = [&](auto field, const char *pattern) {
        std::string text = format(pattern, double(field(s)));
        if (minute)
            text += " / " + format(pattern, double(field(m)));
        return text + " / " + format(pattern, double(field(l)));
    };
    out << who << " RSS " << three([](const ProcessSample &p) { return p.rssMb; }, "%.1f")
        << " MB, fds " << three([](const ProcessSample &p) { return p.fds; }, "%.0f")
        << ", threads " << three([](const ProcessSample &p) { return p.threads; }, "%.0f");
    return out.str();
}

// The lines under the table for one run.
std::string details(const Options &o, const Run &run)
{
    const Measurement &m = run.m;
    std::ostringstream out;
    out << "- " << run.period << " frames, " << run.channels << " ch";
    if (o.twoClocks)
        out << ", A " << format("%+g", o.ppm) << " ppm, B " << o.rateB << " Hz";
    out << ", " << run.path << ":\n";
    if (!m.figures.ran)
        return out.str() + "  no audio came back\n";
    if (o.twoClocks) {
        const ClockReport &c = m.clocks;
        out << "  clocks: A " << format("%.3f", c.rateA) << " Hz ("
            << format("%+.1f", (c.rateA / o.rate - 1) * 1e6) << " ppm), B "
            << format("%.3f", c.rateB) << " Hz (" << format("%+.1f", (c.rateB / o.rateB - 1) * 1e6)
            << " ppm) between xruns; " << format("%.1f", c.framesPerSecondA) << " and "
            << format("%.1f", c.framesPerSecondB) << " frames/s over the run; " << c.segmentsA
            << " and " << c.segmentsB << " stretches";
        if (c.phase >= 0)
            out << "; B's cycles start " << format("%.2f", c.phase) << " period after A's";
        out << "\n";
    }
    if (m.faulted) {
        out << "  fault " << format("%.2f", m.faultSeconds) << " s (its commands took "
            << format("%.0f", m.faultOnMs) << " and " << format("%.0f", m.faultOffMs)
            << " ms); silences from its start to " << format("%g", o.faultPlan.settle)
            << " s after its end (s after its start + ms):";
        const size_t shown = std::min<size_t>(m.fault.window.size(), 12);
        for (size_t i = 0; i < shown; ++i)
            out << " " << format("%.3f", m.fault.window[i].time) << "+"
                << format("%.1f", m.fault.window[i].length * 1e3);
        if (m.fault.window.size() > shown)
            out << " and " << m.fault.window.size() - shown << " more";
        out << (m.fault.window.empty() ? " none\n" : "\n");
    }
    if (m.probeGapFrames > 0)
        out << "  the probes missed " << m.probeGapFrames << " frames\n";
    out << "  median latency per 10 s (ms): " << medians(m.figures.tenSeconds) << "\n";
    if (m.figures.minutes.size() > 1)
        out << "  per minute (ms): " << medians(m.figures.minutes) << "\n";
    out << "  " << resources("sender", m.sender) << "; " << resources("receiver", m.receiver)
        << (m.sender.duration() >= 60 ? " (start / 1 min / end)\n" : " (start / end)\n");
    return out.str();
}

void saveLatencies(const Options &o, const std::string &tag, const Run &run)
{
    std::string name = run.path;
    for (char &c : name)
        if (c == ' ' || c == '-')
            c = '_';
    const std::string path = o.logDir + "/" + tag + "-" + name + "-latency.csv";
    if (std::FILE *f = std::fopen(path.c_str(), "w")) {
        std::fprintf(f, "seconds,latency_ms\n");
        const Figures &fig = run.m.figures;
        const double t0 = fig.latencyTimes.empty() ? 0 : fig.latencyTimes.front();
        for (size_t i = 0; i < fig.latencyTimes.size(); ++i)
            std::fprintf(f, "%.6f,%.4f\n", fig.latencyTimes[i] - t0, fig.latenciesMs[i]);
        std::fclose(f);
    }
}

bool safe(const Run &r)
{
    return r.m.figures.ran && r.m.figures.lostOutside == 0;
}

// The sides, probes and bridges of one period and channel count.
class Case
{
public:
    Case(const Options &o, int period, int channels)
        : m_o(o), m_period(period), m_channels(channels)
    {
        m_tag = "p" + std::to_string(period) + "-c" + std::to_string(channels);
        SideConfig a;
        a.label = "A";
        a.rate = o.rate;
        a.period = period;
        a.channels = channels;
        a.netns = o.netnsA;
        a.platform = o.platform;
        if (o.twoClocks) {
            a.ppm = o.ppm;
            SideConfig b = a;
            b.label = "B";
            b.rate = o.rateB;
            b.ppm = 0;
            b.netns = o.netnsB;
            m_a = std::make_unique<BenchSide>(a, kPrograms, o.logDir);
            m_b = std::make_unique<BenchSide>(b, kPrograms, o.logDir);
        } else {
            a.label = "one";
            m_a = std::make_unique<BenchSide>(a, kPrograms, o.logDir);
        }
        if (!m_a->ok() || (m_b && !m_b->ok())) {
            std::fprintf(stderr, "  no JACK server (see %s)\n", o.logDir.c_str());
            return;
        }
        const double spacing = o.spacingMs / 1000;
        if (m_b) {
            m_emitter = std::make_unique<ProbeProcess>(*m_a, ProbeProcess::Role::Emit, channels,
                                                       spacing, kPrograms);
            m_listener = std::make_unique<ProbeProcess>(*m_b, ProbeProcess::Role::Listen, channels,
                                                        spacing, kPrograms);
        } else {
            m_emitter = std::make_unique<ProbeProcess>(*m_a, ProbeProcess::Role::Both, channels,
                                                       spacing, kPrograms);
        }
        if (!m_emitter->ok() || (m_listener && !m_listener->ok()))
            std::fprintf(stderr, "  a probe did not start (see %s)\n", o.logDir.c_str());
    }

    bool ok() const
    {
        return m_emitter && m_emitter->ok() && (!m_b || (m_listener && m_listener->ok()));
    }

    // The link goes once measured, or it would add the probe's signal to what Veltrin plays.
    Run virtualDevices()
    {
        // What the devices add by themselves is steady: half a minute tells it.
        Run r = run(linkVirtualDevices(*m_a, m_channels), std::min(m_o.seconds, 30.0));
        unlinkVirtualDevices(*m_a, m_channels);
        return r;
    }

    Run veltrin()
    {
        return run(startVeltrin(*m_a, side(), m_channels, kPrograms, m_tag), m_o.seconds);
    }

    Run zita(int buff, double seconds)
    {
        static int udpPort = 41000;
        Run r = run(startZita(*m_a, side(), m_channels, buff, m_o.zitaAddress, udpPort++,
                              m_tag + "-b" + std::to_string(buff)),
                    seconds);
        if (m_o.platform == Platform::PipeWireDesktop)
            m_a->forceQuantum(0); // pinned for zita only
        return r;
    }

private:
    const BenchSide &side() const { return m_b ? *m_b : *m_a; }

    Run run(BridgeProcesses bridge, double seconds)
    {
        Run r;
        r.period = m_period;
        r.channels = m_channels;
        r.path = bridge.path + kPathSuffix[static_cast<int>(m_o.platform)];
        ProbeProcess &listener = m_listener ? *m_listener : *m_emitter;
        if (wire(*m_emitter, listener, bridge))
            r.m = measure(*m_emitter, listener, bridge, seconds, m_o.warmupSeconds,
                          m_o.fault.empty() ? nullptr : &m_o.faultPlan);
        else
            std::fprintf(stderr, "  %s's ports did not appear (see %s)\n", r.path.c_str(),
                         m_o.logDir.c_str());
        saveLatencies(m_o, m_tag, r);
        return r;
    }

    const Options &m_o;
    int m_period, m_channels;
    std::string m_tag;
    std::unique_ptr<BenchSide> m_a, m_b;
    std::unique_ptr<ProbeProcess> m_emitter, m_listener;
};

std::vector<int> parseList(const char *text)
{
    std::vector<int> values;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        values.push_back(std::atoi(item.c_str()));
    return values;
}

std::optional<Options> parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--no-zita") {
            o.zita = false;
        } else if (a == "--no-veltrin") {
            o.veltrin = false;
        } else if (a == "--no-search") {
            o.search = false;
        } else if (a == "--search") {
            o.search = true;
        } else if (value == nullptr) {
            return std::nullopt;
        } else if (a == "--clocks") {
            const std::string clocks = argv[++i];
            if (clocks != "one" && clocks != "two")
                return std::nullopt;
            o.twoClocks = clocks == "two";
        } else if (a == "--platform") {
            const std::string platform = argv[++i];
            if (platform == "jack")
                o.platform = Platform::JackDummy;
            else if (platform == "pipewire-jack")
                o.platform = Platform::PipeWireJack;
            else if (platform == "pipewire-alsa")
                o.platform = Platform::PipeWireAlsa;
            else if (platform == "pipewire-desktop")
                o.platform = Platform::PipeWireDesktop;
            else
                return std::nullopt;
        } else if (a == "--spacing-ms") {
            o.spacingMs = std::atof(argv[++i]);
        } else if (a == "--periods") {
            o.periods = parseList(argv[++i]);
        } else if (a == "--channels") {
            o.channels = parseList(argv[++i]);
        } else if (a == "--rate") {
            o.rate = std::atoi(argv[++i]);
        } else if (a == "--rate-b") {
            o.rateB = std::atoi(argv[++i]);
        } else if (a == "--ppm") {
            o.ppm = std::atof(argv[++i]);
        } else if (a == "--seconds") {
            o.seconds = std::atof(argv[++i]);
        } else if (a == "--search-seconds") {
            o.searchSeconds = std::atof(argv[++i]);
        } else if (a == "--warmup") {
            o.warmupSeconds = std::atof(argv[++i]);
        } else if (a == "--buff-max") {
            o.zitaBuffMax = std::atoi(argv[++i]);
        } else if (a == "--netns-a") {
            o.netnsA = argv[++i];
        } else if (a == "--netns-b") {
            o.netnsB = argv[++i];
        } else if (a == "--zita-address") {
            o.zitaAddress = argv[++i];
        } else if (a == "--log-dir") {
            o.logDir = argv[++i];
        } else if (a == "--fault") {
            o.fault = argv[++i];
        } else if (a == "--fault-on") {
            o.faultPlan.on = argv[++i];
        } else if (a == "--fault-off") {
            o.faultPlan.off = argv[++i];
        } else if (a == "--fault-at") {
            o.faultPlan.at = std::atof(argv[++i]);
        } else if (a == "--fault-seconds") {
            o.faultPlan.length = std::atof(argv[++i]);
        } else if (a == "--fault-tail") {
            o.faultTail = std::atof(argv[++i]);
        } else {
            return std::nullopt;
        }
    }
    if (o.rateB == 0)
        o.rateB = o.rate;
    if (!o.twoClocks && (o.ppm != 0 || o.rateB != o.rate || !o.netnsB.empty()))
        return std::nullopt; // those need a second server
    if (o.platform != Platform::JackDummy && (o.twoClocks || !o.netnsA.empty()))
        return std::nullopt; // one PipeWire in the benchmark's own namespace
    if (!o.fault.empty()) {
        // A fault is timed on the two-clock timeline, between namespaces, with no search.
        if (!o.twoClocks || o.netnsA.empty() || o.netnsB.empty() || o.faultPlan.on.empty()
            || o.faultPlan.off.empty())
            return std::nullopt;
        o.search = false;
        o.seconds = o.faultPlan.at + o.faultPlan.length + o.faultTail;
    }
    if (!o.search)
        o.search = !o.twoClocks;
    // The most demanding channel count first: the zita search runs on it.
    std::sort(o.channels.rbegin(), o.channels.rend());
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(
            stderr,
            "usage: %s [--clocks one|two] [--platform jack|pipewire-jack|pipewire-alsa|pipewire-desktop]\n"
            "       [--periods 64,256,1024] [--channels 2,8,64]\n"
            "       [--seconds 20] [--warmup 3] [--rate 48000] [--no-veltrin] [--no-zita]\n"
            "       [--spacing-ms 50] (impulses further than half of it from the median count "
            "as lost)\n"
            "       [--search | --no-search] [--search-seconds 10] [--buff-max 40]\n"
            "       [--netns-a NS] [--zita-address 127.0.0.1] [--log-dir "
            "/tmp/veltrin-bridge-bench]\n"
            "  two clocks only: [--ppm 0] (server A's offset, either sign) [--rate-b 48000]\n"
            "       [--netns-b NS]\n"
            "       [--fault NAME --fault-on CMD --fault-off CMD] [--fault-at 10]\n"
            "       [--fault-seconds 0] [--fault-tail 10] (with --netns-a and --netns-b)\n",
            argv[0]);
        return 2;
    }
    const Options &o = *options;
    mkdir(o.logDir.c_str(), 0755);
    installInterruptHandlers();
    std::vector<std::string> notes, lines;
    printHeader(o);
    auto report = [&](const Run &r) {
        printRow(o, r);
        lines.push_back(details(o, r));
    };
    for (const int period : o.periods) {
        std::optional<int> safeBuff;
        for (const int channels : o.channels) {
            if (interrupted())
                break;
            std::fprintf(stderr, "period %d, %d channels\n", period, channels);
            Case c(o, period, channels);
            if (!c.ok())
                continue;
            if (o.platform == Platform::PipeWireAlsa || o.platform == Platform::PipeWireDesktop)
                report(c.virtualDevices());
            if (o.veltrin)
                report(c.veltrin());
            if (!o.zita || interrupted())
                continue;
            const Run byDefault = c.zita(-1, o.seconds);
            report(byDefault);

            if (*o.search && !safeBuff) {
                // Smallest --buff (ms) that loses nothing outside xrun windows, by bisection
                // between 0 and the first of 10, 20, 40 ... that loses nothing.
                // The default run already tried 10 ms, zita-n2j's default.
                int high = safe(byDefault) ? 10 : -1;
                for (int b = 20; high < 0 && !interrupted() && b <= o.zitaBuffMax; b *= 2) {
                    const Run t = c.zita(b, o.searchSeconds);
                    std::fprintf(stderr, "  --buff %d: lost %d outside\n", b,
                                 t.m.figures.lostOutside);
                    if (safe(t))
                        high = b;
                }
                int low = 0;
                while (high >= 0 && low < high && !interrupted()) {
                    const int mid = (low + high) / 2;
                    const Run t = c.zita(mid, o.searchSeconds);
                    std::fprintf(stderr, "  --buff %d: lost %d outside\n", mid,
                                 t.m.figures.lostOutside);
                    if (safe(t))
                        high = mid;
                    else
                        low = mid + 1;
                }
                if (high >= 0)
                    safeBuff = high;
                else
                    notes.push_back("period " + std::to_string(period) + ": no --buff up to "
                                    + std::to_string(o.zitaBuffMax) + " ms was safe");
            }
            if (safeBuff) {
                // A longer run may show losses the trial missed: then the next millisecond.
                Run r = c.zita(*safeBuff, o.seconds);
                for (int bump = 0; bump < 2 && r.m.figures.ran && !safe(r); ++bump) {
                    report(r);
                    r = c.zita(++*safeBuff, o.seconds);
                }
                report(r);
            }
        }
    }
    std::printf("\n");
    for (const auto &l : lines)
        std::printf("%s", l.c_str());
    for (const auto &n : notes)
        std::printf("%s\n", n.c_str());
    return 0;
}
