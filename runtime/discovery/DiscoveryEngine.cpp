#include "DiscoveryEngine.h"

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
constexpr size_t kPacketBudget = 1400;    // stay below a typical MTU
constexpr size_t kMaxCacheEntries = 4096; // records; a studio has a few hundred at most
constexpr auto kTick = 250ms;
constexpr auto kInterfaceScanPeriod = 2s;
constexpr auto kExtraQueryPeriod = 2s;
constexpr auto kResolveInterval = 1s;
constexpr size_t kMaxResolveQuestions = 32;
constexpr auto kGoodbyeRepeatDelay = 250ms;

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

sockaddr_in groupAddress()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(DiscoveryEngine::kPort);
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

DiscoveryEngine::DiscoveryEngine(const DiscoveryConfig &config)
    : m_allowedAdapters(config.allowedAdapters)
{
    for (const std::string &ip : config.extraIps) {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(kPort);
        if (inet_pton(AF_INET, ip.c_str(), &server.sin_addr) == 1)
            m_extraServers.push_back(server);
    }

    m_multicastFd = UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (m_multicastFd) {
        const int fd = m_multicastFd.get();
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
        any.sin_port = htons(kPort);
        m_listening = bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) == 0;
        if (!m_listening) // once per engine, never on an audio path
            std::fprintf(stderr,
                         "Veltrin discovery: UDP port 5353 is held by another program that does "
                         "not share it (%s); NDI sources will not be found.\n",
                         std::strerror(errno));
    }
    m_unicastFd = UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (m_unicastFd) {
        setInt(m_unicastFd.get(), IPPROTO_IP, IP_PKTINFO, 1);
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
                sendMessage(goodbye, m_multicastFd.get(), groupAddress(), index);
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
    m_announcers.erase(it);
}

uint64_t DiscoveryEngine::addBrowser(std::vector<std::string> groups)
{
    uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextId++;
        BrowserState state;
        state.groups = orPublic(std::move(groups));
        m_browsers.emplace(id, std::move(state));
        m_browseQueries = 0;
        m_nextBrowseQuery = Clock::now();
        m_nextExtraQuery = Clock::now();
        recomputeSources(); // a second browser starts from what the first one knows
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = write(m_wakeFd.get(), &one, sizeof one);
    return id;
}

