#include "BenchProcess.h"

#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace veltrin::bench {

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
