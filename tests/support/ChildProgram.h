// A program run as a child of a test or a benchmark (jackd, PipeWire and its clients, probes,
// bridges). It asks the kernel to kill it when the thread that started it goes away, so a test
// that crashes or is killed by its time-out leaves nothing running.
//
// Threads: driven from the thread that created it.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pwtest {

// A program run with `environment` (NAME=value entries, the whole environment; empty: this
// process's own), its output appended to `logFile`. The destructor stops it by its process id:
// `stopSignal`, then SIGKILL after `stopWaitMs`.
class ChildProgram
{
public:
    ChildProgram(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                 const std::string &logFile, int stopSignal = SIGTERM, int stopWaitMs = 1000);
    ~ChildProgram();
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    // Waits up to `timeoutMs` for the program to end; its exit status (128 + signal when
    // killed), or -1 while it still runs.
    int wait(int timeoutMs);
    // Sends `signal` and waits up to `timeoutMs` for the exit; true once it has exited.
    bool stop(int signal, int timeoutMs);

private:
    pid_t m_pid = -1; // -1 once the child has been reaped: its id may then be reused
    int m_status = -1;
    int m_stopSignal, m_stopWaitMs;
};

} // namespace pwtest
