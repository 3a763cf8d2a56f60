#include "DiscoveryEngine.h"

#include "SafeText.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrin::rt {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kGroupAddress = 0xE00000FB; // 224.0.0.251, host order
constexpr uint32_t kLegacyTtlCap = 10;         // RFC 6762: answers to one-shot queriers
constexpr uint32_t kMaxCachedTtl = 4500;
constexpr size_t kMaxDatagram = 9000;
constexpr size_t kPacketBudget = 1400; // stay below a typical MTU
// A full name fits one TXT string after "name=" (255 bytes); longer ones cannot be announced.
constexpr size_t kMaxSourceNameBytes = 250;
constexpr auto kTick = 250ms;
constexpr auto kInterfaceScanPeriod = 2s;
constexpr auto kExtraQueryPeriod = 2s;
constexpr auto kResolveInterval = 1s;
constexpr size_t kMaxResolveQuestions = 32;
constexpr size_t kMaxPendingResolve = 256;
constexpr auto kGoodbyeRepeatDelay = 250ms;
// Answers to a direct query come within milliseconds; the id is kept a little longer than a
// busy host could take, and the list of ids in flight stays short.
constexpr auto kQueryIdLifetime = 5s;
constexpr size_t kMaxQueryIds = 64;

const DnsName &servicesMetaName()
{
    static const DnsName name{"_services", "_dns-sd", "_udp", "local"};
    return name;
}

// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string utf8Prefix(const std::string &text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

std::string lowered(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string recordPrefix(int ifindex, const DnsRecord &r)
{
    return std::to_string(ifindex) + '|' + std::to_string(r.type) + '|' + nameKey(r.name) + '|';
}

std::string recordKey(int ifindex, const DnsRecord &r)
{
    std::string key = recordPrefix(ifindex, r);
    switch (r.type) {
    case kTypeA:
        key.append(reinterpret_cast<const char *>(r.ipv4.data()), r.ipv4.size());
        break;
    case kTypePtr:
        key += nameKey(r.target);
        break;
    case kTypeSrv:
        key += std::to_string(r.port) + '|' + nameKey(r.target);
        break;
    case kTypeTxt:
        for (const std::string &s : r.txt)
            key += std::to_string(s.size()) + ':' + s;
        break;
    default:
        break;
    }
    return key;
}

// Identity of a record inside one message, to leave out repeats.
std::string messageKey(const DnsRecord &r)
{
    return recordKey(0, r);
}

std::optional<std::string> txtValue(const std::vector<std::string> &txt, const std::string &key)
{
    for (const std::string &entry : txt) {
        const size_t eq = entry.find('=');
        if (eq != std::string::npos && lowered(entry.substr(0, eq)) == key)
            return entry.substr(eq + 1);
    }
    return std::nullopt;
}

std::vector<std::string> splitGroups(const std::string &text)
{
    std::vector<std::string> groups;
    size_t from = 0;
    while (from <= text.size()) {
        size_t comma = text.find(',', from);
        if (comma == std::string::npos)
            comma = text.size();
        std::string group = lowered(text.substr(from, comma - from));
        group.erase(0, group.find_first_not_of(' '));
        group.erase(group.find_last_not_of(' ') + 1);
        if (!group.empty())
            groups.push_back(group);
        from = comma + 1;
    }
    return groups;
}

std::vector<std::string> orPublic(std::vector<std::string> groups)
{
    if (groups.empty())
        groups.push_back("public");
    return groups;
}

sockaddr_in groupAddress(uint16_t port = DiscoveryEngine::kPort)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(kGroupAddress);
    return address;
}

