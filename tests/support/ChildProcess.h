#pragma once
// Test support: a program run as a ChildProgram whose output (standard output and error, kept
// in a file of its own) is read back line by line. finish() asks it to stop with SIGTERM.

#include "ChildProgram.h"

#include <memory>
#include <string>
#include <vector>

namespace veltrin::test {

class ChildProcess : public pwtest::ChildProgram
{
public:
    explicit ChildProcess(const std::vector<std::string> &argv) : ChildProcess(argv, newLogName())
    {
    }
    ~ChildProcess();

    // True once its output contains `text`; false after timeoutMs. Earlier output counts
    // too, so waits for different texts may come in any order.
    bool waitFor(const std::string &text, int timeoutMs);
    // Every line of its output so far.
    std::vector<std::string> lines() const;
    // Sends SIGTERM and waits for the exit; its exit status, or -1 if it still runs.
    int finish(int timeoutMs = 5000) { return stop(SIGTERM, timeoutMs) ? wait(0) : -1; }
    void kill(int signal) { stop(signal, 0); }

private:
    ChildProcess(const std::vector<std::string> &argv, const std::string &log)
        : ChildProgram(argv, {}, log), m_log(log)
    {
    }
    static std::string newLogName();
    std::string m_log;
};

// Runs a shell command and returns its exit status.
int shell(const std::string &command);

// A far host: a network namespace of its own joined to this one by a veth pair, `near` here
// with <subnet>.1/24 and `far` there with <subnet>.2/24. `command` runs under `unshare`; it
// must print "NETNS" once it has left this namespace (the far end is moved in then) and bring
// `far` up itself; upAndRun() gives the usual shell prefix that does so before running a program.
class FarHost
{
public:
    FarHost(const std::string &near, const std::string &far, const std::string &subnet,
            const std::vector<std::string> &command);
    ~FarHost();
    bool linked() const { return m_linked; }
    ChildProcess &child() { return *m_child; }
    static std::vector<std::string> upAndRun(const std::string &far, const std::string &subnet);

private:
    std::string m_near;
    bool m_linked = false;
    std::unique_ptr<ChildProcess> m_child;
};

} // namespace veltrin::test
