#pragma once
// The multicast DNS engine shared by every Announcer and Browser of a process that uses the
// same interface settings. It owns the UDP sockets (port 5353, shared with any other
// responder on the host, and one ephemeral port for unicast queries to other subnets), the
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

#include "Discovery.h"
#include "DnsMessage.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <thread>

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

    // The service type announced and browsed, without the "local" domain.
    static const DnsName &serviceType();

    // The engine for these interface settings, created on first use.
    static std::shared_ptr<DiscoveryEngine> acquire(const DiscoveryConfig &config);

    explicit DiscoveryEngine(const DiscoveryConfig &config);
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

    struct Counters {
        uint64_t received = 0;  // datagrams read
        uint64_t malformed = 0; // datagrams dropped because they did not parse
        uint64_t sent = 0;      // datagrams sent
        uint64_t sendErrors = 0;
    };
    Counters counters() const;
    bool listening() const { return m_listening; } // port 5353 could be bound

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
        Clock::time_point received;
        Clock::time_point expires;
        bool refreshQueried = false;
    };
    struct Destination {
        sockaddr_in address{};
        int ifindex = 0;      // multicast output interface; 0 for unicast
        bool unicast = false; // send from the ephemeral socket when true and not answering
    };

    void run();
    void refreshInterfaces(Clock::time_point now);
    void receiveFrom(int fd, bool ephemeral);
    void handlePacket(const uint8_t *data, size_t size, const sockaddr_in &from, int ifindex,
                      bool toMulticast, bool ephemeral, Clock::time_point now);
    void handleResponse(const DnsMessage &message, const sockaddr_in &from, int ifindex,
                        Clock::time_point now);
    void answerQuery(const DnsMessage &query, const sockaddr_in &from, int ifindex,
                     bool toMulticast);
    void resolveMissing(int ifindex, Clock::time_point now);
    void runTimers(Clock::time_point now);
    void expireCache(Clock::time_point now);
    void recomputeSources();

    std::vector<DnsRecord> serviceRecords(const AnnouncerState &a, uint32_t ttl) const;
    std::vector<DnsRecord> addressRecords(const AnnouncerState &a, const Interface &itf,
                                          uint32_t ttl) const;
    void announce(const AnnouncerState &a, uint32_t ttl);
    void sendQuestions(const std::vector<DnsQuestion> &questions, int ifindex);
    void sendQueryToAll(const std::vector<DnsQuestion> &questions);
    void sendMessage(const DnsMessage &message, int fd, const sockaddr_in &to, int ifindex);
    const Interface *interfaceByIndex(int index) const;
    bool adapterAllowed(const std::string &name, const std::vector<in_addr> &addresses) const;

    const std::vector<std::string> m_allowedAdapters;
    std::vector<sockaddr_in> m_extraServers;

    UniqueFd m_multicastFd; // port 5353
    UniqueFd m_unicastFd;   // ephemeral port: unicast queries and their answers
    UniqueFd m_wakeFd;      // eventfd that interrupts the thread's poll
    bool m_listening = false;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<int, Interface> m_interfaces;
    std::map<uint64_t, AnnouncerState> m_announcers;
    std::map<uint64_t, BrowserState> m_browsers;
    std::map<std::string, CacheEntry> m_cache;
    std::map<std::string, Clock::time_point> m_lastResolve;
    bool m_sourcesDirty = false; // the cache changed since the lists were last made
    std::set<int> m_unresolved;  // interfaces whose answers may have left questions
    std::vector<std::pair<Clock::time_point, std::vector<DnsRecord>>> m_goodbyeRepeats;
    Clock::time_point m_nextInterfaceScan;
    Clock::time_point m_nextBrowseQuery;
    int m_browseQueries = 0;
    Clock::time_point m_nextExtraQuery;
    uint64_t m_nextId = 1;
    Counters m_counters;

    std::atomic<bool> m_stop{false};
    std::thread m_thread; // last: starts after everything above exists
};

} // namespace veltrin::rt
