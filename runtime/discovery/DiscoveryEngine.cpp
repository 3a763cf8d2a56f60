#include "DiscoveryEngine.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ifaddrs.h>
#include <net/if.h>

namespace veltrin::rt {
namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 250ms;
constexpr auto kInterfaceScanPeriod = 2s;

DnsQuestion browseQuestion()
{
    return {veltrinServiceType(), kTypePtr, kClassIn, false};
}

std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<DiscoveryEngine>> g_registry;

} // namespace

const DnsName &DiscoveryEngine::serviceType()
{
    return veltrinServiceType();
}

std::shared_ptr<DiscoveryEngine> DiscoveryEngine::acquire(const DiscoveryConfig &config)
{
    std::string key;
    for (const std::string &a : config.allowedAdapters)
        key += a + ',';
    key += '|';
    for (const std::string &ip : config.extraIps)
        key += ip + ',';
    std::lock_guard lock(g_registryMutex);
    if (auto engine = g_registry[key].lock())
        return engine;
    auto engine = std::make_shared<DiscoveryEngine>(config);
    g_registry[key] = engine;
    return engine;
}

DiscoveryEngine::DiscoveryEngine(const DiscoveryConfig &config, DiscoveryLimits limits)
    : m_allowedAdapters(config.allowedAdapters), m_limits(limits),
      m_querier(limits.resolveMessagesPerSecond, limits.directQueryPeriod), m_cache(limits)
{
    for (const std::string &ip : config.extraIps) {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(kPort);
        if (inet_pton(AF_INET, ip.c_str(), &server.sin_addr) == 1)
            m_extraServers.push_back(server);
    }
    if (!m_sockets.listening())
        // Once per engine, never on an audio path.
        std::fprintf(
            stderr,
            "Veltrin discovery: UDP port 5353 is held by another program that does not "
            "share it (%s). Sources on the network are found by asking them directly "
            "every %lld s, and those that go away without a goodbye drop out after "
            "%u s; the sources of this machine are seen by other Veltrin programs of "
            "this machine only%s.\n",
            m_sockets.bindError(),
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(m_limits.directQueryPeriod)
                    .count()),
            kRecordTtlSeconds,
            m_sockets.hasLocal() ? "" : ", and not even by them: their loopback port is held too");
    m_thread = std::thread(&DiscoveryEngine::run, this);
}

DiscoveryEngine::~DiscoveryEngine()
{
    {
        std::lock_guard lock(m_mutex);
        send(m_responder.pendingGoodbyes(m_interfaces));
    }
    m_stop = true;
    m_sockets.wake();
    m_thread.join();
}

uint64_t DiscoveryEngine::addAnnouncer(Service service)
{
    uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextId++;
        m_responder.add(id, std::move(service), Clock::now());
    }
    m_sockets.wake();
    return id;
}

void DiscoveryEngine::removeAnnouncer(uint64_t id)
{
    std::lock_guard lock(m_mutex);
    send(m_responder.remove(id, m_interfaces, Clock::now()));
}

uint64_t DiscoveryEngine::addBrowser(std::vector<std::string> groups)
{
    uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        id = m_nextId++;
        BrowserState state;
        state.groups = orPublic(std::move(groups));
        m_browsers.emplace(id, std::move(state));
        m_querier.startBrowsing(now);
        if (m_browsingSince == Clock::time_point{})
            m_browsingSince = now;
        recomputeSources(now); // a second browser starts from what the first one knows
    }
    m_sockets.wake();
    return id;
}

void DiscoveryEngine::removeBrowser(uint64_t id)
{
    std::lock_guard lock(m_mutex);
    m_browsers.erase(id);
    if (m_browsers.empty()) {
        // Nobody reads the cache any more: it is not kept up to date either (see
        // takeResponse), so it goes now rather than stand stale for a later browser.
        m_cache.clear();
        m_querier.forgetMissing();
        m_namesHeard.clear();
        m_browsingSince = {};
    }
}

std::vector<FoundSource> DiscoveryEngine::sources(uint64_t browser) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_browsers.find(browser);
    return it == m_browsers.end() ? std::vector<FoundSource>{} : it->second.sources;
}

bool DiscoveryEngine::waitForChange(uint64_t browser, uint32_t timeoutMs)
{
    std::unique_lock lock(m_mutex);
    const auto changed = [&] {
        const auto it = m_browsers.find(browser);
        return it != m_browsers.end() && it->second.generation != it->second.seenGeneration;
    };
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), changed))
        return false;
    auto &state = m_browsers[browser];
    state.seenGeneration = state.generation;
    return true;
}