std::string ipText(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

struct RecordGroup {
    std::vector<DnsRecord> answers, additionals;
};

// Packs groups of records into as few messages as fit the packet budget; a group is never
// split, and a record already in a message is not repeated in it.
std::vector<DnsMessage> pack(const std::vector<RecordGroup> &groups, const DnsMessage &header)
{
    std::vector<DnsMessage> messages;
    DnsMessage current = header;
    std::set<std::string> present;
    bool hasRecords = false;
    for (const RecordGroup &group : groups) {
        DnsMessage candidate = current;
        std::set<std::string> candidatePresent = present;
        for (const DnsRecord &r : group.answers)
            if (candidatePresent.insert(messageKey(r)).second)
                candidate.answers.push_back(r);
        for (const DnsRecord &r : group.additionals)
            if (candidatePresent.insert(messageKey(r)).second)
                candidate.additionals.push_back(r);
        const auto bytes = writeDnsMessage(candidate);
        if (hasRecords && (!bytes || bytes->size() > kPacketBudget)) {
            messages.push_back(current);
            current = header;
            present.clear();
            candidate = header;
            candidate.answers = group.answers;
            candidate.additionals = group.additionals;
            for (const DnsRecord &r : group.answers)
                present.insert(messageKey(r));
            for (const DnsRecord &r : group.additionals)
                present.insert(messageKey(r));
            candidatePresent = present;
        }
        current = std::move(candidate);
        present = std::move(candidatePresent);
        hasRecords = true;
    }
    if (hasRecords)
        messages.push_back(current);
    return messages;
}

void setInt(int fd, int level, int option, int value)
{
    setsockopt(fd, level, option, &value, sizeof value);
}

// A UDP socket on `port` of every address, shared with the other sockets on it, that reports
// the interface and destination of what it receives. Invalid when the port cannot be had.
UniqueFd sharedMulticastSocket(uint16_t port, int &bindError)
{
    UniqueFd socketFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socketFd) {
        bindError = errno;
        return socketFd;
    }
    const int fd = socketFd.get();
    // Other responders on the host (avahi-daemon, other Veltrin processes) bind the same
    // port; every one of them gets each multicast datagram.
    setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    setInt(fd, SOL_SOCKET, SO_REUSEPORT, 1);
    setInt(fd, IPPROTO_IP, IP_PKTINFO, 1);
    setInt(fd, IPPROTO_IP, IP_MULTICAST_TTL, 255);
    setInt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 1);
    // Only the groups joined here, on the interfaces joined here: Linux otherwise hands
    // a wildcard socket every group that any socket of the host joined.
    setInt(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    setInt(fd, SOL_SOCKET, SO_RCVBUF, 1 << 20); // bursts of answers; the kernel caps it
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        bindError = errno;
        return UniqueFd();
    }
    return socketFd;
}

std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<DiscoveryEngine>> g_registry;

} // namespace

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        close(m_fd);
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

const DnsName &DiscoveryEngine::serviceType()
{
    static const DnsName name{"_veltrin", "_tcp", "local"};
    return name;
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
    : m_allowedAdapters(config.allowedAdapters), m_limits(limits)
{
    for (const std::string &ip : config.extraIps) {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(kPort);
        if (inet_pton(AF_INET, ip.c_str(), &server.sin_addr) == 1)
            m_extraServers.push_back(server);
    }

    int bindError = 0;
    m_multicastFd = sharedMulticastSocket(kPort, bindError);
    m_listening = bool(m_multicastFd);
    if (!m_listening) {
        int localError = 0;
        m_localFd = sharedMulticastSocket(kLocalPort, localError);
        // Once per engine, never on an audio path.
        std::fprintf(stderr,
                     "Veltrin discovery: UDP port 5353 is held by another program that does not "
                     "share it (%s). Sources on the network are found by asking them directly "
                     "every %lld s, and those that go away without a goodbye drop out after "
                     "%u s; the sources of this machine are seen by other Veltrin programs of "
                     "this machine only%s.\n",
                     std::strerror(bindError),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                m_limits.directQueryPeriod)
                                                .count()),
                     kRecordTtlSeconds,
                     m_localFd ? "" : ", and not even by them: their loopback port is held too");
    }
    m_unicastFd = UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (m_unicastFd) {
        setInt(m_unicastFd.get(), IPPROTO_IP, IP_PKTINFO, 1);
        setInt(m_unicastFd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, 1);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        bind(m_unicastFd.get(), reinterpret_cast<const sockaddr *>(&any), sizeof any);
    }
    m_wakeFd = UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    m_thread = std::thread(&DiscoveryEngine::run, this);
}

DiscoveryEngine::~DiscoveryEngine()
{
    {
        std::lock_guard lock(m_mutex);
        for (const auto &[due, records] : m_goodbyeRepeats) {
            DnsMessage goodbye;
            goodbye.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
            goodbye.answers = records;
            for (const auto &[index, itf] : m_interfaces)
                multicast(goodbye, itf);
        }
        m_goodbyeRepeats.clear();
    }
    m_stop = true;
    if (m_wakeFd) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = write(m_wakeFd.get(), &one, sizeof one);
    }
    m_thread.join();
}

uint64_t DiscoveryEngine::addAnnouncer(Service service)
{
    AnnouncerState state;
    state.service = std::move(service);
    state.service.groups = orPublic(state.service.groups);
    state.instance = serviceType();
    std::string label = utf8Prefix(state.service.fullName, kMaxLabelLength);
    state.instance.insert(state.instance.begin(), label.empty() ? "unnamed" : label);
    state.nextAnnounce = Clock::now();
    uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextId++;
        m_retiredNames.erase(state.service.fullName);
        m_announcers.emplace(id, std::move(state));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = write(m_wakeFd.get(), &one, sizeof one);
    return id;
}

void DiscoveryEngine::removeAnnouncer(uint64_t id)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_announcers.find(id);
    if (it == m_announcers.end())
        return;
    announce(it->second, 0);
    // Said twice, a little apart, in case one datagram is lost.
    m_goodbyeRepeats.emplace_back(Clock::now() + kGoodbyeRepeatDelay,
                                  serviceRecords(it->second, 0));
    m_retiredNames[it->second.service.fullName] = Clock::now();
    m_announcers.erase(it);
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
        m_browseQueries = 0;
        m_nextBrowseQuery = now;
        m_nextExtraQuery = now;
        if (m_browsingSince == Clock::time_point{})
            m_browsingSince = now;
        recomputeSources(now); // a second browser starts from what the first one knows
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = write(m_wakeFd.get(), &one, sizeof one);
    return id;
}

