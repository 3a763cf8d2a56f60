// A hostile neighbour on the link: a flooder process announces RATE new, distinct sources a
// second (one multicast DNS response per source: PTR, SRV, TXT and A of a host of its own)
// while a browsing process runs the program's own discovery thread (NDIScan on the built-in
// runtime, as the window has it). Real sources come up during the flood, each in a process of
// its own; the browser reports when it first publishes each one.
//
// Every second it prints the browser's resident memory and CPU share (from /proc), the size of
// the last list NDIScan published, and how many lists and names it published in that second.
// Run it in a namespace of its own, as every test runs, so nothing reaches a real network:
//
//   scripts/netns-run build/bench/discovery/veltrin_flood_bench [RATE] [SECONDS]
//
// Prints figures and asserts nothing.

#include "BenchProcess.h"
#include "Discovery.h"
#include "DnsMessage.h"
#include "NDIScan.h"
#include "Responder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace veltrin::rt;
using Clock = std::chrono::steady_clock;

namespace {

// --- the flooder -----------------------------------------------------------------------------

// What a responder says for source n, with an address and a host of its own: the product's
// own announcement (PTR, SRV, TXT and A).
DnsMessage floodAnnouncement(uint64_t n)
{
    const std::string label = "FLOOD " + std::to_string(n);
    in_addr address{};
    address.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(n & 0xFFFF));
    Responder responder;
    responder.add(0, {"FLOODER (" + label + ")", "flood-" + std::to_string(n), 5961, {}},
                  Clock::now());
    return responder.due({{1, {1, "lo", {address}, true}}}, Clock::now()).at(0).second;
}

int flood(double rate, double seconds)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(5353); // responses count only when they come from the mDNS port
    if (bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        std::perror("flooder: bind 5353");
        return 1;
    }
    ip_mreqn itf{};
    itf.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &itf, sizeof itf);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(5353);
    group.sin_addr.s_addr = inet_addr("224.0.0.251");

    // Paced on an absolute schedule in 1 ms slices, so a late slice is made up.
    const auto start = Clock::now();
    uint64_t sent = 0, failed = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= seconds)
            break;
        const auto due = static_cast<uint64_t>(elapsed * rate);
        for (; sent + failed < due;) {
            const auto bytes = writeDnsMessage(floodAnnouncement(sent + failed));
            if (bytes
                && sendto(fd, bytes->data(), bytes->size(), 0, reinterpret_cast<sockaddr *>(&group),
                          sizeof group)
                       == static_cast<ssize_t>(bytes->size()))
                ++sent;
            else
                ++failed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("flooder: %llu announcements sent, %llu failed, in %.1f s\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(failed),
                std::chrono::duration<double>(Clock::now() - start).count());
    close(fd);
    return 0;
}

// --- the browser -----------------------------------------------------------------------------

// The steady clock is CLOCK_MONOTONIC: one time line for every process of the machine.
double monotonicSeconds()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// NDIScan on the built-in runtime; one line a second on standard output:
//   STAT <seconds> <list size> <lists published> <names published>
//   FOUND <monotonic seconds> <name>   the first published list that holds a watched name
int browse(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    NDIScan scan;
    QStringList last;
    long long lists = 0, names = 0;
    QElapsedTimer clock;
    clock.start();
    std::map<QString, bool> watched; // name -> reported
    QObject::connect(&scan, &NDIScan::ndiDeviceChange, &app, [&](const QStringList &list) {
        last = list;
        ++lists;
        names += list.size();
        for (auto &[name, reported] : watched) {
            if (!reported && list.contains(name)) {
                reported = true;
                std::printf("FOUND %.3f %s\n", monotonicSeconds(), qPrintable(name));
                std::fflush(stdout);
            }
        }
    });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &app, [&] {
        std::printf("STAT %.3f %d %lld %lld\n", clock.elapsed() / 1000.0,
                    static_cast<int>(last.size()), lists, names);
        std::fflush(stdout);
        lists = names = 0;
    });
    tick.start(1000);
    // Standard input names the sources to watch for, one a line; its end ends the program.
    QTimer input;
    std::string pending;
    QObject::connect(&input, &QTimer::timeout, &app, [&] {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        while (poll(&in, 1, 0) > 0) {
            char buffer[256];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                app.quit();
                return;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                watched[QString::fromStdString(pending.substr(0, eol))] = false;
                pending.erase(0, eol + 1);
            }
        }
    });
    input.start(20);
    scan.startThread();
    const int result = app.exec();
    scan.stopThread();
    return result;
}

int announce(const char *name)
{
    DiscoveryConfig config;
    config.machineName = "real";
    Announcer announcer(config, sourceName(config, name), 5961);
    std::printf("ANNOUNCING\n");
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

// --- the conductor ---------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
};

