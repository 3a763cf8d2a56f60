#include "ChildProgram.h"

#include <chrono>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace pwtest {

ChildProgram::ChildProgram(const std::vector<std::string> &argv,
                           const std::vector<std::string> &environment, const std::string &logFile,
                           int stopSignal, int stopWaitMs)
    : m_stopSignal(stopSignal), m_stopWaitMs(stopWaitMs)
{
    // Everything the child needs is prepared before fork(): between fork and exec only
    // async-signal-safe calls are allowed, and the test may have threads running.
    std::vector<char *> args, env;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : environment)
        env.push_back(const_cast<char *>(e.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Dies with the thread that started it, also when the test crashes or times out.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(devNull, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execvpe(args[0], args.data(), environment.empty() ? environ : env.data());
        _exit(127);
    }
    close(log);
    close(devNull);
    m_pid = pid > 0 ? pid : -1;
}

ChildProgram::~ChildProgram()
{
    if (!stop(m_stopSignal, m_stopWaitMs))
        stop(SIGKILL, 5000);
}

bool ChildProgram::running()
{
    int raw = 0;
    if (m_pid > 0 && waitpid(m_pid, &raw, WNOHANG) == m_pid) {
        m_pid = -1;
        m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    return m_pid > 0;
}

int ChildProgram::wait(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_status;
}

bool ChildProgram::stop(int signal, int timeoutMs)
{
    if (running())
        kill(m_pid, signal);
    wait(timeoutMs);
    return !running();
}

} // namespace pwtest
