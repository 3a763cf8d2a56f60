// What a process of the bridge benchmark costs, read from /proc.
//
// Threads: everything here runs on the benchmark's main thread.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrin::bench {

struct ProcessSample {
    double cpuSeconds = 0; // user plus system time of all its threads so far
    double rssMb = 0;      // resident set
    int fds = 0;           // open file descriptors
    int threads = 0;
};

std::optional<ProcessSample> sampleProcess(pid_t pid);

// One sample a second of a process during a measurement.
class ResourceTrace
{
public:
    void add(double secondsFromStart, const ProcessSample &sample);
    bool empty() const { return m_samples.empty(); }
    // The sample nearest to `seconds` after the start (the first and the last when out of range).
    ProcessSample at(double seconds) const;
    ProcessSample first() const { return m_samples.front().second; }
    ProcessSample last() const { return m_samples.back().second; }
    double duration() const { return m_samples.empty() ? 0 : m_samples.back().first; }

private:
    std::vector<std::pair<double, ProcessSample>> m_samples;
};

} // namespace veltrin::bench
