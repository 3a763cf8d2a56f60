#include "FiguresLog.h"

#include "FiguresText.h"

#include <cmath>
#include <set>

std::vector<std::string> FiguresLog::update(double now,
                                            const std::vector<VeltrinNdiFigures> &figures,
                                            uint64_t sendXruns, uint64_t receiveXruns)
{
    std::vector<std::string> lines;
    std::set<std::string> present;
    for (const VeltrinNdiFigures &f : figures) {
        const std::string key = std::to_string(f.kind) + f.name;
        present.insert(key);
        const uint64_t xruns = f.kind == VeltrinNdi_sender ? sendXruns : receiveXruns;
        auto [it, fresh] = m_streams.try_emplace(key);
        Stream &s = it->second;
        if (fresh) {
            s.started = now;
            s.nextLine = now + kEverySeconds;
            s.xrunsAtStart = xruns;
        }
        s.latest = f;
        s.xruns = xruns - s.xrunsAtStart;
        if (now >= s.nextLine) {
            // One line a minute; after a stall, count again from now rather than catch up.
            s.nextLine = std::max(s.nextLine + kEverySeconds, now);
            lines.push_back("Stream figures: " + veltrin::ndi::figuresText(s.latest, s.xruns));
        }
    }
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        const Stream &s = it->second;
        lines.push_back("Stream stopped after " + std::to_string(std::lround(now - s.started))
                        + " s: " + veltrin::ndi::figuresText(s.latest, s.xruns));
        it = m_streams.erase(it);
    }
    return lines;
}