void DiscoveryEngine::removeBrowser(uint64_t id)
{
    std::lock_guard lock(m_mutex);
    m_browsers.erase(id);
    if (m_browsers.empty()) {
        // Nobody reads the cache any more: it is not kept up to date either (see
        // handleResponse), so it goes now rather than stand stale for a later browser.
        m_cache.clear();
        m_byAge[0].clear();
        m_byAge[1].clear();
        m_srvTargets.clear();
        m_toResolve.clear();
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
    std::set<std::string> names;
    for (const std::string &name : m_namesHeard)
        if (!m_retiredNames.count(name))
            names.insert(name);
    for (const auto &[id, a] : m_announcers)
        names.insert(a.service.fullName);
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
    return m_counters;
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
            pollfd fds[4] = {{m_multicastFd.get(), POLLIN, 0},
                             {m_unicastFd.get(), POLLIN, 0},
                             {m_wakeFd.get(), POLLIN, 0},
                             {m_localFd.get(), POLLIN, 0}};
            if (poll(fds, 4, timeoutMs) <= 0)
                continue;
            if (fds[2].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const auto n = read(m_wakeFd.get(), &count, sizeof count);
            }
            if (fds[0].revents & POLLIN)
                receiveFrom(m_multicastFd.get(), Channel::Mdns);
            if (fds[1].revents & POLLIN)
                receiveFrom(m_unicastFd.get(), Channel::Direct);
            if (fds[3].revents & POLLIN)
                receiveFrom(m_localFd.get(), Channel::Local);
        }
    } catch (...) {
        // Only allocation can throw here; discovery stops, the process goes on.
    }
}

void DiscoveryEngine::receiveFrom(int fd, Channel channel)
{
    uint8_t buffer[kMaxDatagram];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    // A bounded number per wake-up: under a flood the timers (announcements, expiry, the
    // lists) still run between bursts, and the rest waits in the socket's buffer.
    for (size_t n = 0; n < m_limits.maxDatagramsPerWake; ++n) {
        sockaddr_in from{};
        iovec iov{buffer, sizeof buffer};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t size = recvmsg(fd, &msg, 0);
        if (size < 0)
            break;
        int ifindex = 0;
        bool toMulticast = false;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                ifindex = info.ipi_ifindex;
                toMulticast = IN_MULTICAST(ntohl(info.ipi_addr.s_addr));
            }
        }
        std::lock_guard lock(m_mutex);
        ++m_counters.received;
        if (msg.msg_flags & MSG_TRUNC) {
            ++m_counters.malformed;
            continue;
        }
        handlePacket(buffer, static_cast<size_t>(size), from, ifindex, toMulticast, channel,
                     Clock::now());
    }
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
        ++m_counters.malformed;
        return;
    }
    if (channel == Channel::Direct) { // answers to our direct queries
        if (message->isResponse())
            handleResponse(*message, from, ifindex, isOurQuery(message->id), now);
        return;
    }
    const Interface *itf = interfaceByIndex(ifindex);
    if (!itf || (channel == Channel::Local && !itf->loopback))
        return; // an interface the configuration leaves out
    const uint16_t port = channel == Channel::Local ? kLocalPort : kPort;
    if (message->isResponse()) {
        if (ntohs(from.sin_port) == port)
            handleResponse(*message, from, ifindex, false, now);
    } else {
        answerQuery(*message, from, ifindex, toMulticast, channel);
    }
}

void DiscoveryEngine::index(Cache::iterator it)
{
    CacheEntry &e = it->second;
    e.indexedAt = e.received;
    m_byAge[e.confirmed].emplace(e.indexedAt, it->first);
}

void DiscoveryEngine::unindex(Cache::iterator it)
{
    m_byAge[it->second.confirmed].erase({it->second.indexedAt, it->first});
}

DiscoveryEngine::Cache::iterator DiscoveryEngine::eraseEntry(Cache::iterator it)
{
    unindex(it);
    if (it->second.record.type == kTypeSrv) {
        const auto target = m_srvTargets.find(nameKey(it->second.record.target));
        if (target != m_srvTargets.end() && --target->second <= 0)
            m_srvTargets.erase(target);
    }
    return m_cache.erase(it);
}

