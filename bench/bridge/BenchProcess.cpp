#include "BenchProcess.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace veltrin::bench {

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string> &changes)
{
    std::vector<std::string> merged;
    auto name = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto &c : changes)
            replaced = replaced || name(c) == name(entry);
        if (!replaced)
            merged.push_back(entry);
    }
    merged.insert(merged.end(), changes.begin(), changes.end());
    return merged;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (auto &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

} // namespace

Child::Child(const std::vector<std::string> &args, const std::string &log,
             const std::vector<std::string> &environment, int stopSignal)
    : m_stopSignal(stopSignal)
{
    if (args.empty())
        return;
    // Everything the child needs is prepared before fork(): after it, only calls that are
    // safe in a child of a threaded process.
    std::vector<std::string> argStrings = args;
    std::vector<std::string> envStrings = mergedEnvironment(environment);
    const auto argv = pointers(argStrings);
    const auto envp = pointers(envStrings);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    m_pid = pid;
}

Child::~Child()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, m_stopSignal);
    for (int i = 0; i < 250; ++i) {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
}

bool Child::running() const
{
    return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0;
}

std::optional<ProcessSample> sampleProcess(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    ProcessSample s;
    {
        std::ifstream in(dir + "/stat");
        std::string line;
        if (!std::getline(in, line))
            return std::nullopt;
        const auto paren = line.rfind(')');
        if (paren == std::string::npos)
            return std::nullopt;
        std::istringstream fields(line.substr(paren + 2));
        std::string field;
        double ticks = 0;
        for (int i = 0; i < 13 && fields >> field; ++i)
            if (i == 11 || i == 12) // utime, stime
                ticks += std::strtod(field.c_str(), nullptr);
        s.cpuSeconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    {
        std::ifstream in(dir + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("VmRSS:", 0) == 0)
                s.rssMb = std::strtod(line.c_str() + 6, nullptr) / 1024;
            else if (line.rfind("Threads:", 0) == 0)
                s.threads = std::atoi(line.c_str() + 8);
        }
    }
    if (DIR *fds = opendir((dir + "/fd").c_str())) {
        while (const dirent *e = readdir(fds))
            if (e->d_name[0] != '.')
                ++s.fds;
        closedir(fds);
    }
    return s;
}

void ResourceTrace::add(double secondsFromStart, const ProcessSample &sample)
{
    m_samples.emplace_back(secondsFromStart, sample);
}

ProcessSample ResourceTrace::at(double seconds) const
{
    if (m_samples.empty())
        return {};
    const std::pair<double, ProcessSample> *best = &m_samples.front();
    for (const auto &s : m_samples)
        if (std::fabs(s.first - seconds) < std::fabs(best->first - seconds))
            best = &s;
    return best->second;
}

} // namespace veltrin::bench