std::set<std::string> DiscoveryEngine::namesInUse() const
{
    std::lock_guard lock(m_mutex);
    std::set<std::string> names = m_responder.names();
    for (const std::string &name : m_namesHeard)
        if (!m_responder.retired(name))
            names.insert(name);
    return names;
}

DiscoveryEngine::Clock::time_point DiscoveryEngine::browsingSince() const
{
    std::lock_guard lock(m_mutex);
    return m_browsingSince;
}

DiscoveryEngine::Counters DiscoveryEngine::counters() const
{
    std::lock_guard lock(m_mutex);
    Counters c;
    c.received = m_received;
    c.malformed = m_malformed;
    c.sent = m_sockets.sent();
    c.sendErrors = m_sockets.sendErrors();
    c.evicted = m_cache.evicted();
    c.refused = m_cache.refused();
    return c;
}

size_t DiscoveryEngine::cachedRecords() const
{
    std::lock_guard lock(m_mutex);
    return m_cache.size();
}

bool DiscoveryEngine::listingConfirmedOnly() const
{
    std::lock_guard lock(m_mutex);
    return m_listedConfirmedOnly;
}

void DiscoveryEngine::run()
{
    try {
        while (!m_stop) {
            int timeoutMs = static_cast<int>(kTick.count());
            {
                std::lock_guard lock(m_mutex);
                const auto now = Clock::now();
                runTimers(now);
                if (m_sourcesDirty) // lists held back for their budget are due before the tick
                    timeoutMs = std::clamp(
                        static_cast<int>(
                            std::chrono::ceil<std::chrono::milliseconds>(m_nextList - now).count()),
                        1, timeoutMs);
            }
            const MdnsSockets::Ready ready = m_sockets.wait(timeoutMs);
            if (ready.mdns)
                receive(Channel::Mdns);
            if (ready.direct)
                receive(Channel::Direct);
            if (ready.local)
                receive(Channel::Local);
        }
    } catch (...) {
        // Only allocation can throw here; discovery stops, the process goes on.
    }
}

void DiscoveryEngine::receive(Channel channel)
{
    // A bounded number per wake-up: under a flood the timers (announcements, expiry, the
    // lists) still run between bursts, and the rest waits in the socket's buffer.
    m_sockets.receive(channel, m_limits.maxDatagramsPerWake,
                      [&](const uint8_t *data, size_t size, const sockaddr_in &from, int ifindex,
                          bool toMulticast, bool truncated) {
                          std::lock_guard lock(m_mutex);
                          ++m_received;
                          if (truncated) {
                              ++m_malformed;
                              return;
                          }
                          handlePacket(data, size, from, ifindex, toMulticast, channel,
                                       Clock::now());
                      });
    // Once per burst rather than once per datagram, and within the lists' budget: a flood
    // costs one pass over the cache now and then.
    std::lock_guard lock(m_mutex);
    const auto now = Clock::now();
    relistIfDue(now);
    resolveMissing(now);
}

void DiscoveryEngine::handlePacket(const uint8_t *data, size_t size, const sockaddr_in &from,
                                   int ifindex, bool toMulticast, Channel channel,
                                   Clock::time_point now)
{
    const std::optional<DnsMessage> message = parseDnsMessage(data, size);
    if (!message) {
        ++m_malformed;
        return;
    }
    if (channel == Channel::Direct) { // answers to our direct queries
        if (message->isResponse())
            takeResponse(*message, from, ifindex, m_querier.isOurQuery(message->id), now);
        return;
    }
    const MdnsInterface *itf = interfaceByIndex(ifindex);
    if (!itf || (channel == Channel::Local && !itf->loopback))
        return; // an interface the configuration leaves out
    const uint16_t port = channel == Channel::Local ? kLocalPort : kPort;
    if (message->isResponse()) {
        if (ntohs(from.sin_port) == port)
            takeResponse(*message, from, ifindex, false, now);
    } else {
        answerQuery(*message, from, ifindex, toMulticast, channel);
    }
}

void DiscoveryEngine::takeResponse(const DnsMessage &message, const sockaddr_in &from, int ifindex,
                                   bool confirming, Clock::time_point now)
{
    if (m_browsers.empty())
        return; // an engine that only announces keeps no cache: nothing would read it
    const RecordCache::Taken taken = m_cache.take(message, from.sin_addr, ifindex, confirming, now);
    if (taken.pressureBegan)
        m_querier.askDirectlyNow(now); // real sources answer and are listed again
    for (const auto &[type, name] : taken.toResolve)
        m_querier.noteMissing(ifindex, type, name);
    m_sourcesDirty |= taken.changed;
}

