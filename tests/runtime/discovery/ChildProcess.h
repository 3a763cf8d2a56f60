#pragma once
// Test support: runs a program as a child process with pipes on its standard input and
// output. The destructor closes the input (a polite stop), waits a little, then kills.

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

} // namespace veltrin::test
