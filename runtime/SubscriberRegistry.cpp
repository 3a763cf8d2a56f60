#include "SubscriberRegistry.h"

#include "SipHash.h"
#include "Socket.h"

#include <algorithm>
#include <cstring>

namespace veltrin::rt {

SubscriberRegistry::SubscriberRegistry(const uint64_t key[2]) : m_key{key[0], key[1]}
{
    m_subscribers.reserve(kMaxClients);
}

uint64_t SubscriberRegistry::cookieFor(const sockaddr_in &a) const
{
    uint8_t text[6];
    std::memcpy(text, &a.sin_addr.s_addr, 4);
    std::memcpy(text + 4, &a.sin_port, 2);
    return sipHash(m_key, text, sizeof text);
}

SubscriberRegistry::Answer SubscriberRegistry::handle(const wire::Subscribe &request,
                                                      const sockaddr_in &from,
                                                      Clock::time_point now)
{
    if (request.cookie != cookieFor(from))
        // First contact (or a new sender on this port): the cookie to come back with.
        return request.common.kind == wire::Kind::Subscribe ? Answer::Challenge : Answer::Bad;
    auto known = std::find_if(m_subscribers.begin(), m_subscribers.end(),
                              [&](const Subscriber &s) { return sameAddress(s.address, from); });
    if (request.common.kind == wire::Kind::Leave) {
        if (known == m_subscribers.end())
            return Answer::Ignored;
        m_subscribers.erase(known);
        return Answer::Left;
    }
    Answer answer = Answer::Refreshed;
    if (known == m_subscribers.end()) {
        if (int(m_subscribers.size()) >= kMaxClients) {
            return Answer::Refused;
        }
        m_subscribers.push_back({from, 0, now});
        known = m_subscribers.end() - 1;
        answer = Answer::Admitted;
    }
    known->datagram = request.maxDatagram;
    known->refreshed = now;
    return answer;
}

int SubscriberRegistry::expire(Clock::time_point now)
{
    const auto before = m_subscribers.size();
    m_subscribers.erase(std::remove_if(m_subscribers.begin(), m_subscribers.end(),
                                       [&](const Subscriber &s) {
                                           return now - s.refreshed > kSubscriptionTimeout;
                                       }),
                        m_subscribers.end());
    return int(before - m_subscribers.size());
}

} // namespace veltrin::rt