void DiscoveryEngine::resolveMissing(Clock::time_point now)
{
    // Ask for what the answers left out: the SRV and TXT of new instances, the address of
    // new hosts.
    const auto asks = m_querier.resolve(
        now,
        [&](int ifindex, const DnsName &name, uint16_t type) {
            return m_cache.has(ifindex, name, type);
        },
        [&](int ifindex) { return interfaceByIndex(ifindex) != nullptr; });
    for (const auto &[ifindex, questions] : asks)
        ask(questions, ifindex, now);
}

void DiscoveryEngine::answerQuery(const DnsMessage &query, const sockaddr_in &from, int ifindex,
                                  bool toMulticast, Channel channel)
{
    const MdnsInterface *itf = interfaceByIndex(ifindex);
    if (!itf)
        return;
    const uint16_t port = channel == Channel::Local ? kLocalPort : kPort;
    const bool legacy = ntohs(from.sin_port) != port;
    const Responder::Reply reply = m_responder.answer(query, *itf, toMulticast, legacy);
    for (const DnsMessage &message : reply.messages) {
        if (reply.unicast)
            m_sockets.send(message, channel, from, nullptr);
        else
            m_sockets.send(message, channel, MdnsSockets::group(port), itf);
    }
}

void DiscoveryEngine::send(const Responder::Outgoing &messages)
{
    for (const auto &[ifindex, message] : messages)
        if (const MdnsInterface *itf = interfaceByIndex(ifindex))
            m_sockets.multicast(message, *itf);
}

void DiscoveryEngine::ask(const std::vector<DnsQuestion> &questions, int ifindex,
                          Clock::time_point now)
{
    const MdnsInterface *itf = interfaceByIndex(ifindex);
    if (!itf)
        return;
    DnsMessage query;
    query.questions = questions;
    if (m_sockets.listening()) {
        m_sockets.send(query, Channel::Mdns, MdnsSockets::group(kPort), itf);
        return;
    }
    askDirectly(questions, ifindex, now);
    if (itf->loopback && m_sockets.hasLocal())
        m_sockets.send(query, Channel::Local, MdnsSockets::group(kLocalPort), itf);
}

void DiscoveryEngine::askEverywhere(const std::vector<DnsQuestion> &questions,
                                    Clock::time_point now)
{
    for (const auto &[index, itf] : m_interfaces)
        ask(questions, index, now);
}

// A one-shot query from the ephemeral port (RFC 6762 section 5.1): responders answer it by
// unicast to that port, with its id, where neither a flood of multicast nor the program that
// holds port 5353 gets in the way. An answer with the id is as good as a confirmation.
void DiscoveryEngine::askDirectly(const std::vector<DnsQuestion> &questions, int ifindex,
                                  Clock::time_point now)
{
    const MdnsInterface *itf = interfaceByIndex(ifindex);
    if (!itf)
        return;
    DnsMessage query;
    query.id = m_querier.newQueryId(now);
    query.questions = questions;
    m_sockets.send(query, Channel::Direct, MdnsSockets::group(kPort), itf);
}

void DiscoveryEngine::runTimers(Clock::time_point now)
{
    if (now >= m_nextInterfaceScan) {
        refreshInterfaces(now);
        m_nextInterfaceScan = now + kInterfaceScanPeriod;
    }
    send(m_responder.due(m_interfaces, now));
    if (!m_browsers.empty()) {
        if (m_querier.browseDue(now))
            askEverywhere({browseQuestion()}, now);
        if (m_querier.directDue(!m_sockets.listening() || m_cache.underPressure(now), now))
            for (const auto &[index, itf] : m_interfaces)
                askDirectly({browseQuestion()}, index, now);
        if (!m_extraServers.empty() && m_querier.extraDue(now)) {
            DnsMessage query;
            query.id = m_querier.newQueryId(now);
            query.questions = {browseQuestion()};
            for (const sockaddr_in &server : m_extraServers)
                m_sockets.send(query, Channel::Direct, server, nullptr);
        }
    }
    expireCache(now);
    // The flood is over: unconfirmed sources may be listed again.
    if (m_listedConfirmedOnly && !m_cache.underPressure(now))
        m_sourcesDirty = true;
    relistIfDue(now);
}

