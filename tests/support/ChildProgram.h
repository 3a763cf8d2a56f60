// A program run as a child of a test or a benchmark (jackd, PipeWire and its clients, probes,
// bridges, the programs under test). It asks the kernel to kill it when the thread that started
// it goes away, so a test that crashes or is killed by its time-out leaves nothing running.
//
// Threads: driven from the thread that created it.
#pragma once

#include "WaitFor.h"

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pwtest {

// A program run with `environment` (NAME=value entries, the whole environment; empty: this
// process's own), its output appended to `logFile`. Without a `logFile`, its standard output
// and its standard error each go to a scratch file of its own, removed with it, for the test to
// read. The destructor stops it by its process id: `stopSignal`, then SIGKILL after
// `stopWaitMs`.
class ChildProgram
{
public:
    explicit ChildProgram(const std::vector<std::string> &argv,
                          const std::vector<std::string> &environment = {},
                          const std::string &logFile = {}, int stopSignal = SIGTERM,
                          int stopWaitMs = 1000);
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
    void signal(int number) { stop(number, 0); }

    // Its output so far, or its standard error when that has a file of its own.
    std::string output(bool errors = false) const;
    // True once `done`, asked every 20 ms, holds; false after `timeoutMs`.
    template <class Done> bool waitUntil(Done done, int timeoutMs)
    {
        return veltrin::test::waitFor(done, timeoutMs, 20);
    }
    // True once its output (or its standard error) contains `text`. Earlier output counts too,
    // so waits for different texts may come in any order.
    bool waitFor(const std::string &text, int timeoutMs, bool errors = false)
    {
        return waitUntil([&] { return output(errors).find(text) != std::string::npos; }, timeoutMs);
    }

private:
    std::string m_log, m_errorLog; // m_errorLog: only with scratch files
    pid_t m_pid = -1;              // -1 once the child has been reaped: its id may then be reused
    int m_status = -1;
    int m_stopSignal, m_stopWaitMs;
};

// Runs a shell command and returns its exit status.
int shell(const std::string &command);

} // namespace pwtest
