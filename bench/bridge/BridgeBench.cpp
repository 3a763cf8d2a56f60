// Veltrin's bridge measured side by side with zita-njbridge on one JACK dummy server.
//
// For each period and channel count a private JACK dummy server is started, and one probe
// client (ImpulseProbe) feeds coded impulses and a tone into the bridge's capture side and times
// what its playback side gives back:
//   - Veltrin: process_input on the JACK device, the built-in NDI runtime over loopback,
//     process_output on the same server (two processes, veltrin_bridge_peer);
//   - zita-j2n -> zita-n2j over UDP on loopback, float samples, at zita-n2j's default buffer and
//     at the smallest --buff that loses no impulse outside xrun windows.
// Per run it prints latency (median, p99, spread), impulses lost inside and outside xrun
// windows, the longest silence after an xrun and the CPU time of each bridge process. It
// asserts nothing. Run it inside a private network namespace (scripts/bench-bridge.sh).
#include "ImpulseProbe.h"
#include "JackHarness.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <jack/jack.h>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;

struct Options {
    std::vector<int> periods{64, 256, 1024};
    std::vector<int> channels{64, 8, 2};
    double seconds = 20;       // measured time per run
    double searchSeconds = 10; // per trial of the zita --buff search
    double warmupSeconds = 3;  // after audio first comes back, before measuring
    double spacingMs = 50;     // between impulses
    int zitaBuffMax = 40;
    bool zita = true;
    bool search = true;
    std::string logDir = "/tmp/veltrin-bridge-bench";
};

// Set by SIGINT or SIGTERM: the runs end early and every child and server is stopped in order.
volatile std::sig_atomic_t g_interrupted = 0;

void interrupt(int)
{
    g_interrupted = 1;
}