void DiscoveryEngine::removeBrowser(uint64_t id)
{
    std::lock_guard lock(m_mutex);
    m_browsers.erase(id);
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

DiscoveryEngine::Counters DiscoveryEngine::counters() const
{
    std::lock_guard lock(m_mutex);
    return m_counters;
}

void DiscoveryEngine::run()
{
    try {
        while (!m_stop) {
            {
                std::lock_guard lock(m_mutex);
                runTimers(Clock::now());
            }
            pollfd fds[3] = {{m_multicastFd.get(), POLLIN, 0},
                             {m_unicastFd.get(), POLLIN, 0},
                             {m_wakeFd.get(), POLLIN, 0}};
            if (poll(fds, 3, static_cast<int>(kTick.count())) <= 0)
                continue;
            if (fds[2].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const auto n = read(m_wakeFd.get(), &count, sizeof count);
            }
            if (fds[0].revents & POLLIN)
                receiveFrom(m_multicastFd.get(), false);
            if (fds[1].revents & POLLIN)
                receiveFrom(m_unicastFd.get(), true);
        }
    } catch (...) {
        // Only allocation can throw here; discovery stops, the process goes on.
    }
}

void DiscoveryEngine::receiveFrom(int fd, bool ephemeral)
{
    uint8_t buffer[kMaxDatagram];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    for (;;) {
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
        handlePacket(buffer, static_cast<size_t>(size), from, ifindex, toMulticast, ephemeral,
                     Clock::now());
    }
    // Once per burst rather than once per datagram: a flood costs one pass over the cache.
    std::lock_guard lock(m_mutex);
    if (m_sourcesDirty)
        recomputeSources();
    for (int index : m_unresolved)
        resolveMissing(index, Clock::now());
    m_unresolved.clear();
}

void DiscoveryEngine::handlePacket(const uint8_t *data, size_t size, const sockaddr_in &from,
                                   int ifindex, bool toMulticast, bool ephemeral,
                                   Clock::time_point now)
{
    const std::optional<DnsMessage> message = parseDnsMessage(data, size);
    if (!message) {
        ++m_counters.malformed;
        return;
    }
    if (ephemeral) { // answers to our unicast queries to other subnets
        if (message->isResponse())
            handleResponse(*message, from, ifindex, now);
        return;
    }
    if (!interfaceByIndex(ifindex))
        return; // an interface the configuration leaves out
    if (message->isResponse()) {
        if (ntohs(from.sin_port) == kPort)
            handleResponse(*message, from, ifindex, now);
    } else {
        answerQuery(*message, from, ifindex, toMulticast);
    }
}

void DiscoveryEngine::handleResponse(const DnsMessage &message, const sockaddr_in &from,
                                     int ifindex, Clock::time_point now)
{
    const DnsName &service = serviceType();
    const auto isInstance = [&](const DnsName &name) {
        return name.size() == service.size() + 1
               && sameName(DnsName(name.begin() + 1, name.end()), service);
    };
    const auto isTarget = [&](const DnsName &name) {
        for (const auto &[key, entry] : m_cache)
            if (entry.record.type == kTypeSrv && sameName(entry.record.target, name))
                return true;
        return false;
    };

    bool changed = false;
    const auto store = [&](const DnsRecord &r) {
        if (r.rclass != kClassIn)
            return;
        const std::string key = recordKey(ifindex, r);
        if (r.ttl == 0) { // goodbye
            changed |= m_cache.erase(key) > 0;
            return;
        }
        if (r.cacheFlush) { // RFC 6762 10.2: this record set replaces older ones
            const std::string prefix = recordPrefix(ifindex, r);
            for (auto it = m_cache.lower_bound(prefix);
                 it != m_cache.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
                if (it->first != key && it->second.received < now - 1s) {
                    it = m_cache.erase(it);
                    changed = true;
                } else {
                    ++it;
                }
            }
        }
        auto it = m_cache.find(key);
        if (it == m_cache.end()) {
            if (m_cache.size() >= kMaxCacheEntries) {
                // Full (a flood, most likely): the record heard least recently goes. Real
                // sources refresh every few seconds, so they outlast a burst of junk.
                const auto oldest = std::min_element(
                    m_cache.begin(), m_cache.end(), [](const auto &x, const auto &y) {
                        return x.second.received < y.second.received;
                    });
                m_cache.erase(oldest);
            }
            it = m_cache.emplace(key, CacheEntry{}).first;
            changed = true;
        }
        CacheEntry &entry = it->second;
        changed |= entry.record.txt != r.txt;
        entry.record = r;
        entry.ifindex = ifindex;
        entry.from = from.sin_addr;
        entry.received = now;
        entry.expires = now + std::chrono::seconds(std::min(r.ttl, kMaxCachedTtl));
        entry.refreshQueried = false;
    };

    const std::vector<DnsRecord> *sections[2] = {&message.answers, &message.additionals};
    for (const auto *section : sections)
        for (const DnsRecord &r : *section)
            if ((r.type == kTypePtr && sameName(r.name, service) && isInstance(r.target))
                || ((r.type == kTypeSrv || r.type == kTypeTxt) && isInstance(r.name)))
                store(r);
    for (const auto *section : sections)
        for (const DnsRecord &r : *section)
            if (r.type == kTypeA && isTarget(r.name))
                store(r);
    m_sourcesDirty |= changed;
    m_unresolved.insert(ifindex);
}

void DiscoveryEngine::resolveMissing(int ifindex, Clock::time_point now)
{
    // Ask for what the response left out: the SRV and TXT of new instances, the address of
    // new hosts.
    std::vector<DnsQuestion> questions;
    const auto ask = [&](const DnsName &name, uint16_t type) {
        if (questions.size() >= kMaxResolveQuestions)
            return; // the rest on a later response: a flood gets no flood of questions back
        const std::string key =
            std::to_string(ifindex) + '|' + std::to_string(type) + '|' + nameKey(name);
        auto &last = m_lastResolve[key];
        if (last + kResolveInterval > now)
            return;
        last = now;
        questions.push_back({name, type, kClassIn, false});
    };
    const auto have = [&](const DnsName &name, uint16_t type) {
        DnsRecord probe;
        probe.name = name;
        probe.type = type;
        const std::string prefix = recordPrefix(ifindex, probe);
        const auto it = m_cache.lower_bound(prefix);
        return it != m_cache.end() && it->first.compare(0, prefix.size(), prefix) == 0;
    };
    for (const auto &[key, entry] : m_cache) {
        if (entry.ifindex != ifindex)
            continue;
        if (entry.record.type == kTypePtr && !have(entry.record.target, kTypeSrv))
            ask(entry.record.target, kTypeSrv);
        if (entry.record.type == kTypePtr && !have(entry.record.target, kTypeTxt))
            ask(entry.record.target, kTypeTxt);
        if (entry.record.type == kTypeSrv && !have(entry.record.target, kTypeA))
            ask(entry.record.target, kTypeA);
    }
    if (!questions.empty() && interfaceByIndex(ifindex))
        sendQuestions(questions, ifindex);
}

void DiscoveryEngine::answerQuery(const DnsMessage &query, const sockaddr_in &from, int ifindex,
                                  bool toMulticast)
{
    const Interface *itf = interfaceByIndex(ifindex);
    if (!itf || m_announcers.empty())
        return;
    const bool legacy = ntohs(from.sin_port) != kPort;
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
            sendMessage(message, m_multicastFd.get(), from, 0);
        else
            sendMessage(message, m_multicastFd.get(), groupAddress(), ifindex);
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
        sendMessage(message, m_multicastFd.get(), groupAddress(), index);
    }
}

