#include "ChildProgram.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace pwtest {

ChildProgram::ChildProgram(const std::vector<std::string> &argv,
                           const std::vector<std::string> &environment, const std::string &logFile,
                           int stopSignal, int stopWaitMs)
    : m_log(logFile), m_stopSignal(stopSignal), m_stopWaitMs(stopWaitMs)
{
    if (m_log.empty()) {
        // Scratch files for the test to read, removed with the program.
        char name[] = "/tmp/veltrin-child-XXXXXX";
        close(mkstemp(name));
        m_log = name;
        m_errorLog = m_log + ".err";
    }
    // Everything the child needs is prepared before fork(): between fork and exec only
    // async-signal-safe calls are allowed, and the test may have threads running.
    std::vector<char *> args, env;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : environment)
        env.push_back(const_cast<char *>(e.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    const auto append = [](const std::string &file) {
        return open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    };
    const int log = append(m_log), errors = m_errorLog.empty() ? log : append(m_errorLog);
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
        dup2(errors, STDERR_FILENO);
        execvpe(args[0], args.data(), environment.empty() ? environ : env.data());
        _exit(127);
    }
    close(log);
    if (errors != log)
        close(errors);
    close(devNull);
    m_pid = pid > 0 ? pid : -1;
}

ChildProgram::~ChildProgram()
{
    if (!stop(m_stopSignal, m_stopWaitMs))
        stop(SIGKILL, 5000);
    if (!m_errorLog.empty()) {
        std::remove(m_log.c_str());
        std::remove(m_errorLog.c_str());
    }
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
    return veltrin::test::waitFor([this] { return !running(); }, timeoutMs, 5) ? m_status : -1;
}

bool ChildProgram::stop(int signal, int timeoutMs)
{
    if (running())
        kill(m_pid, signal);
    wait(timeoutMs);
    return !running();
}

std::string ChildProgram::output(bool errors) const
{
    std::ifstream log(errors ? m_errorLog : m_log);
    return std::string(std::istreambuf_iterator<char>(log), {});
}

int shell(const std::string &command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace pwtest