void sleepSeconds(double s)
{
    const auto until = Clock::now() + std::chrono::duration<double>(s);
    while (!g_interrupted && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// A child process with its output in a log file, stopped by its PID when destroyed.
class Child
{
public:
    Child(const std::vector<std::string> &args, const std::string &log)
    {
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGINT);
        for (int i = 0; i < 250; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }

    // User plus system time of all its threads so far, from /proc.
    double cpuSeconds() const
    {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
        std::string line;
        std::getline(in, line);
        const auto paren = line.rfind(')');
        if (paren == std::string::npos)
            return 0;
        std::istringstream fields(line.substr(paren + 2));
        std::string field;
        double ticks = 0;
        for (int i = 0; i < 13 && fields >> field; ++i)
            if (i == 11 || i == 12) // utime, stime
                ticks += std::strtod(field.c_str(), nullptr);
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

private:
    pid_t m_pid = -1;
};

// Ports of `client` in one direction, in the order of the number that ends their names.
std::vector<std::string> clientPorts(jack_client_t *jack, const std::string &client,
                                     unsigned long flags)
{
    std::vector<std::string> names;
    if (const char **ports = jack_get_ports(jack, ("^" + client + ":").c_str(), nullptr, flags)) {
        for (const char **p = ports; *p != nullptr; ++p)
            names.emplace_back(*p);
        jack_free(ports);
    }
    auto number = [](const std::string &s) {
        const auto digits = s.find_last_not_of("0123456789");
        return std::atol(s.c_str() + digits + 1);
    };
    std::sort(names.begin(), names.end(),
              [&](const std::string &a, const std::string &b) { return number(a) < number(b); });
    return names;
}

// Waits until `client` has `count` ports in the direction, each connected somewhere if asked.
std::vector<std::string> waitForPorts(jack_client_t *jack, const std::string &client,
                                      unsigned long flags, int count, bool connected,
                                      double timeout)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    while (!g_interrupted && Clock::now() < deadline) {
        auto ports = clientPorts(jack, client, flags);
        bool ready = static_cast<int>(ports.size()) >= count;
        for (int k = 0; ready && connected && k < count; ++k)
            ready = jack_port_connected(jack_port_by_name(jack, ports[size_t(k)].c_str())) > 0;
        if (ready) {
            ports.resize(size_t(count));
            return ports;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

void disconnectAll(jack_client_t *jack, const std::string &port)
{
    jack_port_t *p = jack_port_by_name(jack, port.c_str());
    if (p == nullptr)
        return;
    if (const char **others = jack_port_get_all_connections(jack, p)) {
        for (const char **o = others; *o != nullptr; ++o) {
            if (jack_port_flags(p) & JackPortIsInput)
                jack_disconnect(jack, *o, port.c_str());
            else
                jack_disconnect(jack, port.c_str(), *o);
        }
        jack_free(others);
    }
}

// The probe feeds the bridge's inputs and hears its outputs, and nothing else.
bool wire(ImpulseProbe &probe, const std::vector<std::string> &inputs,
          const std::vector<std::string> &outputs)
{
    bool ok = !inputs.empty() && inputs.size() == outputs.size();
    for (size_t k = 0; ok && k < inputs.size(); ++k) {
        disconnectAll(probe.client(), inputs[k]);
        disconnectAll(probe.client(), outputs[k]);
        ok = jack_connect(probe.client(), probe.portName(true, int(k)).c_str(), inputs[k].c_str())
                 == 0
             && jack_connect(probe.client(), outputs[k].c_str(),
                             probe.portName(false, int(k)).c_str())
                    == 0;
    }
    return ok;
}

struct Result {
    std::string path;
    bool ran = false;
    int emitted = 0, lostInside = 0, lostOutside = 0, xruns = 0;
    double medianMs = 0, p99Ms = 0, spreadMs = 0;
    double xrunSilenceMs = 0;        // longest silence that began at an xrun
    double otherSilenceMs = 0;       // longest silence with no xrun near it
    double cpuSend = 0, cpuRecv = 0; // % of one core
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * double(v.size())));
    return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

// What the probe recorded between `start` and `end` (server frames). A latency is the delay from
// the probe's output to its input: a JACK connection between two clients adds none, and a bridge
// at least one period (what it captures in one cycle it can play in the next at the earliest).
Result analyse(const ImpulseProbe &probe, int64_t start, int64_t end)
{
    Result r;
    const double rate = probe.sampleRate(), period = probe.period();
    const double spacing = probe.spacingFrames();
    const auto emissions = probe.emissions();
    const auto arrivals = probe.arrivals();
    const auto xruns = probe.xruns();

    // Each arrival belongs to the latest earlier emission with its code.
    std::vector<double> delay(emissions.size(), -1);
    for (const Arrival &a : arrivals) {
        const int code = ImpulseProbe::codeOf(a.area);
        if (code < 0)
            continue;
        auto it = std::upper_bound(
            emissions.begin(), emissions.end(), a.frame,
            [](double f, const Emission &e) { return f < static_cast<double>(e.frame); });
        for (int back = 0; back < ImpulseProbe::kCodes && it != emissions.begin(); ++back) {
            --it;
            if (it->code == code) {
                auto &d = delay[size_t(it - emissions.begin())];
                if (d < 0)
                    d = a.frame - static_cast<double>(it->frame);
                break;
            }
        }
    }
    std::vector<size_t> inWindow;
    std::vector<double> delays;
    for (size_t i = 0; i < emissions.size(); ++i) {
        if (emissions[i].frame < start || emissions[i].frame > end)
            continue;
        inWindow.push_back(i);
        if (delay[i] >= 0)
            delays.push_back(delay[i]);
    }
    const double median = percentile(delays, 50);
    // A pulse cut by a gap decodes to a wrong code and lands a whole spacing or more away.
    std::vector<double> latencies;
    for (size_t i : inWindow) {
        if (delay[i] >= 0 && std::abs(delay[i] - median) > spacing / 2)
            delay[i] = -1;
        if (delay[i] >= 0)
            latencies.push_back(delay[i] / rate * 1e3);
    }
    r.emitted = static_cast<int>(inWindow.size());
    r.ran = !latencies.empty();
    r.medianMs = percentile(latencies, 50);
    r.p99Ms = percentile(latencies, 99);
    if (!latencies.empty())
        r.spreadMs = *std::max_element(latencies.begin(), latencies.end())
                     - *std::min_element(latencies.begin(), latencies.end());

    auto xrunWithin = [&](double from, double to) {
        return std::any_of(xruns.begin(), xruns.end(), [&](int64_t x) {
            return static_cast<double>(x) >= from && static_cast<double>(x) <= to;
        });
    };
    r.xruns = static_cast<int>(std::count_if(xruns.begin(), xruns.end(),
                                             [&](int64_t x) { return x >= start && x <= end; }));
    // A run of lost impulses belongs to an xrun window when it began at an xrun: one that came
    // while its first impulse was on the way, or during the spacing before it was sent.
    for (size_t j = 0; j < inWindow.size();) {
        if (delay[inWindow[j]] >= 0) {
            ++j;
            continue;
        }
        size_t k = j;
        while (k < inWindow.size() && delay[inWindow[k]] < 0)
            ++k;
        const auto first = static_cast<double>(emissions[inWindow[j]].frame);
        const bool atXrun = xrunWithin(first - spacing - 2 * period, first + median + 2 * period);
        (atXrun ? r.lostInside : r.lostOutside) += static_cast<int>(k - j);
        j = k;
    }
    for (const Silence &s : probe.silences()) {
        const auto at = static_cast<double>(s.start);
        if (at < static_cast<double>(start) + median || at > static_cast<double>(end))
            continue;
        const double ms = static_cast<double>(s.length) / rate * 1e3;
        double &longest = xrunWithin(at - median - 2 * period, at + 2 * period) ? r.xrunSilenceMs
                                                                                : r.otherSilenceMs;
        longest = std::max(longest, ms);
    }
    return r;
}

// Lets the bridge settle once audio comes back, then measures for `seconds`.
Result measure(ImpulseProbe &probe, const Options &o, double seconds, const Child *sender,
               const Child *receiver)
{
    const size_t before = probe.arrivals().size();
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!g_interrupted && probe.arrivals().size() < before + 3 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (probe.arrivals().size() < before + 3)
        return {};
    sleepSeconds(o.warmupSeconds);
    if (g_interrupted)
        return {};
    const int64_t start = probe.now();
    const auto wall0 = Clock::now();
    const double send0 = sender->cpuSeconds(), recv0 = receiver->cpuSeconds();
    sleepSeconds(seconds);
    const int64_t end = probe.now();
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double send1 = sender->cpuSeconds(), recv1 = receiver->cpuSeconds();
    sleepSeconds(1.0); // the last impulses are still on their way
    Result r = analyse(probe, start, end);
    r.cpuSend = (send1 - send0) / wall * 100;
    r.cpuRecv = (recv1 - recv0) / wall * 100;
    return r;
}

std::string logPath(const Options &o, const std::string &what)
{
    return o.logDir + "/" + what + ".log";
}

// JACK client names are shared by every server on the machine: ours carry the PID.
std::string clientName(const char *what)
{
    return std::string(what) + "-" + std::to_string(getpid());
}

Result runVeltrin(ImpulseProbe &probe, const Options &o, int period, int channels)
{
    const std::string tag = "p" + std::to_string(period) + "-c" + std::to_string(channels);
    const std::string frames = std::to_string(period), rate = std::to_string(kRate);
    const std::string name = "Bridge bench";
    const std::string send = clientName("vsend"), recv = clientName("vrecv");
    Child sender({VELTRIN_BRIDGE_PEER, "send", send, frames, rate, name},
                 logPath(o, "veltrin-send-" + tag));
    Child receiver({VELTRIN_BRIDGE_PEER, "recv", recv, frames, rate, name},
                   logPath(o, "veltrin-recv-" + tag));
    const auto inputs = waitForPorts(probe.client(), send, JackPortIsInput, channels, true, 15);
    const auto outputs = waitForPorts(probe.client(), recv, JackPortIsOutput, channels, true, 15);
    Result r;
    if (wire(probe, inputs, outputs))
        r = measure(probe, o, o.seconds, &sender, &receiver);
    else
        std::fprintf(stderr, "  Veltrin's ports did not appear (see %s)\n", o.logDir.c_str());
    r.path = "Veltrin";
    return r;
}

// buff < 0: zita-n2j's default buffer.
Result runZita(ImpulseProbe &probe, const Options &o, int period, int channels, int buff,
               double seconds)
{
    static int port = 41000;
    const std::string udp = std::to_string(port++);
    std::string list;
    for (int c = 1; c <= channels; ++c)
        list += (c > 1 ? "," : "") + std::to_string(c);
    const std::string tag = "p" + std::to_string(period) + "-c" + std::to_string(channels) + "-b"
                            + std::to_string(buff);
    const std::string send = clientName("zj2n"), recv = clientName("zn2j");
    std::vector<std::string> n2j{"zita-n2j", "--jname", recv, "--chan", list};
    if (buff >= 0) {
        n2j.push_back("--buff");
        n2j.push_back(std::to_string(buff));
    }
    n2j.push_back("127.0.0.1");
    n2j.push_back(udp);
    Child receiver(n2j, logPath(o, "zita-n2j-" + tag));
    Child sender({"zita-j2n", "--jname", send, "--chan", std::to_string(channels), "--float",
                  "127.0.0.1", udp},
                 logPath(o, "zita-j2n-" + tag));
    const auto inputs = waitForPorts(probe.client(), send, JackPortIsInput, channels, false, 15);
    const auto outputs = waitForPorts(probe.client(), recv, JackPortIsOutput, channels, false, 15);
    Result r;
    if (wire(probe, inputs, outputs))
        r = measure(probe, o, seconds, &sender, &receiver);
    else
        std::fprintf(stderr, "  zita's ports did not appear (see %s)\n", o.logDir.c_str());
    r.path = buff < 0 ? "zita default" : "zita --buff " + std::to_string(buff);
    return r;
}

bool safe(const Result &r)
{
    return r.ran && r.lostOutside == 0;
}

void printHeader()
{
    std::printf("| period | ch | path | median ms | p99 ms | spread ms | lost in/out xrun windows "
                "| impulses | xruns | longest silence after xrun ms | other silence ms "
                "| CPU send %% | CPU recv %% |\n");
    std::printf("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::fflush(stdout);
}

void printRow(int period, int channels, const Result &r)
{
    if (!r.ran) {
        std::printf("| %d | %d | %s | no audio came back | | | | | | | | | |\n", period, channels,
                    r.path.c_str());
    } else {
        std::printf("| %d | %d | %s | %.2f | %.2f | %.2f | %d / %d | %d | %d | %.1f | %.1f | "
                    "%.1f | %.1f |\n",
                    period, channels, r.path.c_str(), r.medianMs, r.p99Ms, r.spreadMs, r.lostInside,
                    r.lostOutside, r.emitted, r.xruns, r.xrunSilenceMs, r.otherSilenceMs, r.cpuSend,
                    r.cpuRecv);
    }
    std::fflush(stdout);
}

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
        } else if (a == "--no-search") {
            o.search = false;
        } else if (value == nullptr) {
            return std::nullopt;
        } else if (a == "--periods") {
            o.periods = parseList(argv[++i]);
        } else if (a == "--channels") {
            o.channels = parseList(argv[++i]);
        } else if (a == "--seconds") {
            o.seconds = std::atof(argv[++i]);
        } else if (a == "--search-seconds") {
            o.searchSeconds = std::atof(argv[++i]);
        } else if (a == "--warmup") {
            o.warmupSeconds = std::atof(argv[++i]);
        } else if (a == "--buff-max") {
            o.zitaBuffMax = std::atoi(argv[++i]);
        } else if (a == "--log-dir") {
            o.logDir = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    // The most demanding channel count first: the zita search runs on it.
    std::sort(o.channels.rbegin(), o.channels.rend());
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: %s [--periods 64,256,1024] [--channels 2,8,64] [--seconds 20]\n"
                     "       [--search-seconds 10] [--warmup 3] [--buff-max 40] [--no-search]\n"
                     "       [--no-zita] [--log-dir /tmp/veltrin-bridge-bench]\n",
                     argv[0]);
        return 2;
    }
    const Options &o = *options;
    mkdir(o.logDir.c_str(), 0755);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, interrupt);
    std::signal(SIGTERM, interrupt);
    std::vector<std::string> notes;
    printHeader();
    for (const int period : o.periods) {
        std::optional<int> safeBuff;
        for (const int channels : o.channels) {
            if (g_interrupted)
                break;
            std::fprintf(stderr, "period %d, %d channels\n", period, channels);
            JackServer server(kRate, period, channels, channels);
            if (!server.running()) {
                std::fprintf(stderr, "  no JACK server\n");
                continue;
            }
            // Room for an hour of events; a server lives for the runs of one channel count.
            const double recordSeconds = 3600;
            ImpulseProbe probe(clientName("probe"), channels, o.spacingMs / 1000, recordSeconds);
            if (!probe.ok()) {
                std::fprintf(stderr, "  the probe cannot join the JACK server\n");
                continue;
            }
            printRow(period, channels, runVeltrin(probe, o, period, channels));
            if (!o.zita)
                continue;
            const Result byDefault = runZita(probe, o, period, channels, -1, o.seconds);
            printRow(period, channels, byDefault);

            if (o.search && !safeBuff) {
                // Smallest --buff (ms) that loses nothing outside xrun windows, by bisection
                // between 0 and the first of 10, 20, 40 ... that loses nothing.
                // The default run already tried 10 ms, zita-n2j's default.
                int high = safe(byDefault) ? 10 : -1;
                for (int b = 20; high < 0 && !g_interrupted && b <= o.zitaBuffMax; b *= 2) {
                    const Result t = runZita(probe, o, period, channels, b, o.searchSeconds);
                    std::fprintf(stderr, "  --buff %d: lost %d outside\n", b, t.lostOutside);
                    if (safe(t))
                        high = b;
                }
                int low = 0;
                while (high >= 0 && low < high && !g_interrupted) {
                    const int mid = (low + high) / 2;
                    const Result t = runZita(probe, o, period, channels, mid, o.searchSeconds);
                    std::fprintf(stderr, "  --buff %d: lost %d outside\n", mid, t.lostOutside);
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
                Result r = runZita(probe, o, period, channels, *safeBuff, o.seconds);
                for (int bump = 0; bump < 2 && r.ran && !safe(r); ++bump) {
                    printRow(period, channels, r);
                    r = runZita(probe, o, period, channels, ++*safeBuff, o.seconds);
                }
                printRow(period, channels, r);
            }
        }
    }
    std::printf("\n");
    for (const auto &n : notes)
        std::printf("%s\n", n.c_str());
    return 0;
}