bool DiscoveryEngine::makeRoom(bool forConfirmed, Clock::time_point now)
{
    const auto evictOldest = [&](bool confirmed) {
        const std::string key = m_byAge[confirmed].begin()->second;
        eraseEntry(m_cache.find(key));
        ++m_counters.evicted;
        if (confirmed)
            return;
        if (!underPressure(now)) {
            m_nextDirectQuery = now; // ask at once: real sources answer and are listed again
            if (!m_saidPressure)
                std::fprintf(
                    stderr,
                    "Veltrin discovery: more than %zu records of sources that nobody "
                    "confirmed at once (a flood of announcements?); lists hold only "
                    "sources that answer a direct query or are heard again, until "
                    "none has come for %lld s (said once).\n",
                    m_limits.maxUnconfirmed,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::seconds>(m_limits.pressureHold)
                            .count()));
            m_saidPressure = true;
        }
        m_pressureUntil = now + m_limits.pressureHold;
        m_sourcesDirty = true;
    };
    if (!forConfirmed && m_byAge[0].size() >= m_limits.maxUnconfirmed) {
        if (m_byAge[0].empty())
            return false;
        evictOldest(false);
    }
    if (m_cache.size() >= m_limits.maxRecords) {
        if (!m_byAge[0].empty())
            evictOldest(false);
        else if (forConfirmed && !m_byAge[1].empty())
            evictOldest(true);
        else
            return false;
    }
    return true;
}

void DiscoveryEngine::handleResponse(const DnsMessage &message, const sockaddr_in &from,
                                     int ifindex, bool confirming, Clock::time_point now)
{
    if (m_browsers.empty())
        return; // an engine that only announces keeps no cache: nothing would read it
    const DnsName &service = serviceType();
    const auto isInstance = [&](const DnsName &name) {
        return name.size() == service.size() + 1
               && sameName(DnsName(name.begin() + 1, name.end()), service);
    };
    const auto isTarget = [&](const DnsName &name) {
        return m_srvTargets.count(nameKey(name)) > 0;
    };
    const auto toResolve = [&](uint16_t type, const DnsName &name) {
        if (m_toResolve.size() < kMaxPendingResolve)
            m_toResolve.emplace(std::make_tuple(ifindex, type, nameKey(name)), name);
    };

    bool changed = false;
    const auto store = [&](const DnsRecord &r) {
        if (r.rclass != kClassIn)
            return;
        const std::string key = recordKey(ifindex, r);
        if (r.ttl == 0) { // goodbye
            if (const auto it = m_cache.find(key); it != m_cache.end()) {
                eraseEntry(it);
                changed = true;
            }
            return;
        }
        if (r.cacheFlush) { // RFC 6762 10.2: this record set replaces older ones
            const std::string prefix = recordPrefix(ifindex, r);
            for (auto it = m_cache.lower_bound(prefix);
                 it != m_cache.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
                if (it->first != key && it->second.received < now - 1s) {
                    it = eraseEntry(it);
                    changed = true;
                } else {
                    ++it;
                }
            }
        }
        auto it = m_cache.find(key);
        if (it == m_cache.end()) {
            if (!makeRoom(confirming, now)) {
                ++m_counters.refused;
                return;
            }
            it = m_cache.emplace(key, CacheEntry{}).first;
            it->second.firstHeard = now;
            it->second.confirmed = confirming;
            if (r.type == kTypeSrv)
                ++m_srvTargets[nameKey(r.target)];
            changed = true;
        } else {
            unindex(it);
            CacheEntry &known = it->second;
            changed |= known.record.txt != r.txt;
            if (!known.confirmed
                && (confirming || now - known.firstHeard >= m_limits.confirmAfter)) {
                known.confirmed = true;
                changed = true; // listed now if the lists hold confirmed sources only
            }
        }
        CacheEntry &entry = it->second;
        entry.record = r;
        entry.ifindex = ifindex;
        entry.from = from.sin_addr;
        entry.received = now;
        const Clock::duration lifetime = std::chrono::seconds(std::min(r.ttl, kMaxCachedTtl));
        entry.expires =
            now
            + (entry.confirmed ? lifetime
                               : std::min<Clock::duration>(lifetime, m_limits.unconfirmedLifetime));
        entry.refreshQueried = false;
        index(it);
        if (r.type == kTypePtr) {
            toResolve(kTypeSrv, r.target);
            toResolve(kTypeTxt, r.target);
        } else if (r.type == kTypeSrv) {
            toResolve(kTypeA, r.target);
        }
    };

    // A bounded number of records per datagram: what a real answer holds, not what a
    // hand-made one can.
    size_t budget = m_limits.maxRecordsPerMessage;
    const std::vector<DnsRecord> *sections[2] = {&message.answers, &message.additionals};
    for (const auto *section : sections)
        for (const DnsRecord &r : *section)
            if (budget > 0
                && ((r.type == kTypePtr && sameName(r.name, service) && isInstance(r.target))
                    || ((r.type == kTypeSrv || r.type == kTypeTxt) && isInstance(r.name)))) {
                --budget;
                store(r);
            }
    for (const auto *section : sections)
        for (const DnsRecord &r : *section)
            if (budget > 0 && r.type == kTypeA && isTarget(r.name)) {
                --budget;
                store(r);
            }
    m_sourcesDirty |= changed;
}

