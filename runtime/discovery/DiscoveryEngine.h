#pragma once
// The multicast DNS engine shared by every Announcer and Browser of a process that uses the
// same interface settings. It owns the UDP sockets (port 5353, shared with any other
// responder on the host, and one ephemeral port for direct queries and their answers), the
// record cache and one network thread that receives, answers, announces and expires.
// Callers on other threads register services and browsers under m_mutex; browsers read
// their source lists under it and sleep on m_changed. No call blocks on the network.
//
// What goes on the wire, per source: PTR "_veltrin._tcp.local" -> "<name>._veltrin._tcp.local"
// (the name cut to 63 bytes), SRV -> "<host>.local" and the port, TXT "txtvers=1",
// "name=<full name>", "groups=<g1,g2>", and A records of the interface each datagram leaves
// by. Everything lives kRecordTtlSeconds and is announced at once, after 1 s, then every
// kAnnouncePeriod; goodbyes repeat PTR, SRV and TXT with a lifetime of 0. Multicast goes out
// on every allowed interface by index, which works on loopback without its MULTICAST flag,
// so processes of one host find each other with no network at all.
//
// Hostile neighbours: the cache is bounded (DiscoveryLimits), and records that nobody has
// confirmed can only push out each other. While a flood of made-up sources fills the cache,
// lists hold confirmed sources only and the engine asks for sources directly every couple of
// seconds, so that real ones are confirmed by their answers. When another program holds port
// 5353 without sharing it, the engine browses with direct queries from its ephemeral port and
// meets the other Veltrin processes of the host on a loopback channel of its own.

#include "Discovery.h"
#include "DnsMessage.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <thread>
#include <tuple>

namespace veltrin::rt {

// Owns one file descriptor and closes it.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

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

class DiscoveryEngine
{
public:
    using Clock = std::chrono::steady_clock;

    // Record lifetime. Short, so that a sender that vanished without a goodbye drops out of
    // every list within kRecordTtl plus one tick; senders re-announce every kAnnouncePeriod,
    // which leaves room for one lost announcement.
    static constexpr uint32_t kRecordTtlSeconds = 8;
    static constexpr std::chrono::milliseconds kAnnouncePeriod{2500};
    static constexpr uint16_t kPort = 5353;
    // The loopback channel of the Veltrin processes of one host when port 5353 is held by a
    // program that does not share it: the same messages, to the same group, on loopback only.
    static constexpr uint16_t kLocalPort = 15353;

    // The service type announced and browsed, without the "local" domain.
    static const DnsName &serviceType();

    // The engine for these interface settings, created on first use.
    static std::shared_ptr<DiscoveryEngine> acquire(const DiscoveryConfig &config);

    explicit DiscoveryEngine(const DiscoveryConfig &config, DiscoveryLimits limits = {});
    ~DiscoveryEngine();
    DiscoveryEngine(const DiscoveryEngine &) = delete;
    DiscoveryEngine &operator=(const DiscoveryEngine &) = delete;

    struct Service {
        std::string fullName;  // the source name reported to browsers
        std::string hostLabel; // SRV target, "<hostLabel>.local"
        uint16_t port = 0;
        std::vector<std::string> groups; // lower case
    };
    uint64_t addAnnouncer(Service service);
    void removeAnnouncer(uint64_t id); // sends the goodbyes before it returns

    uint64_t addBrowser(std::vector<std::string> groups);
    void removeBrowser(uint64_t id);
    std::vector<FoundSource> sources(uint64_t browser) const;
    bool waitForChange(uint64_t browser, uint32_t timeoutMs);

    // The full names of the sources heard on the network, in every group, and of the
    // sources this process announces; names this process announced until a moment ago do
    // not count, even while their goodbyes are still on their way back.
    std::set<std::string> namesInUse() const;
    // Since when a browser has been asking the network; the epoch when none ever did.
    Clock::time_point browsingSince() const;

    struct Counters {
        uint64_t received = 0;  // datagrams read
        uint64_t malformed = 0; // datagrams dropped because they did not parse
        uint64_t sent = 0;      // datagrams sent
        uint64_t sendErrors = 0;
        uint64_t evicted = 0; // records pushed out to make room
        uint64_t refused = 0; // unconfirmed records dropped: the cache held confirmed ones only
    };
    Counters counters() const;
    size_t cachedRecords() const;
    bool listening() const { return m_listening; } // port 5353 could be bound
    bool listingConfirmedOnly() const;             // a flood is (or was just) filling the cache

private:
    struct Interface {
        int index = 0;
        std::string name;
        std::vector<in_addr> addresses;
        bool loopback = false;
    };
    struct AnnouncerState {
        Service service;
        DnsName instance;
        Clock::time_point nextAnnounce;
        int announcements = 0;
    };
    struct BrowserState {
        std::vector<std::string> groups;
        std::vector<FoundSource> sources;
        uint64_t generation = 0;
        uint64_t seenGeneration = 0;
    };
    struct CacheEntry {
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
    using Cache = std::map<std::string, CacheEntry>;
    // Where a datagram came in: port 5353, the loopback channel, or the ephemeral port that
    // direct queries leave from.
    enum class Channel { Mdns, Local, Direct };

