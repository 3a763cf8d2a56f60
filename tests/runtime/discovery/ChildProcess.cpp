#include "ChildProcess.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrin::test {

ChildProcess::ChildProcess(const std::vector<std::string> &argv)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        std::abort();
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && finish(3000) == -1 && m_pid > 0) {
        kill(SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0)
        close(m_out);
}

bool ChildProcess::readLine(std::string &line, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto newline = m_buffer.find('\n');
        if (newline != std::string::npos) {
            line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_out < 0)
            return false;
        pollfd fd{m_out, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = read(m_out, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, static_cast<size_t>(n));
    }
}

bool ChildProcess::waitFor(const std::string &text, int timeoutMs, std::string *found)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t next = 0;; ++next) {
        if (next == m_lines.size()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::string line;
            if (left.count() <= 0 || !readLine(line, static_cast<int>(left.count())))
                return false;
            m_lines.push_back(std::move(line));
        }
        if (m_lines[next].find(text) != std::string::npos) {
            if (found)
                *found = m_lines[next];
            return true;
        }
    }
}

int ChildProcess::finish(int timeoutMs)
{
    if (m_in >= 0) {
        close(m_in);
        m_in = -1;
    }
    if (m_pid <= 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::kill(int signal)
{
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

int shell(const std::string &command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FarHost::FarHost(const std::string &near, const std::string &far, const std::string &subnet,
                 const std::vector<std::string> &command)
    : m_near(near)
{
    m_linked = shell("ip link add " + near + " type veth peer name " + far + " && ip addr add "
                     + subnet + ".1/24 dev " + near + " && ip link set " + near + " up")
               == 0;
    std::vector<std::string> argv{"unshare"};
    argv.insert(argv.end(), command.begin(), command.end());
    m_child = std::make_unique<ChildProcess>(argv);
    // Until the child speaks, it may not have left this namespace yet.
    m_linked = m_linked && m_child->waitFor("NETNS", 10000)
               && shell("ip link set " + far + " netns " + std::to_string(m_child->pid())) == 0;
}

FarHost::~FarHost()
{
    m_child.reset();
    shell("ip link del " + m_near + " 2>/dev/null");
}

std::vector<std::string> FarHost::upAndRun(const std::string &far, const std::string &subnet)
{
    return {"--net", "sh", "-c",
            "echo NETNS; while ! ip link show " + far
                + " >/dev/null 2>&1; do sleep 0.05; done; "
                  "ip link set lo up && ip addr add "
                + subnet + ".2/24 dev " + far + " && ip link set " + far + " up && exec \"$@\"",
            "far-host"};
}

} // namespace veltrin::test