void DiscoveryEngine::resolveMissing(Clock::time_point now)
{
    if (m_toResolve.empty())
        return;
    // A token bucket: a flood of incomplete answers gets a trickle of questions back.
    const double elapsed = std::chrono::duration<double>(now - m_resolveTokensAt).count();
    m_resolveTokensAt = now;
    const double burst = std::max(1, m_limits.resolveMessagesPerSecond);
    m_resolveTokens =
        std::min(burst, m_resolveTokens + elapsed * m_limits.resolveMessagesPerSecond);

    // Ask for what the answers left out: the SRV and TXT of new instances, the address of
    // new hosts.
    const auto have = [&](int ifindex, const DnsName &name, uint16_t type) {
        DnsRecord probe;
        probe.name = name;
        probe.type = type;
        const std::string prefix = recordPrefix(ifindex, probe);
        const auto it = m_cache.lower_bound(prefix);
        return it != m_cache.end() && it->first.compare(0, prefix.size(), prefix) == 0;
    };
    std::map<int, std::vector<DnsQuestion>> questions;
    for (auto it = m_toResolve.begin(); it != m_toResolve.end();) {
        const auto &[ifindex, type, key] = it->first;
        std::vector<DnsQuestion> &list = questions[ifindex];
        if (list.size() >= kMaxResolveQuestions) {
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
    for (const auto &[ifindex, list] : questions) {
        if (list.empty() || !interfaceByIndex(ifindex))
            continue;
        if (m_resolveTokens < 1)
            break;
        m_resolveTokens -= 1;
        ask(list, ifindex);
    }
}

void DiscoveryEngine::answerQuery(const DnsMessage &query, const sockaddr_in &from, int ifindex,
                                  bool toMulticast, Channel channel)
{
    const Interface *itf = interfaceByIndex(ifindex);
    if (!itf || m_announcers.empty())
        return;
    const uint16_t port = channel == Channel::Local ? kLocalPort : kPort;
    const int fd = channel == Channel::Local ? m_localFd.get() : m_multicastFd.get();
    const bool legacy = ntohs(from.sin_port) != port;
    const uint32_t ttl = legacy ? std::min(kRecordTtlSeconds, kLegacyTtlCap) : kRecordTtlSeconds;
    const DnsName &service = serviceType();
    const auto knownAnswer = [&](const AnnouncerState &a) {
        for (const DnsRecord &r : query.answers)
            if (r.type == kTypePtr && sameName(r.name, service) && sameName(r.target, a.instance)
                && r.ttl >= kRecordTtlSeconds / 2)
                return true;
        return false;
    };

    std::vector<RecordGroup> groups;
    bool unicastAsked = !toMulticast || legacy;
    for (const DnsQuestion &q : query.questions) {
        if (q.qclass != kClassIn && q.qclass != kTypeAny)
            continue;
        const bool any = q.type == kTypeAny;
        unicastAsked |= q.unicastResponse;
        if ((q.type == kTypePtr || any) && sameName(q.name, servicesMetaName())) {
            DnsRecord r;
            r.name = servicesMetaName();
            r.type = kTypePtr;
            r.ttl = ttl;
            r.target = service;
            groups.push_back({{r}, {}});
        }
        for (const auto &[id, a] : m_announcers) {
            const std::vector<DnsRecord> records = serviceRecords(a, ttl); // PTR, SRV, TXT
            const std::vector<DnsRecord> addresses = addressRecords(a, *itf, ttl);
            if ((q.type == kTypePtr || any) && sameName(q.name, service) && !knownAnswer(a)) {
                RecordGroup group{{records[0]}, {records[1], records[2]}};
                group.additionals.insert(group.additionals.end(), addresses.begin(),
                                         addresses.end());
                groups.push_back(std::move(group));
            }
            if (sameName(q.name, a.instance)) {
                RecordGroup group;
                if (q.type == kTypeSrv || any) {
                    group.answers.push_back(records[1]);
                    group.additionals = addresses;
                }
                if (q.type == kTypeTxt || any)
                    group.answers.push_back(records[2]);
                if (!group.answers.empty())
                    groups.push_back(std::move(group));
            }
            if ((q.type == kTypeA || any) && !addresses.empty()
                && sameName(q.name, addresses[0].name))
                groups.push_back({addresses, {}});
        }
    }
    if (groups.empty())
        return;

    DnsMessage header;
    header.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
    if (legacy) {
        header.id = query.id;
        header.questions = query.questions;
        for (RecordGroup &group : groups)
            for (auto *section : {&group.answers, &group.additionals})
                for (DnsRecord &r : *section)
                    r.cacheFlush = false;
    }
    for (const DnsMessage &message : pack(groups, header)) {
        if (unicastAsked)
            sendMessage(message, fd, from, 0);
        else
            sendMessage(message, fd, groupAddress(port), ifindex);
    }
}

std::vector<DnsRecord> DiscoveryEngine::serviceRecords(const AnnouncerState &a, uint32_t ttl) const
{
    DnsRecord ptr;
    ptr.name = serviceType();
    ptr.type = kTypePtr;
    ptr.ttl = ttl;
    ptr.target = a.instance;

    DnsRecord srv;
    srv.name = a.instance;
    srv.type = kTypeSrv;
    srv.cacheFlush = true;
    srv.ttl = ttl;
    srv.port = a.service.port;
    srv.target = {a.service.hostLabel, "local"};

    DnsRecord txt;
    txt.name = a.instance;
    txt.type = kTypeTxt;
    txt.cacheFlush = true;
    txt.ttl = ttl;
    std::string groups;
    for (const std::string &g : a.service.groups)
        groups += (groups.empty() ? "" : ",") + g;
    txt.txt = {"txtvers=1", utf8Prefix("name=" + a.service.fullName, 255),
               utf8Prefix("groups=" + groups, 255)};
    return {ptr, srv, txt};
}

std::vector<DnsRecord> DiscoveryEngine::addressRecords(const AnnouncerState &a,
                                                       const Interface &itf, uint32_t ttl) const
{
    std::vector<DnsRecord> records;
    for (const in_addr &address : itf.addresses) {
        DnsRecord r;
        r.name = {a.service.hostLabel, "local"};
        r.type = kTypeA;
        r.cacheFlush = true;
        r.ttl = ttl;
        std::memcpy(r.ipv4.data(), &address.s_addr, 4);
        records.push_back(std::move(r));
    }
    return records;
}

void DiscoveryEngine::announce(const AnnouncerState &a, uint32_t ttl)
{
    DnsMessage message;
    message.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
    const std::vector<DnsRecord> records = serviceRecords(a, ttl);
    for (const auto &[index, itf] : m_interfaces) {
        message.answers = records;
        // A goodbye leaves the host's address alone: other services may still point at it.
        if (ttl > 0) {
            const std::vector<DnsRecord> addresses = addressRecords(a, itf, ttl);
            message.answers.insert(message.answers.end(), addresses.begin(), addresses.end());
        }
        multicast(message, itf);
    }
}

// Port 5353 when the engine has it. Otherwise only the loopback channel: announcements from
// any other port are ignored by every responder (RFC 6762 section 11).
void DiscoveryEngine::multicast(const DnsMessage &message, const Interface &itf)
{
    if (m_listening)
        sendMessage(message, m_multicastFd.get(), groupAddress(kPort), itf.index);
    else if (itf.loopback && m_localFd)
        sendMessage(message, m_localFd.get(), groupAddress(kLocalPort), itf.index);
}

void DiscoveryEngine::ask(const std::vector<DnsQuestion> &questions, int ifindex)
{
    const Interface *itf = interfaceByIndex(ifindex);
    if (!itf)
        return;
    DnsMessage query;
    query.questions = questions;
    if (m_listening) {
        sendMessage(query, m_multicastFd.get(), groupAddress(kPort), ifindex);
        return;
    }
    askDirectly(questions, ifindex, Clock::now());
    if (itf->loopback && m_localFd)
        sendMessage(query, m_localFd.get(), groupAddress(kLocalPort), ifindex);
}

void DiscoveryEngine::askEverywhere(const std::vector<DnsQuestion> &questions)
{
    for (const auto &[index, itf] : m_interfaces)
        ask(questions, index);
}

// A one-shot query from the ephemeral port (RFC 6762 section 5.1): responders answer it by
// unicast to that port, with its id, where neither a flood of multicast nor the program that
// holds port 5353 gets in the way. An answer with the id is as good as a confirmation.
void DiscoveryEngine::askDirectly(const std::vector<DnsQuestion> &questions, int ifindex,
                                  Clock::time_point now)
{
    DnsMessage query;
    query.id = newQueryId(now);
    query.questions = questions;
    sendMessage(query, m_unicastFd.get(), groupAddress(kPort), ifindex);
}

uint16_t DiscoveryEngine::newQueryId(Clock::time_point now)
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

bool DiscoveryEngine::isOurQuery(uint16_t id) const
{
    return id != 0 && std::any_of(m_queryIds.begin(), m_queryIds.end(), [id](const auto &sent) {
               return sent.second == id;
           });
}

void DiscoveryEngine::sendMessage(const DnsMessage &message, int fd, const sockaddr_in &to,
                                  int ifindex)
{
    const auto bytes = writeDnsMessage(message);
    if (!bytes || fd < 0)
        return;
    if (ifindex != 0) {
        const Interface *itf = interfaceByIndex(ifindex);
        if (!itf)
            return;
        // An explicit interface index makes multicast work on interfaces without the
        // MULTICAST flag too, loopback included.
        ip_mreqn request{};
        request.imr_multiaddr = to.sin_addr;
        if (!itf->addresses.empty())
            request.imr_address = itf->addresses.front();
        request.imr_ifindex = ifindex;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
    }
    const ssize_t sent = sendto(fd, bytes->data(), bytes->size(), 0,
                                reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (sent == static_cast<ssize_t>(bytes->size()))
        ++m_counters.sent;
    else
        ++m_counters.sendErrors;
}

void DiscoveryEngine::runTimers(Clock::time_point now)
{
    if (now >= m_nextInterfaceScan) {
        refreshInterfaces(now);
        m_nextInterfaceScan = now + kInterfaceScanPeriod;
    }
    for (auto &[id, a] : m_announcers) {
        if (now < a.nextAnnounce)
            continue;
        announce(a, kRecordTtlSeconds);
        ++a.announcements;
        // RFC 6762 8.3: the first two announcements one second apart, then the refreshes.
        a.nextAnnounce =
            now + (a.announcements < 2 ? std::chrono::milliseconds(1s) : kAnnouncePeriod);
    }
    if (!m_browsers.empty()) {
        if (m_browseQueries < 3 && now >= m_nextBrowseQuery) {
            askEverywhere({{serviceType(), kTypePtr, kClassIn, false}});
            ++m_browseQueries;
            m_nextBrowseQuery = now + std::chrono::seconds(m_browseQueries);
        }
        if ((!m_listening || underPressure(now)) && now >= m_nextDirectQuery) {
            for (const auto &[index, itf] : m_interfaces)
                askDirectly({{serviceType(), kTypePtr, kClassIn, false}}, index, now);
            m_nextDirectQuery = now + m_limits.directQueryPeriod;
        }
        if (!m_extraServers.empty() && now >= m_nextExtraQuery) {
            DnsMessage query;
            query.id = newQueryId(now);
            query.questions = {{serviceType(), kTypePtr, kClassIn, false}};
            for (const sockaddr_in &server : m_extraServers)
                sendMessage(query, m_unicastFd.get(), server, 0);
            m_nextExtraQuery = now + kExtraQueryPeriod;
        }
    }
    for (auto it = m_goodbyeRepeats.begin(); it != m_goodbyeRepeats.end();) {
        if (now < it->first) {
            ++it;
            continue;
        }
        DnsMessage goodbye;
        goodbye.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
        goodbye.answers = it->second;
        for (const auto &[index, itf] : m_interfaces)
            multicast(goodbye, itf);
        it = m_goodbyeRepeats.erase(it);
    }
    for (auto it = m_retiredNames.begin(); it != m_retiredNames.end();)
        it = it->second + std::chrono::seconds(kRecordTtlSeconds) < now ? m_retiredNames.erase(it)
                                                                        : std::next(it);
    expireCache(now);
    // The flood is over: unconfirmed sources may be listed again.
    if (m_listedConfirmedOnly && !underPressure(now))
        m_sourcesDirty = true;
    relistIfDue(now);
}

void DiscoveryEngine::relistIfDue(Clock::time_point now)
{
    if (!m_sourcesDirty)
        return;
    if (!underPressure(now)) {
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
    std::map<int, std::vector<DnsQuestion>> refresh;
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        CacheEntry &entry = it->second;
        if (entry.expires <= now) {
            it = eraseEntry(it);
            m_sourcesDirty = true;
            continue;
        }
        // RFC 6762 5.2: ask again when 80 % of the lifetime has gone.
        if (!entry.refreshQueried
            && now >= entry.received + (entry.expires - entry.received) * 4 / 5) {
            entry.refreshQueried = true;
            if (!m_browsers.empty())
                refresh[entry.ifindex].push_back(
                    {entry.record.name, entry.record.type, kClassIn, false});
        }
        ++it;
    }
    for (auto &[ifindex, questions] : refresh) {
        std::sort(questions.begin(), questions.end(),
                  [](const DnsQuestion &x, const DnsQuestion &y) {
                      return std::make_pair(nameKey(x.name), x.type)
                             < std::make_pair(nameKey(y.name), y.type);
                  });
        questions.erase(std::unique(questions.begin(), questions.end()), questions.end());
        // Several messages when there are many: one that does not fit a datagram is not sent.
        for (size_t from = 0; from < questions.size(); from += kMaxResolveQuestions)
            ask(std::vector<DnsQuestion>(questions.begin() + static_cast<std::ptrdiff_t>(from),
                                         questions.begin()
                                             + static_cast<std::ptrdiff_t>(std::min(
                                                 questions.size(), from + kMaxResolveQuestions))),
                ifindex);
    }
    for (auto it = m_lastResolve.begin(); it != m_lastResolve.end();)
        it = it->second + 10s < now ? m_lastResolve.erase(it) : std::next(it);
}

void DiscoveryEngine::joinGroup(int fd, const Interface &itf, bool join)
{
    if (fd < 0)
        return;
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = htonl(kGroupAddress);
    if (join && !itf.addresses.empty())
        request.imr_address = itf.addresses.front();
    request.imr_ifindex = itf.index;
    setsockopt(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
               sizeof request);
}

void DiscoveryEngine::refreshInterfaces(Clock::time_point now)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return;
    std::map<int, Interface> found;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
            continue;
        const int index = static_cast<int>(if_nametoindex(i->ifa_name));
        if (index == 0)
            continue;
        Interface &itf = found[index];
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
        joinGroup(m_multicastFd.get(), old, false);
        if (old.loopback)
            joinGroup(m_localFd.get(), old, false);
        for (auto c = m_cache.begin(); c != m_cache.end();)
            c = c->second.ifindex == index ? eraseEntry(c) : std::next(c);
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
        if (old == m_interfaces.end()) {
            joinGroup(m_multicastFd.get(), itf, true);
            if (itf.loopback)
                joinGroup(m_localFd.get(), itf, true);
        }
        added = true;
    }
    m_interfaces = std::move(found);
    if (added) { // new or renumbered interfaces: tell them about us and ask them what they have
        for (auto &[id, a] : m_announcers) {
            a.nextAnnounce = now;
            a.announcements = 0;
        }
        m_browseQueries = 0;
        m_nextBrowseQuery = now;
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

const DiscoveryEngine::Interface *DiscoveryEngine::interfaceByIndex(int index) const
{
    const auto it = m_interfaces.find(index);
    return it == m_interfaces.end() ? nullptr : &it->second;
}

void DiscoveryEngine::recomputeSources(Clock::time_point now)
{
    m_sourcesDirty = false;
    m_listedConfirmedOnly = underPressure(now);
    struct Candidate {
        FoundSource source;
        std::vector<std::string> groups;
        bool loopback = false;
    };
    // One pass to index SRV, TXT and A records by interface and name, so that resolving
    // every PTR costs a lookup, not a scan of the cache.
    struct Owned {
        const CacheEntry *srv = nullptr;
        const CacheEntry *txt = nullptr;
        std::optional<in_addr> address; // the lowest, so the choice does not flicker
    };
    std::map<std::pair<int, std::string>, Owned> byOwner;
    for (const auto &[key, e] : m_cache) {
        Owned &owned = byOwner[{e.ifindex, nameKey(e.record.name)}];
        if (e.record.type == kTypeSrv && (!owned.srv || e.received > owned.srv->received))
            owned.srv = &e;
        else if (e.record.type == kTypeTxt && (!owned.txt || e.received > owned.txt->received))
            owned.txt = &e;
        else if (e.record.type == kTypeA) {
            in_addr address{};
            std::memcpy(&address.s_addr, e.record.ipv4.data(), 4);
            if (!owned.address || ntohl(address.s_addr) < ntohl(owned.address->s_addr))
                owned.address = address;
        }
    }

    std::map<std::string, Candidate> byName;
    m_namesHeard.clear();
    for (const auto &[key, ptr] : m_cache) {
        if (ptr.record.type != kTypePtr)
            continue;
        const auto instance = byOwner.find({ptr.ifindex, nameKey(ptr.record.target)});
        if (instance == byOwner.end() || !instance->second.srv)
            continue;
        const CacheEntry *srv = instance->second.srv;
        const CacheEntry *txt = instance->second.txt;
        std::optional<in_addr> address;
        if (const auto host = byOwner.find({ptr.ifindex, nameKey(srv->record.target)});
            host != byOwner.end())
            address = host->second.address;
        if (!address && srv->from.s_addr != 0)
            address = srv->from; // no address record yet: the sender of the SRV record
        if (!address)
            continue;

        Candidate candidate;
        std::string name = ptr.record.target.front();
        candidate.groups = {"public"};
        if (txt) {
            if (auto named = txtValue(txt->record.txt, "name"); named && !named->empty())
                name = *named;
            if (auto groups = txtValue(txt->record.txt, "groups"))
                candidate.groups = orPublic(splitGroups(*groups));
        }
        CleanText clean = cleanText(name, kMaxSourceNameBytes);
        if (clean.faults != 0)
            reportCleanedText(TextOrigin::Announcement, clean.faults,
                              "a source name announced by " + ipText(srv->from), clean.text);
        candidate.source.name = std::move(clean.text);
        m_namesHeard.insert(candidate.source.name);
        // A flood is filling the cache: only sources that proved real are worth a list.
        if (m_listedConfirmedOnly && !(ptr.confirmed && srv->confirmed))
            continue;
        candidate.source.address = ipText(*address) + ':' + std::to_string(srv->record.port);
        const Interface *itf = interfaceByIndex(ptr.ifindex);
        candidate.loopback = itf && itf->loopback;

        auto [it, inserted] = byName.emplace(candidate.source.name, candidate);
        // Several interfaces may carry one source: an address other hosts can reach as well
        // wins over loopback, then the lowest address, so the choice does not flicker.
        if (!inserted
            && ((it->second.loopback && !candidate.loopback)
                || (it->second.loopback == candidate.loopback
                    && candidate.source.address < it->second.source.address)))
            it->second = candidate;
    }

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