    void run();
    void refreshInterfaces(Clock::time_point now);
    void joinGroup(int fd, const Interface &itf, bool join);
    void receiveFrom(int fd, Channel channel);
    void handlePacket(const uint8_t *data, size_t size, const sockaddr_in &from, int ifindex,
                      bool toMulticast, Channel channel, Clock::time_point now);
    void handleResponse(const DnsMessage &message, const sockaddr_in &from, int ifindex,
                        bool confirming, Clock::time_point now);
    void answerQuery(const DnsMessage &query, const sockaddr_in &from, int ifindex,
                     bool toMulticast, Channel channel);
    void resolveMissing(Clock::time_point now);
    void runTimers(Clock::time_point now);
    void expireCache(Clock::time_point now);
    void recomputeSources(Clock::time_point now);
    void relistIfDue(Clock::time_point now); // the lists, if changed and the budget allows

    // The cache and its two age indexes (unconfirmed, confirmed) change only through these.
    bool makeRoom(bool forConfirmed, Clock::time_point now);
    Cache::iterator eraseEntry(Cache::iterator it);
    void index(Cache::iterator it);
    void unindex(Cache::iterator it);
    bool underPressure(Clock::time_point now) const { return now < m_pressureUntil; }

    std::vector<DnsRecord> serviceRecords(const AnnouncerState &a, uint32_t ttl) const;
    std::vector<DnsRecord> addressRecords(const AnnouncerState &a, const Interface &itf,
                                          uint32_t ttl) const;
    void announce(const AnnouncerState &a, uint32_t ttl);
    void multicast(const DnsMessage &message, const Interface &itf);
    void ask(const std::vector<DnsQuestion> &questions, int ifindex);
    void askEverywhere(const std::vector<DnsQuestion> &questions);
    void askDirectly(const std::vector<DnsQuestion> &questions, int ifindex, Clock::time_point now);
    uint16_t newQueryId(Clock::time_point now);
    bool isOurQuery(uint16_t id) const;
    void sendMessage(const DnsMessage &message, int fd, const sockaddr_in &to, int ifindex);
    const Interface *interfaceByIndex(int index) const;
    bool adapterAllowed(const std::string &name, const std::vector<in_addr> &addresses) const;

    const std::vector<std::string> m_allowedAdapters;
    const DiscoveryLimits m_limits;
    std::vector<sockaddr_in> m_extraServers;

    UniqueFd m_multicastFd; // port 5353; closed when it could not be bound
    UniqueFd m_localFd;     // the loopback channel, only while port 5353 is held elsewhere
    UniqueFd m_unicastFd;   // ephemeral port: direct queries and their answers
    UniqueFd m_wakeFd;      // eventfd that interrupts the thread's poll
    bool m_listening = false;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<int, Interface> m_interfaces;
    std::map<uint64_t, AnnouncerState> m_announcers;
    std::map<uint64_t, BrowserState> m_browsers;
    Cache m_cache;
    std::set<std::pair<Clock::time_point, std::string>> m_byAge[2]; // [confirmed]: age, key
    std::map<std::string, int> m_srvTargets; // host name key -> SRV records naming it
    Clock::time_point m_pressureUntil;
    bool m_listedConfirmedOnly = false; // the lists were last made under pressure
    bool m_saidPressure = false;
    std::map<std::string, Clock::time_point> m_lastResolve;
    // Instances and hosts that answers named, to check for what they left out: ifindex, type,
    // name. Bounded; what does not fit is checked on a later answer.
    std::map<std::tuple<int, uint16_t, std::string>, DnsName> m_toResolve;
    double m_resolveTokens = 0;
    Clock::time_point m_resolveTokensAt;
    std::deque<std::pair<Clock::time_point, uint16_t>> m_queryIds; // direct queries in flight
    bool m_sourcesDirty = false; // the cache changed since the lists were last made
    double m_listTokens = 0;     // lists that may be made at once (see listBurst)
    Clock::time_point m_listTokensAt;
    Clock::time_point m_nextList;       // when the next token comes, while lists wait for one
    std::set<std::string> m_namesHeard; // as of the last list
    std::map<std::string, Clock::time_point> m_retiredNames; // own, recently said goodbye to
    std::vector<std::pair<Clock::time_point, std::vector<DnsRecord>>> m_goodbyeRepeats;
    Clock::time_point m_nextInterfaceScan;
    Clock::time_point m_nextBrowseQuery;
    int m_browseQueries = 0;
    Clock::time_point m_nextExtraQuery;
    Clock::time_point m_nextDirectQuery;
    Clock::time_point m_browsingSince;
    uint64_t m_nextId = 1;
    Counters m_counters;

    std::atomic<bool> m_stop{false};
    std::thread m_thread; // last: starts after everything above exists
};

} // namespace veltrin::rt
