// The sender's subscribers: who receives the stream, in datagrams of which size, and until
// when. A request is answered from its cookie alone, a keyed hash (SipHash) of the address it
// came from: without the right cookie a Subscribe gets a challenge that carries it, so nobody
// can subscribe an address it does not receive at, and nothing is kept for it. With the right
// cookie a Subscribe admits the address (up to kMaxClients) or refreshes it, and a Leave ends
// it. A subscription not refreshed for kSubscriptionTimeout ends when expire() runs.
//
// Threads: one (the sender's network thread). Time is passed in as `now`, so tests drive it on
// a virtual clock. The list is reserved for kMaxClients: admitting allocates nothing.
#pragma once

#include "WireFormat.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

namespace veltrin::rt {

class SubscriberRegistry
{
public:
    using Clock = std::chrono::steady_clock;
    // Receivers refresh a few times a second, so a link that is down for less than this comes
    // back without a new subscription.
    static constexpr auto kSubscriptionTimeout = std::chrono::seconds(5);
    static constexpr int kMaxClients = 64;

    struct Subscriber {
        sockaddr_in address{};
        uint32_t datagram = 0; // bytes per datagram its path takes
        Clock::time_point refreshed{};
    };

    enum class Answer {
        Challenge, // send challengeFor(from): the cookie was missing or wrong
        Bad,       // a wrong cookie on anything but a Subscribe
        Admitted,
        Refreshed,
        Refused, // over the limit
        Left,
        Ignored, // a Leave of an address not subscribed
    };

    explicit SubscriberRegistry(const uint64_t key[2]);

    uint64_t cookieFor(const sockaddr_in &address) const;
    // `request` is a decoded Subscribe or Leave.
    Answer handle(const wire::Subscribe &request, const sockaddr_in &from, Clock::time_point now);
    // Ends the subscriptions not refreshed in time; how many.
    int expire(Clock::time_point now);
    const std::vector<Subscriber> &subscribers() const { return m_subscribers; }

private:
    uint64_t m_key[2];
    std::vector<Subscriber> m_subscribers;
};

} // namespace veltrin::rt
