// The figures of a running stream as veltrin-cli prints them: one text line or one JSON object
// per stream (--stats, --stats-json), and a summary since the start (on SIGUSR1 and at the end).
// The figures come from the NDI runtime's snapshot call (NdiFigures.h) and the engine's device
// xrun counter of the stream's entry.
//
// Threads: made and read on the command's thread; a snapshot takes no lock the audio threads
// take.
#pragma once

#include "NdiFigures.h"

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace veltrin::cli {

class Console;
class SummarySignal;

// The same as one compact JSON object: the keys of the manual page, null where not available.
std::string figuresJson(const VeltrinNdiFigures &figures, uint64_t xruns, double seconds);

class StreamStats
{
public:
    using Clock = std::chrono::steady_clock;

    // `xruns` is the engine's counter for the stream's entry; counted from now on.
    StreamStats(const std::atomic<uint64_t> &xruns, bool json);

    // One line per stream of the runtime, as text or JSON.
    std::vector<std::string> lines();
    // One line per stream seen since the start: the latest figures, the highest latency and
    // how long it ran.
    std::vector<std::string> summary();
    // Takes in one snapshot of the runtime's figures, made `now` seconds after the start.
    void record(const std::vector<VeltrinNdiFigures> &figures, double now);

private:
    struct Seen {
        VeltrinNdiFigures latest;
        double firstSeconds = 0;
        double maxLatencyMs = 0;
    };
    double seconds() const;
    uint64_t xruns() const;
    void take();

    const std::atomic<uint64_t> &m_xruns;
    const uint64_t m_xrunsAtStart;
    const bool m_json;
    const Clock::time_point m_start = Clock::now();
    std::vector<VeltrinNdiFigures> m_current;
    std::map<std::string, Seen> m_seen; // by kind and name
};

// What the stream loop of veltrin-cli prints of the figures: a line per stream each second with
// --stats or --stats-json (on standard output), a summary on SIGUSR1 (on standard output with
// either option, else on standard error) and at the end with either option.
class StatsReport
{
public:
    StatsReport(const std::atomic<uint64_t> &xruns, bool text, bool json, Console &console,
                SummarySignal &summaries);

    // Called on every turn of the stream loop. False when standard output is closed.
    bool poll();
    // Called once the stream has stopped.
    void finish();

private:
    bool print(const std::vector<std::string> &lines, bool toOutput);

    const bool m_everySecond;
    Console &m_console;
    SummarySignal &m_summaries;
    StreamStats m_stats;
    StreamStats::Clock::time_point m_next;
};

} // namespace veltrin::cli
