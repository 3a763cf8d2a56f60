// Discovery latencies over loopback, between two engines with their own sockets (as two
// processes would have): a new source reaching a browser, a goodbye removing it, a new
// browser finding a source that is already up, and a source that dies without a goodbye.
// All traffic stays on "lo". Goals: appearance and goodbye within 1 s, silent loss within 10 s.

#include "Discovery.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace veltrin::rt;
using Clock = std::chrono::steady_clock;

extern char **environ;

namespace {

// Two settings that select the same interface but different engines.
DiscoveryConfig senderSide()
{
    DiscoveryConfig c;
    c.machineName = "bench";
    c.allowedAdapters = {"127.0.0.1"};
    return c;
}

DiscoveryConfig receiverSide()
{
    DiscoveryConfig c;
    c.allowedAdapters = {"lo"};
    return c;
}

std::string uniqueName(const char *what, int64_t n)
{
    return "BENCH (" + std::string(what) + ' ' + std::to_string(getpid()) + '-' + std::to_string(n)
           + ')';
}

template <typename Predicate>
double secondsUntil(Browser &browser, Predicate done, Clock::time_point start,
                    int timeoutMs = 20000)
{
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    while (!done(browser) && Clock::now() < deadline)
        browser.waitForChange(50);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_NewSourceReachesBrowser(benchmark::State &state)
{
    Browser browser(receiverSide());
    int64_t n = 0;
    for (auto _ : state) {
        const std::string name = uniqueName("appear", n++);
        const auto start = Clock::now();
        Announcer announcer(senderSide(), name, 7300);
        state.SetIterationTime(secondsUntil(
            browser, [&](Browser &b) { return b.find(name).has_value(); }, start));
    }
}

void BM_GoodbyeRemovesSource(benchmark::State &state)
{
    Browser browser(receiverSide());
    int64_t n = 0;
    for (auto _ : state) {
        const std::string name = uniqueName("goodbye", n++);
        auto announcer = std::make_unique<Announcer>(senderSide(), name, 7301);
        secondsUntil(
            browser, [&](Browser &b) { return b.find(name).has_value(); }, Clock::now());
        const auto start = Clock::now();
        announcer.reset();
        state.SetIterationTime(secondsUntil(
            browser, [&](Browser &b) { return !b.find(name); }, start));
    }
}

void BM_NewBrowserFindsRunningSource(benchmark::State &state)
{
    const std::string name = uniqueName("running", 0);
    Announcer announcer(senderSide(), name, 7302);
    for (auto _ : state) {
        const auto start = Clock::now();
        Browser browser(receiverSide()); // the receiving engine is made anew each time
        state.SetIterationTime(secondsUntil(
            browser, [&](Browser &b) { return b.find(name).has_value(); }, start));
    }
}

// The sender is a child process (this program with --announce) killed with SIGKILL.
void BM_SilentlyVanishedSourceDrops(benchmark::State &state)
{
    Browser browser(receiverSide());
    int64_t n = 0;
    for (auto _ : state) {
        const std::string name = uniqueName("vanish", n++);
        char self[] = "/proc/self/exe";
        char flag[] = "--announce";
        std::string nameArg = name;
        char *argv[] = {self, flag, nameArg.data(), nullptr};
        pid_t child = 0;
        if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("cannot start the sender");
            return;
        }
        secondsUntil(
            browser, [&](Browser &b) { return b.find(name).has_value(); }, Clock::now());
        const auto start = Clock::now();
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        state.SetIterationTime(secondsUntil(
            browser, [&](Browser &b) { return !b.find(name); }, start));
    }
}

} // namespace

BENCHMARK(BM_NewSourceReachesBrowser)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GoodbyeRemovesSource)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewBrowserFindsRunningSource)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SilentlyVanishedSourceDrops)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--announce") {
        Announcer announcer(senderSide(), argv[2], 7303);
        for (;;)
            pause();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
