// The device-loss bench: a JACK dummy server killed (SIGKILL) and started again, cycle after
// cycle, under a running `veltrin-cli play` whose NDI source, a 440 Hz tone, comes from this
// process. Per cycle it times how long the program takes to report the loss, to report the
// device back once the server accepts clients again, and until the tone is heard again on the
// device (through a probe client of the new server); it samples the program's descriptors,
// threads and resident memory along the run; and it times SIGINT, once with the device there
// and in further runs at random moments just after a loss. Figures only, nothing asserted.
//
//   scripts/netns-run build/bench/faults/veltrin_device_loss_bench [cycles, default 100]
#include "CliTestSupport.h"
#include "JackHarness.h"
#include "NdiLib.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace clitest;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Usage {
    int fds = 0, threads = 0;
    long rssKb = 0;
};

Usage usageOf(qint64 pid)
{
    Usage u;
    u.fds = static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                 .entryList(QDir::NoDotAndDotDot | QDir::System)
                                 .size());
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Threads:"))
                u.threads = line.mid(8).trimmed().toInt();
            if (line.startsWith("VmRSS:"))
                u.rssKb = line.mid(6).trimmed().split(' ').first().toLong();
        }
    return u;
}

// Milliseconds from now until the probe hears the tone on the program's first output, or -1.
double untilToneHeard(const std::string &client, int timeoutMs)
{
    const auto start = Clock::now();
    JackProbe probe("loss-probe-" + std::to_string(getpid()), 2, 20.0);
    if (!probe.ok() || !probe.wire(client, 0, 2, timeoutMs))
        return -1.0;
    while (msSince(start) < timeoutMs) {
        const std::vector<float> heard = probe.recorded(0);
        if (heard.size() >= 2048) {
            double sum = 0.0;
            for (size_t i = heard.size() - 2048; i < heard.size(); ++i)
                sum += double(heard[i]) * heard[i];
            if (std::sqrt(sum / 2048) > 0.2) // the tone's RMS is 0.35
                return msSince(start);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1.0;
}

struct Summary {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    void print(const char *what) const
    {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        const int missed = static_cast<int>(std::count(v.begin(), v.end(), -1.0));
        v.erase(std::remove(v.begin(), v.end(), -1.0), v.end());
        if (v.empty()) {
            std::printf("%-44s none of %zu\n", what, values.size());
            return;
        }
        std::printf("%-44s median %7.0f  p95 %7.0f  max %7.0f ms  (%zu, %d missed)\n", what,
                    v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 95 / 100)], v.back(),
                    v.size(), missed);
    }
};

int countLines(CliProcess &cli, const QString &text)
{
    cli.waitUntil([] { return false; }, 20);
    return static_cast<int>(cli.errorLines().filter(text).size());
}

} // namespace

int main(int argc, char **argv)
{
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    QTemporaryDir home;
    if (!home.isValid()
        || useNdiHome(home.path(), "{\"ndi\": {\"machinename\": \"bench\"}}\n").isEmpty())
        return 1;
    JackServer server(kRate, 256, 2, 2);
    if (!server.running() || !NDIlib_initialize())
        return 1;

    const std::string client = "loss-bench-" + std::to_string(getpid());
    ToneSender sender("bench tone", 440.0, 0.5f);
    const QStringList play{"play",     "--source",    "BENCH (bench tone)",
                           "--device", "system",      "--wait",
                           "20",       "--jack-name", QString::fromStdString(client)};
    const QString away = QStringLiteral("went away"), back = QStringLiteral("is back");

    Summary loss, reopened, heard;
    std::vector<std::pair<int, Usage>> usage;
    {
        CliProcess cli(play);
        if (!cli.waitForErrorLine(QStringLiteral("playing"), 30000)
            || untilToneHeard(client, 20000) < 0) {
            std::fprintf(stderr, "the stream never played\n");
            return 1;
        }
        usage.push_back({0, usageOf(cli.pid())});
        for (int i = 1; i <= cycles; ++i) {
            auto t = Clock::now();
            server.kill();
            cli.waitUntil([&] { return cli.errorLines().filter(away).size() >= i; }, 10000);
            loss.add(countLines(cli, away) >= i ? msSince(t) : -1.0);
            if (!server.start()) {
                std::fprintf(stderr, "jackd did not start again at cycle %d\n", i);
                break;
            }
            t = Clock::now();
            cli.waitUntil([&] { return cli.errorLines().filter(back).size() >= i; }, 10000);
            reopened.add(countLines(cli, back) >= i ? msSince(t) : -1.0);
            const double tone = untilToneHeard(client, 10000);
            heard.add(tone < 0 ? -1.0 : msSince(t));
            if (i == 1 || i % 10 == 0)
                usage.push_back({i, usageOf(cli.pid())});
            std::fprintf(stderr, "\rcycle %d of %d", i, cycles);
        }
        std::fprintf(stderr, "\n");
        const auto t = Clock::now();
        cli.signal(SIGINT);
        const int status = cli.finish(10000);
        std::printf("SIGINT with the device there: exit %d after %.0f ms\n", status, msSince(t));
    }

    // SIGINT at a random moment up to half a second after the server died.
    Summary stops;
    std::mt19937 random(12345);
    int clean = 0;
    constexpr int kStopRuns = 10;
    for (int i = 0; i < kStopRuns; ++i) {
        CliProcess cli(play);
        if (!cli.waitForErrorLine(QStringLiteral("playing"), 30000))
            continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server.kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
        const auto t = Clock::now();
        cli.signal(SIGINT);
        const int status = cli.finish(10000);
        stops.add(status >= 0 ? msSince(t) : -1.0);
        clean += status == 0;
        server.start();
    }

    std::printf("\n%d kill-and-restart cycles of a JACK dummy server under veltrin-cli play:\n",
                cycles);
    loss.print("loss reported, after the kill");
    reopened.print("device reported back, after jackd is ready");
    heard.print("tone heard on the device, after jackd is ready");
    stops.print("SIGINT 0-500 ms after a loss, until exit");
    std::printf("%d of %d of those exits with status 0\n", clean, kStopRuns);
    std::printf("\n%-8s %6s %8s %10s\n", "cycle", "fds", "threads", "RSS kB");
    for (const auto &[cycle, u] : usage)
        std::printf("%-8d %6d %8d %10ld\n", cycle, u.fds, u.threads, u.rssKb);
    NDIlib_destroy();
    return 0;
}