void DiscoveryEngine::relistIfDue(Clock::time_point now)
{
    if (!m_sourcesDirty)
        return;
    if (!m_cache.underPressure(now)) {
        recomputeSources(now);
        return;
    }
    // A token bucket: listBurst lists at once, then listsPerSecond.
    const double rate = std::max(1, m_limits.listsPerSecond);
    m_listTokens = std::min<double>(
        std::max(1, m_limits.listBurst),
        m_listTokens + rate * std::chrono::duration<double>(now - m_listTokensAt).count());
    m_listTokensAt = now;
    if (m_listTokens >= 1) {
        m_listTokens -= 1;
        recomputeSources(now);
    } else {
        m_nextList = now
                     + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>((1 - m_listTokens) / rate));
    }
}

void DiscoveryEngine::expireCache(Clock::time_point now)
{
    const RecordCache::Expired expired = m_cache.expire(now);
    m_sourcesDirty |= expired.changed;
    if (m_browsers.empty())
        return;
    for (const auto &[ifindex, questions] : expired.refresh)
        // Several messages when there are many: one that does not fit a datagram is not sent.
        for (size_t from = 0; from < questions.size(); from += Querier::kMaxQuestions)
            ask(std::vector<DnsQuestion>(questions.begin() + static_cast<std::ptrdiff_t>(from),
                                         questions.begin()
                                             + static_cast<std::ptrdiff_t>(std::min(
                                                 questions.size(), from + Querier::kMaxQuestions))),
                ifindex, now);
}

void DiscoveryEngine::refreshInterfaces(Clock::time_point now)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return;
    std::map<int, MdnsInterface> found;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
            continue;
        const int index = static_cast<int>(if_nametoindex(i->ifa_name));
        if (index == 0)
            continue;
        MdnsInterface &itf = found[index];
        itf.index = index;
        itf.name = i->ifa_name;
        itf.loopback = i->ifa_flags & IFF_LOOPBACK;
        itf.addresses.push_back(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr);
    }
    freeifaddrs(list);
    for (auto it = found.begin(); it != found.end();)
        it =
            adapterAllowed(it->second.name, it->second.addresses) ? std::next(it) : found.erase(it);

    for (const auto &[index, old] : m_interfaces) {
        if (found.count(index))
            continue;
        m_sockets.join(old, false);
        m_cache.dropInterface(index);
        m_sourcesDirty = true;
    }
    bool added = false;
    for (const auto &[index, itf] : found) {
        const auto old = m_interfaces.find(index);
        const bool same =
            old != m_interfaces.end() && old->second.addresses.size() == itf.addresses.size()
            && std::equal(itf.addresses.begin(), itf.addresses.end(), old->second.addresses.begin(),
                          [](const in_addr &x, const in_addr &y) { return x.s_addr == y.s_addr; });
        if (same)
            continue;
        if (old == m_interfaces.end())
            m_sockets.join(itf, true);
        added = true;
    }
    m_interfaces = std::move(found);
    if (added) { // new or renumbered interfaces: tell them about us and ask them what they have
        m_responder.restart(now);
        m_querier.rebrowse(now);
    }
}

bool DiscoveryEngine::adapterAllowed(const std::string &name,
                                     const std::vector<in_addr> &addresses) const
{
    if (m_allowedAdapters.empty())
        return true;
    for (const std::string &allowed : m_allowedAdapters) {
        if (allowed == name)
            return true;
        for (const in_addr &address : addresses)
            if (allowed == ipText(address))
                return true;
    }
    return false;
}

const MdnsInterface *DiscoveryEngine::interfaceByIndex(int index) const
{
    const auto it = m_interfaces.find(index);
    return it == m_interfaces.end() ? nullptr : &it->second;
}

void DiscoveryEngine::recomputeSources(Clock::time_point now)
{
    m_sourcesDirty = false;
    m_listedConfirmedOnly = m_cache.underPressure(now);
    const std::map<std::string, RecordCache::Listed> byName = m_cache.sources(
        m_listedConfirmedOnly,
        [&](int ifindex) {
            const MdnsInterface *itf = interfaceByIndex(ifindex);
            return itf && itf->loopback;
        },
        m_namesHeard);

    bool notify = false;
    for (auto &entry : m_browsers) {
        BrowserState &browser = entry.second;
        const std::vector<std::string> &groups = browser.groups;
        std::vector<FoundSource> list;
        for (const auto &[name, candidate] : byName) {
            const bool member = std::any_of(
                candidate.groups.begin(), candidate.groups.end(), [&](const std::string &g) {
                    return std::find(groups.begin(), groups.end(), g) != groups.end();
                });
            if (member)
                list.push_back(candidate.source);
        }
        if (list != browser.sources) {
            browser.sources = std::move(list);
            ++browser.generation;
            notify = true;
        }
    }
    if (notify)
        m_changed.notify_all();
}

} // namespace veltrin::rt