void DiscoveryEngine::sendQuestions(const std::vector<DnsQuestion> &questions, int ifindex)
{
    DnsMessage query;
    query.questions = questions;
    sendMessage(query, m_multicastFd.get(), groupAddress(), ifindex);
}

void DiscoveryEngine::sendQueryToAll(const std::vector<DnsQuestion> &questions)
{
    for (const auto &[index, itf] : m_interfaces)
        sendQuestions(questions, index);
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
            sendQueryToAll({{serviceType(), kTypePtr, kClassIn, false}});
            ++m_browseQueries;
            m_nextBrowseQuery = now + std::chrono::seconds(m_browseQueries);
        }
        if (!m_extraServers.empty() && now >= m_nextExtraQuery) {
            DnsMessage query;
            query.id = static_cast<uint16_t>(std::random_device{}());
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
            sendMessage(goodbye, m_multicastFd.get(), groupAddress(), index);
        it = m_goodbyeRepeats.erase(it);
    }
    expireCache(now);
}

void DiscoveryEngine::expireCache(Clock::time_point now)
{
    bool changed = false;
    std::map<int, std::vector<DnsQuestion>> refresh;
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        CacheEntry &entry = it->second;
        if (entry.expires <= now) {
            it = m_cache.erase(it);
            changed = true;
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
        if (interfaceByIndex(ifindex))
            sendQuestions(questions, ifindex);
    }
    for (auto it = m_lastResolve.begin(); it != m_lastResolve.end();)
        it = it->second + 10s < now ? m_lastResolve.erase(it) : std::next(it);
    if (changed)
        recomputeSources();
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

    bool changed = false;
    for (const auto &[index, old] : m_interfaces) {
        if (found.count(index))
            continue;
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = htonl(kGroupAddress);
        request.imr_ifindex = index;
        setsockopt(m_multicastFd.get(), IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request);
        for (auto c = m_cache.begin(); c != m_cache.end();)
            c = c->second.ifindex == index ? m_cache.erase(c) : std::next(c);
        changed = true;
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
            ip_mreqn request{};
            request.imr_multiaddr.s_addr = htonl(kGroupAddress);
            request.imr_address = itf.addresses.front();
            request.imr_ifindex = index;
            setsockopt(m_multicastFd.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request,
                       sizeof request);
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
    if (changed)
        recomputeSources();
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

void DiscoveryEngine::recomputeSources()
{
    m_sourcesDirty = false;
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
        candidate.source.name = ptr.record.target.front();
        candidate.groups = {"public"};
        if (txt) {
            if (auto name = txtValue(txt->record.txt, "name"); name && !name->empty())
                candidate.source.name = *name;
            if (auto groups = txtValue(txt->record.txt, "groups"))
                candidate.groups = orPublic(splitGroups(*groups));
        }
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
