#pragma once
// The querier of the discovery engine: when to ask the network for sources (the first three
// browse queries, the direct queries while a flood fills the cache or port 5353 is held
// elsewhere, the queries to configured servers), what incomplete answers left out, and the
// ids of its direct queries in flight. It decides and the engine sends; time comes in as
// `now`, so a table test drives the schedule and the token bucket on a virtual clock.
//
// Thread: not thread-safe; the engine calls it under its lock.

#include "DnsMessage.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace veltrin::rt {

class Querier
{
public:
    Querier(int resolveMessagesPerSecond, std::chrono::steady_clock::duration directQueryPeriod)
        : m_resolveRate(resolveMessagesPerSecond), m_directPeriod(directQueryPeriod)
    {
    }
    using Clock = std::chrono::steady_clock;
    // Questions in one query message; more are asked in several.
    static constexpr size_t kMaxQuestions = 32;

    // Browsing starts: three multicast queries, at once, 1 s and 2 s later, and the extra
    // servers are asked at once.
    void startBrowsing(Clock::time_point now);
    // The three browse queries again (new or renumbered interfaces).
    void rebrowse(Clock::time_point now);
    // The next multicast browse query is due; counts it.
    bool browseDue(Clock::time_point now);
    // Direct queries are wanted (a flood, or port 5353 held elsewhere) and one is due;
    // schedules the next one directQueryPeriod later.
    bool directDue(bool wanted, Clock::time_point now);
    void askDirectlyNow(Clock::time_point now) { m_nextDirect = now; }
    // The query to the configured extra servers is due; schedules the next.
    bool extraDue(Clock::time_point now);

    // An answer named `name` (an instance or a host) whose record of `type` may be missing.
    void noteMissing(int ifindex, uint16_t type, const DnsName &name);
    // The questions to ask now, by interface, for what is noted and not yet cached (`have`):
    // each name at most once a second, at most kMaxQuestions a message, and the messages
    // limited by a token bucket of resolveMessagesPerSecond. `reachable` leaves out
    // interfaces that went away.
    using Have = std::function<bool(int ifindex, const DnsName &name, uint16_t type)>;
    std::vector<std::pair<int, std::vector<DnsQuestion>>>
    resolve(Clock::time_point now, const Have &have, const std::function<bool(int)> &reachable);
    void forgetMissing() { m_toResolve.clear(); }

    // A fresh id for a direct query (never 0, which is multicast's), remembered for a while.
    uint16_t newQueryId(Clock::time_point now);
    bool isOurQuery(uint16_t id) const;

private:
    const int m_resolveRate;
    const Clock::duration m_directPeriod;
    int m_browseQueries = 0;
    Clock::time_point m_nextBrowse;
    Clock::time_point m_nextDirect;
    Clock::time_point m_nextExtra;
    // Instances and hosts that answers named, to check for what they left out: ifindex, type,
    // name. Bounded; what does not fit is checked on a later answer.
    std::map<std::tuple<int, uint16_t, std::string>, DnsName> m_toResolve;
    std::map<std::string, Clock::time_point> m_lastResolve;
    double m_resolveTokens = 0;
    Clock::time_point m_resolveTokensAt;
    std::deque<std::pair<Clock::time_point, uint16_t>> m_queryIds; // direct queries in flight
};

} // namespace veltrin::rt
