#include "ChildProcess.h"

#include "WaitFor.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace veltrin::test {

std::string ChildProcess::newLogName()
{
    static std::atomic<int> next{0};
    const std::string log =
        "/tmp/veltrin-child-" + std::to_string(getpid()) + "-" + std::to_string(next++) + ".log";
    std::remove(log.c_str());
    return log;
}

ChildProcess::~ChildProcess()
{
    std::remove(m_log.c_str());
}

std::vector<std::string> ChildProcess::lines() const
{
    std::vector<std::string> all;
    std::ifstream log(m_log);
    for (std::string line; std::getline(log, line);)
        all.push_back(line);
    return all;
}

bool ChildProcess::waitFor(const std::string &text, int timeoutMs)
{
    const auto said = [&] {
        const std::vector<std::string> all = lines();
        return std::any_of(all.begin(), all.end(), [&](const std::string &line) {
            return line.find(text) != std::string::npos;
        });
    };
    return veltrin::test::waitFor(said, timeoutMs, 20);
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
