#pragma once
// Test support: runs a program as a child process with pipes on its standard input and
// output. The destructor closes the input (a polite stop), waits a little, then kills.

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrin::test {

class ChildProcess
{
public:
    explicit ChildProcess(const std::vector<std::string> &argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return m_pid; }
    // The next line of output, or nullopt-like false after timeoutMs or at end of output.
    bool readLine(std::string &line, int timeoutMs);
    // True once a line of output (read now or by an earlier call) contains `text`; false
    // after timeoutMs. Lines are kept, so waits for different texts may come in any order.
    bool waitFor(const std::string &text, int timeoutMs, std::string *found = nullptr);
    // Closes the child's standard input and waits for it to exit; its exit status.
    int finish(int timeoutMs = 5000);
    void kill(int signal);

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    std::vector<std::string> m_lines;
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
