#include "RecordCache.h"

#include "SafeText.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <optional>

namespace veltrin::rt {
namespace {

using namespace std::chrono_literals;

// A full name fits one TXT string after "name=" (255 bytes); longer ones cannot be announced.
constexpr size_t kMaxSourceNameBytes = 250;

} // namespace

void RecordCache::index(Map::iterator it)
{
    Entry &e = it->second;
    e.indexedAt = e.received;
    m_byAge[e.confirmed].emplace(e.indexedAt, it->first);
}

void RecordCache::unindex(Map::iterator it)
{
    m_byAge[it->second.confirmed].erase({it->second.indexedAt, it->first});
}

RecordCache::Map::iterator RecordCache::erase(Map::iterator it)
{
    unindex(it);
    if (it->second.record.type == kTypeSrv) {
        const auto target = m_srvTargets.find(nameKey(it->second.record.target));
        if (target != m_srvTargets.end() && --target->second <= 0)
            m_srvTargets.erase(target);
    }
    return m_cache.erase(it);
}

void RecordCache::evictOldest(bool confirmed, Clock::time_point now, Taken &taken)
{
    const std::string key = m_byAge[confirmed].begin()->second;
    erase(m_cache.find(key));
    ++m_evicted;
    if (confirmed)
        return;
    if (!underPressure(now)) {
        taken.pressureBegan = true; // the engine asks at once: real sources answer
        if (!m_saidPressure)
            std::fprintf(stderr,
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
    taken.changed = true;
}

bool RecordCache::makeRoom(bool forConfirmed, Clock::time_point now, Taken &taken)
{
    if (!forConfirmed && m_byAge[0].size() >= m_limits.maxUnconfirmed) {
        if (m_byAge[0].empty())
            return false;
        evictOldest(false, now, taken);
    }
    if (m_cache.size() >= m_limits.maxRecords) {
        if (!m_byAge[0].empty())
            evictOldest(false, now, taken);
        else if (forConfirmed && !m_byAge[1].empty())
            evictOldest(true, now, taken);
        else
            return false;
    }
    return true;
}

bool RecordCache::store(const DnsRecord &r, in_addr from, int ifindex, bool confirming,
                        Clock::time_point now, Taken &taken)
{
    if (r.rclass != kClassIn)
        return false;
    const std::string key = recordKey(ifindex, r);
    if (r.ttl == 0) { // goodbye
        if (const auto it = m_cache.find(key); it != m_cache.end()) {
            erase(it);
            taken.changed = true;
        }
        return false;
    }
    if (r.cacheFlush) { // RFC 6762 10.2: this record set replaces older ones
        const std::string prefix = recordPrefix(ifindex, r);
        for (auto it = m_cache.lower_bound(prefix);
             it != m_cache.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
            if (it->first != key && it->second.received < now - 1s) {
                it = erase(it);
                taken.changed = true;
            } else {
                ++it;
            }
        }
    }
    auto it = m_cache.find(key);
    if (it == m_cache.end()) {
        if (!makeRoom(confirming, now, taken)) {
            ++m_refused;
            return false;
        }
        it = m_cache.emplace(key, Entry{}).first;
        it->second.firstHeard = now;
        it->second.confirmed = confirming;
        if (r.type == kTypeSrv)
            ++m_srvTargets[nameKey(r.target)];
        taken.changed = true;
    } else {
        unindex(it);
        Entry &known = it->second;
        taken.changed |= known.record.txt != r.txt;
        if (!known.confirmed && (confirming || now - known.firstHeard >= m_limits.confirmAfter)) {
            known.confirmed = true;
            taken.changed = true; // listed now if the lists hold confirmed sources only
        }
    }
    Entry &entry = it->second;
    entry.record = r;
    entry.ifindex = ifindex;
    entry.from = from;
    entry.received = now;
    const Clock::duration lifetime = std::chrono::seconds(std::min(r.ttl, kMaxCachedTtl));
    entry.expires =
        now
        + (entry.confirmed ? lifetime
                           : std::min<Clock::duration>(lifetime, m_limits.unconfirmedLifetime));
    entry.refreshQueried = false;
    index(it);
    return true;
}

RecordCache::Taken RecordCache::take(const DnsMessage &message, in_addr from, int ifindex,
                                     bool confirming, Clock::time_point now)
{
    Taken taken;
    const DnsName &service = veltrinServiceType();
    const auto isInstance = [&](const DnsName &name) {
        return name.size() == service.size() + 1
               && sameName(DnsName(name.begin() + 1, name.end()), service);
    };
    const auto isTarget = [&](const DnsName &name) {
        return m_srvTargets.count(nameKey(name)) > 0;
    };
    const auto keep = [&](const DnsRecord &r) {
        if (!store(r, from, ifindex, confirming, now, taken))
            return;
        if (r.type == kTypePtr) {
            taken.toResolve.emplace_back(kTypeSrv, r.target);
            taken.toResolve.emplace_back(kTypeTxt, r.target);
        } else if (r.type == kTypeSrv) {
            taken.toResolve.emplace_back(kTypeA, r.target);
        }
    };

    // A bounded number of records per datagram: what a real answer holds, not what a
    // hand-made one can. Addresses come last: only hosts that an SRV record names are kept.
    size_t budget = m_limits.maxRecordsPerMessage;
    const std::vector<DnsRecord> *sections[2] = {&message.answers, &message.additionals};
    for (const auto *section : sections)
        for (const DnsRecord &r : *section)
            if (budget > 0
                && ((r.type == kTypePtr && sameName(r.name, service) && isInstance(r.target))
                    || ((r.type == kTypeSrv || r.type == kTypeTxt) && isInstance(r.name)))) {
                --budget;
                keep(r);
            }
    for (const auto *section : sections)
        for (const DnsRecord &r : *section)
            if (budget > 0 && r.type == kTypeA && isTarget(r.name)) {
                --budget;
                keep(r);
            }
    return taken;
}

RecordCache::Expired RecordCache::expire(Clock::time_point now)
{
    Expired expired;
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        Entry &entry = it->second;
        if (entry.expires <= now) {
            it = erase(it);
            expired.changed = true;
            continue;
        }
        // RFC 6762 5.2: ask again when 80 % of the lifetime has gone.
        if (!entry.refreshQueried
            && now >= entry.received + (entry.expires - entry.received) * 4 / 5) {
            entry.refreshQueried = true;
            expired.refresh[entry.ifindex].push_back(
                {entry.record.name, entry.record.type, kClassIn, false});
        }
        ++it;
    }
    for (auto &[ifindex, questions] : expired.refresh) {
        std::sort(questions.begin(), questions.end(),
                  [](const DnsQuestion &x, const DnsQuestion &y) {
                      return std::make_pair(nameKey(x.name), x.type)
                             < std::make_pair(nameKey(y.name), y.type);
                  });
        questions.erase(std::unique(questions.begin(), questions.end()), questions.end());
    }
    return expired;
}

bool RecordCache::has(int ifindex, const DnsName &name, uint16_t type) const
{
    DnsRecord probe;
    probe.name = name;
    probe.type = type;
    const std::string prefix = recordPrefix(ifindex, probe);
    const auto it = m_cache.lower_bound(prefix);
    return it != m_cache.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool RecordCache::dropInterface(int ifindex)
{
    bool dropped = false;
    for (auto c = m_cache.begin(); c != m_cache.end();) {
        dropped |= c->second.ifindex == ifindex;
        c = c->second.ifindex == ifindex ? erase(c) : std::next(c);
    }
    return dropped;
}

void RecordCache::clear()
{
    m_cache.clear();
    m_byAge[0].clear();
    m_byAge[1].clear();
    m_srvTargets.clear();
}

std::map<std::string, RecordCache::Listed>
RecordCache::sources(bool confirmedOnly, const std::function<bool(int)> &isLoopback,
                     std::set<std::string> &heard) const
{
    // One pass to index SRV, TXT and A records by interface and name, so that resolving
    // every PTR costs a lookup, not a scan of the cache.
    struct Owned {
        const Entry *srv = nullptr;
        const Entry *txt = nullptr;
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

    std::map<std::string, Listed> byName;
    heard.clear();
    for (const auto &[key, ptr] : m_cache) {
        if (ptr.record.type != kTypePtr)
            continue;
        const auto instance = byOwner.find({ptr.ifindex, nameKey(ptr.record.target)});
        if (instance == byOwner.end() || !instance->second.srv)
            continue;
        const Entry *srv = instance->second.srv;
        const Entry *txt = instance->second.txt;
        std::optional<in_addr> address;
        if (const auto host = byOwner.find({ptr.ifindex, nameKey(srv->record.target)});
            host != byOwner.end())
            address = host->second.address;
        if (!address && srv->from.s_addr != 0)
            address = srv->from; // no address record yet: the sender of the SRV record
        if (!address)
            continue;

        Listed candidate;
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
        heard.insert(candidate.source.name);
        // A flood is filling the cache: only sources that proved real are worth a list.
        if (confirmedOnly && !(ptr.confirmed && srv->confirmed))
            continue;
        candidate.source.address = ipText(*address) + ':' + std::to_string(srv->record.port);
        candidate.loopback = isLoopback(ptr.ifindex);

        auto [it, inserted] = byName.emplace(candidate.source.name, candidate);
        // Several interfaces may carry one source: an address other hosts can reach as well
        // wins over loopback, then the lowest address, so the choice does not flicker.
        if (!inserted
            && ((it->second.loopback && !candidate.loopback)
                || (it->second.loopback == candidate.loopback
                    && candidate.source.address < it->second.source.address)))
            it->second = candidate;
    }
    return byName;
}

} // namespace veltrin::rt