Child spawnSelf(std::vector<std::string> args)
{
    int toChild[2], fromChild[2];
    // Close-on-exec, so that no other child holds a pipe end open (dup2 clears the flag on
    // the child's own standard input and output).
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    args.insert(args.begin(), "/proc/self/exe");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    if (posix_spawn(&child.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    child.in = toChild[1];
    child.out = fromChild[0];
    return child;
}

void finish(Child &child)
{
    if (child.pid <= 0)
        return;
    close(child.in);
    int status = 0;
    for (int i = 0; i < 50 && waitpid(child.pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(child.pid, &status, WNOHANG) == 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &status, 0);
    }
    close(child.out);
    child.pid = -1;
}

// Lines the child has written so far (non-blocking).
std::vector<std::string> readLines(Child &child, std::string &buffer)
{
    std::vector<std::string> lines;
    pollfd out{child.out, POLLIN, 0};
    while (poll(&out, 1, 0) > 0) {
        char chunk[4096];
        const ssize_t n = read(child.out, chunk, sizeof chunk);
        if (n <= 0)
            break;
        buffer.append(chunk, static_cast<size_t>(n));
    }
    for (size_t eol; (eol = buffer.find('\n')) != std::string::npos;) {
        lines.push_back(buffer.substr(0, eol));
        buffer.erase(0, eol + 1);
    }
    return lines;
}

// The browser's resident memory (kB) and CPU time (s) so far; zeros once it has gone.
std::pair<long, double> cost(pid_t pid)
{
    const auto sample = veltrin::bench::sampleProcess(pid);
    return sample ? std::make_pair(long(sample->rssMb * 1024), sample->cpuSeconds)
                  : std::make_pair(-1L, 0.0);
}

int conduct(double rate, double seconds)
{
    std::printf("Flood of %.0f distinct sources a second for %.0f s; real sources at 5 s, a third "
                "and two thirds of the flood, and 5 s after it.\n",
                rate, seconds);
    Child browser = spawnSelf({"--browse"});
    std::string browserBuffer;
    std::this_thread::sleep_for(std::chrono::seconds(2)); // browsing before the flood starts
    const auto floodStart = Clock::now();
    Child flooder = spawnSelf({"--flood", std::to_string(rate), std::to_string(seconds)});

    const std::vector<double> realAt = {5, seconds / 3, 2 * seconds / 3, seconds + 5};
    std::vector<Child> reals;
    std::map<std::string, double> startedAt, foundAt;
    double lastCpu = cost(browser.pid).second;
    long peakKb = 0;
    std::printf("\n%6s %10s %8s %10s %12s\n", "t (s)", "RSS (MB)", "CPU %", "list size", "names/s");
    const double total = seconds + 15;
    for (int second = 1; second <= static_cast<int>(total); ++second) {
        std::this_thread::sleep_until(floodStart + std::chrono::seconds(second));
        const double t = std::chrono::duration<double>(Clock::now() - floodStart).count();
        for (size_t i = 0; i < realAt.size(); ++i) {
            const std::string name = "Real " + std::to_string(i + 1);
            DiscoveryConfig real;
            real.machineName = "real";
            const std::string full = sourceName(real, name);
            if (t >= realAt[i] && !startedAt.count(full)) {
                const std::string line = full + "\n";
                [[maybe_unused]] const auto n = write(browser.in, line.data(), line.size());
                reals.push_back(spawnSelf({"--announce", name}));
                startedAt[full] = monotonicSeconds();
            }
        }
        int listSize = -1;
        long long names = -1;
        for (const std::string &line : readLines(browser, browserBuffer)) {
            char what[16] = {};
            double at = 0;
            int size = 0;
            long long lists = 0, count = 0;
            if (std::sscanf(line.c_str(), "STAT %lf %d %lld %lld", &at, &size, &lists, &count)
                == 4) {
                listSize = size;
                names = count;
            } else if (std::sscanf(line.c_str(), "%15s %lf", what, &at) == 2
                       && std::string(what) == "FOUND") {
                const std::string name = line.substr(line.find(' ', 6) + 1);
                foundAt[name] = at;
            }
        }
        const auto [kb, cpu] = cost(browser.pid);
        peakKb = std::max(peakKb, kb);
        std::printf("%6.0f %10.1f %8.1f %10d %12lld\n", t, kb / 1024.0, 100.0 * (cpu - lastCpu),
                    listSize, names);
        std::fflush(stdout);
        lastCpu = cpu;
    }
    finish(flooder);
    for (Child &c : reals)
        finish(c);
    finish(browser);

    std::printf("\nPeak RSS of the browsing process: %.1f MB\n", peakKb / 1024.0);
    const double floodStartAt =
        std::chrono::duration<double>(floodStart.time_since_epoch()).count();
    for (const auto &[name, at] : startedAt) {
        const auto found = foundAt.find(name);
        if (found == foundAt.end())
            std::printf("%s (up at %.0f s): never listed\n", name.c_str(), at - floodStartAt);
        else
            std::printf("%s (up at %.0f s): listed after %.2f s\n", name.c_str(), at - floodStartAt,
                        found->second - at);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--flood" && argc == 4)
        return flood(std::atof(argv[2]), std::atof(argv[3]));
    if (mode == "--browse")
        return browse(argc, argv);
    if (mode == "--announce" && argc == 3)
        return announce(argv[2]);
    const double rate = argc > 1 ? std::atof(argv[1]) : 10000;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
    if (rate <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [RATE] [SECONDS]\n", argv[0]);
        return 2;
    }
    return conduct(rate, seconds);
}
