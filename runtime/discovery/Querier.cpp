#include "Querier.h"

#include <algorithm>
#include <random>

namespace veltrin::rt {
namespace {

using namespace std::chrono_literals;

constexpr auto kExtraQueryPeriod = 2s;
constexpr auto kResolveInterval = 1s;
constexpr size_t kMaxPendingResolve = 256;
// Answers to a direct query come within milliseconds; the id is kept a little longer than a
// busy host could take, and the list of ids in flight stays short.
constexpr auto kQueryIdLifetime = 5s;
constexpr size_t kMaxQueryIds = 64;

} // namespace

void Querier::startBrowsing(Clock::time_point now)
{
    rebrowse(now);
    m_nextExtra = now;
}

void Querier::rebrowse(Clock::time_point now)
{
    m_browseQueries = 0;
    m_nextBrowse = now;
}

bool Querier::browseDue(Clock::time_point now)
{
    if (m_browseQueries >= 3 || now < m_nextBrowse)
        return false;
    ++m_browseQueries;
    m_nextBrowse = now + std::chrono::seconds(m_browseQueries);
    return true;
}

bool Querier::directDue(bool wanted, Clock::time_point now)
{
    if (!wanted || now < m_nextDirect)
        return false;
    m_nextDirect = now + m_directPeriod;
    return true;
}

bool Querier::extraDue(Clock::time_point now)
{
    if (now < m_nextExtra)
        return false;
    m_nextExtra = now + kExtraQueryPeriod;
    return true;
}

void Querier::noteMissing(int ifindex, uint16_t type, const DnsName &name)
{
    if (m_toResolve.size() < kMaxPendingResolve)
        m_toResolve.emplace(std::make_tuple(ifindex, type, nameKey(name)), name);
}

std::vector<std::pair<int, std::vector<DnsQuestion>>>
Querier::resolve(Clock::time_point now, const Have &have, const std::function<bool(int)> &reachable)
{
    std::vector<std::pair<int, std::vector<DnsQuestion>>> asks;
    for (auto it = m_lastResolve.begin(); it != m_lastResolve.end();)
        it = it->second + 10s < now ? m_lastResolve.erase(it) : std::next(it);
    if (m_toResolve.empty())
        return asks;
    // A token bucket: a flood of incomplete answers gets a trickle of questions back.
    const double elapsed = std::chrono::duration<double>(now - m_resolveTokensAt).count();
    m_resolveTokensAt = now;
    const double burst = std::max(1, m_resolveRate);
    m_resolveTokens = std::min(burst, m_resolveTokens + elapsed * m_resolveRate);

    std::map<int, std::vector<DnsQuestion>> questions;
    for (auto it = m_toResolve.begin(); it != m_toResolve.end();) {
        const auto &[ifindex, type, key] = it->first;
        std::vector<DnsQuestion> &list = questions[ifindex];
        if (list.size() >= kMaxQuestions) {
            ++it; // the rest on a later pass
            continue;
        }
        if (!have(ifindex, it->second, type)) {
            auto &last =
                m_lastResolve[std::to_string(ifindex) + '|' + std::to_string(type) + '|' + key];
            if (last + kResolveInterval <= now) {
                last = now;
                list.push_back({it->second, type, kClassIn, false});
            }
        }
        it = m_toResolve.erase(it);
    }
    for (auto &[ifindex, list] : questions) {
        if (list.empty() || !reachable(ifindex))
            continue;
        if (m_resolveTokens < 1)
            break;
        m_resolveTokens -= 1;
        asks.emplace_back(ifindex, std::move(list));
    }
    return asks;
}

uint16_t Querier::newQueryId(Clock::time_point now)
{
    static thread_local std::minstd_rand random(std::random_device{}());
    while (
        !m_queryIds.empty()
        && (m_queryIds.size() >= kMaxQueryIds || m_queryIds.front().first + kQueryIdLifetime < now))
        m_queryIds.pop_front();
    const auto id = static_cast<uint16_t>(1 + random() % 0xFFFF); // never 0: that is multicast's
    m_queryIds.emplace_back(now, id);
    return id;
}

bool Querier::isOurQuery(uint16_t id) const
{
    return id != 0 && std::any_of(m_queryIds.begin(), m_queryIds.end(), [id](const auto &sent) {
               return sent.second == id;
           });
}

} // namespace veltrin::rt
