#pragma once
// The bounded record cache of the discovery engine: the records of Veltrin services heard on
// the network, keyed by interface and record, with their lifetimes, the two age indexes that
// choose what a flood pushes out, and the source lists made from them. Time comes in as `now`,
// so that a virtual clock drives floods and expiry in a table test.
//
// Thread: not thread-safe; the engine calls it from its network thread and its callers'
// threads, always under the engine's lock.

#include "Discovery.h"
#include "DnsMessage.h"
#include "MdnsRecords.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace veltrin::rt {

// What a flood of announcements may cost, and how the engine keeps real sources listed through
// one. The defaults suit a studio of a few hundred sources.
struct DiscoveryLimits {
    // Records kept in all; a source takes about four (PTR, SRV, TXT, an address).
    size_t maxRecords = 4096;
    // Of which not yet confirmed. A record is confirmed when it comes in an answer to one of
    // the engine's own direct queries, or when it is heard again at least confirmAfter after
    // it was first stored (every responder announces twice, a second apart, and refreshes).
    // Unconfirmed records only ever push out each other, the one heard least recently first,
    // so a flood of made-up sources cannot push out a confirmed one.
    size_t maxUnconfirmed = 1024;
    std::chrono::milliseconds confirmAfter{1000};
    // An unconfirmed record lives no longer than this, whatever its own lifetime: the refresh
    // query at 80 % of it confirms a real one in time, and what is left of a flood is gone
    // soon after it stops.
    std::chrono::milliseconds unconfirmedLifetime{8000};
    // Once unconfirmed records have had to make room, lists hold confirmed sources only, until
    // this long after the last time: a flood of names changing ten thousand times a second
    // is no list to choose from. Longer than unconfirmedLifetime, so that what is left of a
    // flood has expired before the lists take unconfirmed sources again.
    std::chrono::milliseconds pressureHold{10000};
    // Meanwhile, and whenever port 5353 is held by another program, every interface is asked
    // for sources directly this often. Answers arrive at the ephemeral port, which a flood of
    // multicast announcements does not reach.
    std::chrono::milliseconds directQueryPeriod{2000};
    // Lists are made again after every burst of datagrams that changed the cache; while a
    // flood fills it, up to listBurst times in a row and then at most listsPerSecond times a
    // second, so that the flood costs a pass over the full cache now and then.
    int listsPerSecond = 10;
    int listBurst = 5;
    // Records taken from one datagram; a full 1500-byte answer holds about forty.
    size_t maxRecordsPerMessage = 128;
    // Datagrams read in one go before the timers run again.
    size_t maxDatagramsPerWake = 256;
    // Query messages per second that ask for what incomplete answers left out.
    int resolveMessagesPerSecond = 4;
};

class RecordCache
{
public:
    using Clock = std::chrono::steady_clock;
    // Lifetimes beyond this are cut to it: a record announced "forever" still goes some day.
    static constexpr uint32_t kMaxCachedTtl = 4500;

    struct Entry {
        DnsRecord record;
        int ifindex = 0;
        in_addr from{};
        Clock::time_point firstHeard;
        Clock::time_point received;
        Clock::time_point expires;
        Clock::time_point indexedAt; // its key in m_byAge
        bool confirmed = false;
        bool refreshQueried = false;
    };

    explicit RecordCache(const DiscoveryLimits &limits) : m_limits(limits) {}

    struct Taken {
        bool changed = false;       // the lists may differ now
        bool pressureBegan = false; // a flood started to push out unconfirmed records
        // Instances and hosts the records named, to ask for what the answer left out.
        std::vector<std::pair<uint16_t, DnsName>> toResolve;
    };
    // Stores the records of a response that describe Veltrin services (PTR of the service
    // type, SRV and TXT of an instance, A of a host an SRV names), at most
    // maxRecordsPerMessage of them. `confirming`: the response answers a direct query.
    Taken take(const DnsMessage &message, in_addr from, int ifindex, bool confirming,
               Clock::time_point now);

    struct Expired {
        bool changed = false;
        // Questions that refresh records at 80 % of their lifetime, by interface, in order.
        std::map<int, std::vector<DnsQuestion>> refresh;
    };
    Expired expire(Clock::time_point now);

    // Whether a record of `type` owned by `name` is cached for `ifindex`.
    bool has(int ifindex, const DnsName &name, uint16_t type) const;
    // Forgets what was heard on an interface that went away; true when anything was.
    bool dropInterface(int ifindex);
    void clear();

    size_t size() const { return m_cache.size(); }
    bool underPressure(Clock::time_point now) const { return now < m_pressureUntil; }
    uint64_t evicted() const { return m_evicted; }
    uint64_t refused() const { return m_refused; }

    // A source the records describe, with the groups it is in and whether it was heard on a
    // loopback interface.
    struct Listed {
        FoundSource source;
        std::vector<std::string> groups;
        bool loopback = false;
    };
    // The sources by name, each complete with a port and an address; with `confirmedOnly`,
    // those whose PTR and SRV are confirmed. `heard` receives every name, listed or not.
    std::map<std::string, Listed> sources(bool confirmedOnly,
                                          const std::function<bool(int)> &isLoopback,
                                          std::set<std::string> &heard) const;

private:
    using Map = std::map<std::string, Entry>;

    bool store(const DnsRecord &r, in_addr from, int ifindex, bool confirming,
               Clock::time_point now, Taken &taken);
    // Room for one more record, pushing out the oldest unconfirmed one (or, for a confirmed
    // record when nothing else is left, the oldest confirmed one); false when there is none.
    bool makeRoom(bool forConfirmed, Clock::time_point now, Taken &taken);
    void evictOldest(bool confirmed, Clock::time_point now, Taken &taken);
    Map::iterator erase(Map::iterator it);
    void index(Map::iterator it);
    void unindex(Map::iterator it);

    const DiscoveryLimits m_limits;
    Map m_cache;
    std::set<std::pair<Clock::time_point, std::string>> m_byAge[2]; // [confirmed]: age, key
    std::map<std::string, int> m_srvTargets; // host name key -> SRV records naming it
    Clock::time_point m_pressureUntil;
    bool m_saidPressure = false;
    uint64_t m_evicted = 0; // records pushed out to make room
    uint64_t m_refused = 0; // unconfirmed records dropped: the cache held confirmed ones only
};

} // namespace veltrin::rt
