#pragma once
// The multicast DNS engine shared by every Announcer and Browser of a process that uses the
// same interface settings. It keeps the network thread and the lock, and orchestrates four
// parts: the sockets (MdnsSockets), the responder that announces and answers (Responder), the
// querier that decides when to ask and what for (Querier) and the bounded record cache with
// the source lists (RecordCache). The thread receives, answers, announces and expires; callers
// on other threads register services and browsers under m_mutex; browsers read their source
// lists under it and sleep on m_changed. No call blocks on the network.
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
#include "MdnsSockets.h"
#include "Querier.h"
#include "RecordCache.h"
#include "Responder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <thread>

namespace veltrin::rt {

class DiscoveryEngine
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr uint32_t kRecordTtlSeconds = Responder::kRecordTtlSeconds;
    static constexpr std::chrono::milliseconds kAnnouncePeriod = Responder::kAnnouncePeriod;
    static constexpr uint16_t kPort = MdnsSockets::kPort;
    static constexpr uint16_t kLocalPort = MdnsSockets::kLocalPort;

    // The service type announced and browsed, without the "local" domain.
    static const DnsName &serviceType();

    // The engine for these interface settings, created on first use.
    static std::shared_ptr<DiscoveryEngine> acquire(const DiscoveryConfig &config);

    explicit DiscoveryEngine(const DiscoveryConfig &config, DiscoveryLimits limits = {});
    ~DiscoveryEngine();
    DiscoveryEngine(const DiscoveryEngine &) = delete;
    DiscoveryEngine &operator=(const DiscoveryEngine &) = delete;

    using Service = Responder::Service;
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
    bool listening() const { return m_sockets.listening(); } // port 5353 could be bound
    bool listingConfirmedOnly() const; // a flood is (or was just) filling the cache

private:
    struct BrowserState {
        std::vector<std::string> groups;
        std::vector<FoundSource> sources;
        uint64_t generation = 0;
        uint64_t seenGeneration = 0;
    };
    using Channel = MdnsSockets::Channel;

    void run();
    void refreshInterfaces(Clock::time_point now);
    void receive(Channel channel);
    void handlePacket(const uint8_t *data, size_t size, const sockaddr_in &from, int ifindex,
                      bool toMulticast, Channel channel, Clock::time_point now);
    void takeResponse(const DnsMessage &message, const sockaddr_in &from, int ifindex,
                      bool confirming, Clock::time_point now);
    void answerQuery(const DnsMessage &query, const sockaddr_in &from, int ifindex,
                     bool toMulticast, Channel channel);
    void resolveMissing(Clock::time_point now);
    void runTimers(Clock::time_point now);
    void expireCache(Clock::time_point now);
    void recomputeSources(Clock::time_point now);
    void relistIfDue(Clock::time_point now); // the lists, if changed and the budget allows

    void send(const Responder::Outgoing &messages);
    void ask(const std::vector<DnsQuestion> &questions, int ifindex, Clock::time_point now);
    void askEverywhere(const std::vector<DnsQuestion> &questions, Clock::time_point now);
    void askDirectly(const std::vector<DnsQuestion> &questions, int ifindex, Clock::time_point now);
    const MdnsInterface *interfaceByIndex(int index) const;
    bool adapterAllowed(const std::string &name, const std::vector<in_addr> &addresses) const;

    const std::vector<std::string> m_allowedAdapters;
    const DiscoveryLimits m_limits;
    std::vector<sockaddr_in> m_extraServers;
    MdnsSockets m_sockets;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<int, MdnsInterface> m_interfaces;
    Responder m_responder;
    Querier m_querier;
    RecordCache m_cache;
    std::map<uint64_t, BrowserState> m_browsers;
    bool m_listedConfirmedOnly = false; // the lists were last made under pressure
    bool m_sourcesDirty = false;        // the cache changed since the lists were last made
    double m_listTokens = 0;            // lists that may be made at once (see listBurst)
    Clock::time_point m_listTokensAt;
    Clock::time_point m_nextList;       // when the next token comes, while lists wait for one
    std::set<std::string> m_namesHeard; // as of the last list
    Clock::time_point m_nextInterfaceScan;
    Clock::time_point m_browsingSince;
    uint64_t m_nextId = 1;
    uint64_t m_received = 0;
    uint64_t m_malformed = 0;

    std::atomic<bool> m_stop{false};
    std::thread m_thread; // last: starts after everything above exists
};

} // namespace veltrin::rt
