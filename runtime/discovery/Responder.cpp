#include "Responder.h"

#include <cstring>

namespace veltrin::rt {
namespace {

using namespace std::chrono_literals;

constexpr size_t kPacketBudget = 1400; // stay below a typical MTU
constexpr auto kGoodbyeRepeatDelay = 250ms;

DnsMessage responseHeader()
{
    DnsMessage message;
    message.flags = DnsMessage::kFlagResponse | DnsMessage::kFlagAuthoritative;
    return message;
}

// Identity of a record inside one message, to leave out repeats.
std::string messageKey(const DnsRecord &r)
{
    return recordKey(0, r);
}

} // namespace

std::vector<DnsMessage> packRecords(const std::vector<RecordGroup> &groups,
                                    const DnsMessage &header, size_t budget)
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
        if (hasRecords && (!bytes || bytes->size() > budget)) {
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

void Responder::add(uint64_t id, Service service, Clock::time_point now)
{
    Announced state;
    state.service = std::move(service);
    state.service.groups = orPublic(state.service.groups);
    state.instance = veltrinServiceType();
    std::string label = utf8Prefix(state.service.fullName, kMaxLabelLength);
    state.instance.insert(state.instance.begin(), label.empty() ? "unnamed" : label);
    state.nextAnnounce = now;
    m_retired.erase(state.service.fullName);
    m_services.emplace(id, std::move(state));
}

Responder::Outgoing Responder::remove(uint64_t id, const std::map<int, MdnsInterface> &interfaces,
                                      Clock::time_point now)
{
    const auto it = m_services.find(id);
    if (it == m_services.end())
        return {};
    Outgoing goodbyes = announcement(it->second, interfaces, 0);
    m_goodbyeRepeats.emplace_back(now + kGoodbyeRepeatDelay, serviceRecords(it->second, 0));
    m_retired[it->second.service.fullName] = now;
    m_services.erase(it);
    return goodbyes;
}

Responder::Outgoing Responder::due(const std::map<int, MdnsInterface> &interfaces,
                                   Clock::time_point now)
{
    Outgoing out;
    for (auto &[id, a] : m_services) {
        if (now < a.nextAnnounce)
            continue;
        Outgoing messages = announcement(a, interfaces, kRecordTtlSeconds);
        out.insert(out.end(), messages.begin(), messages.end());
        ++a.announcements;
        // RFC 6762 8.3: the first two announcements one second apart, then the refreshes.
        a.nextAnnounce =
            now + (a.announcements < 2 ? std::chrono::milliseconds(1s) : kAnnouncePeriod);
    }
    for (auto it = m_goodbyeRepeats.begin(); it != m_goodbyeRepeats.end();) {
        if (now < it->first) {
            ++it;
            continue;
        }
        DnsMessage goodbye = responseHeader();
        goodbye.answers = it->second;
        for (const auto &[index, itf] : interfaces)
            out.emplace_back(index, goodbye);
        it = m_goodbyeRepeats.erase(it);
    }
    for (auto it = m_retired.begin(); it != m_retired.end();)
        it = it->second + std::chrono::seconds(kRecordTtlSeconds) < now ? m_retired.erase(it)
                                                                        : std::next(it);
    return out;
}

void Responder::restart(Clock::time_point now)
{
    for (auto &[id, a] : m_services) {
        a.nextAnnounce = now;
        a.announcements = 0;
    }
}

Responder::Outgoing Responder::pendingGoodbyes(const std::map<int, MdnsInterface> &interfaces)
{
    Outgoing out;
    for (const auto &[when, records] : m_goodbyeRepeats) {
        DnsMessage goodbye = responseHeader();
        goodbye.answers = records;
        for (const auto &[index, itf] : interfaces)
            out.emplace_back(index, goodbye);
    }
    m_goodbyeRepeats.clear();
    return out;
}

std::set<std::string> Responder::names() const
{
    std::set<std::string> names;
    for (const auto &[id, a] : m_services)
        names.insert(a.service.fullName);
    return names;
}

std::vector<DnsRecord> Responder::serviceRecords(const Announced &a, uint32_t ttl) const
{
    DnsRecord ptr;
    ptr.name = veltrinServiceType();
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

std::vector<DnsRecord> Responder::addressRecords(const Announced &a, const MdnsInterface &itf,
                                                 uint32_t ttl) const
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

Responder::Outgoing Responder::announcement(const Announced &a,
                                            const std::map<int, MdnsInterface> &interfaces,
                                            uint32_t ttl) const
{
    Outgoing out;
    DnsMessage message = responseHeader();
    const std::vector<DnsRecord> records = serviceRecords(a, ttl);
    for (const auto &[index, itf] : interfaces) {
        message.answers = records;
        // A goodbye leaves the host's address alone: other services may still point at it.
        if (ttl > 0) {
            const std::vector<DnsRecord> addresses = addressRecords(a, itf, ttl);
            message.answers.insert(message.answers.end(), addresses.begin(), addresses.end());
        }
        out.emplace_back(index, message);
    }
    return out;
}

Responder::Reply Responder::answer(const DnsMessage &query, const MdnsInterface &itf,
                                   bool toMulticast, bool legacy) const
{
    Reply reply;
    if (m_services.empty())
        return reply;
    const uint32_t ttl = legacy ? std::min(kRecordTtlSeconds, kLegacyTtlCap) : kRecordTtlSeconds;
    const DnsName &service = veltrinServiceType();
    const auto knownAnswer = [&](const Announced &a) {
        for (const DnsRecord &r : query.answers)
            if (r.type == kTypePtr && sameName(r.name, service) && sameName(r.target, a.instance)
                && r.ttl >= kRecordTtlSeconds / 2)
                return true;
        return false;
    };

    std::vector<RecordGroup> groups;
    reply.unicast = !toMulticast || legacy;
    for (const DnsQuestion &q : query.questions) {
        if (q.qclass != kClassIn && q.qclass != kTypeAny)
            continue;
        const bool any = q.type == kTypeAny;
        reply.unicast |= q.unicastResponse;
        if ((q.type == kTypePtr || any) && sameName(q.name, servicesMetaName())) {
            DnsRecord r;
            r.name = servicesMetaName();
            r.type = kTypePtr;
            r.ttl = ttl;
            r.target = service;
            groups.push_back({{r}, {}});
        }
        for (const auto &[id, a] : m_services) {
            const std::vector<DnsRecord> records = serviceRecords(a, ttl); // PTR, SRV, TXT
            const std::vector<DnsRecord> addresses = addressRecords(a, itf, ttl);
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
        return reply;

    DnsMessage header = responseHeader();
    if (legacy) {
        header.id = query.id;
        header.questions = query.questions;
        for (RecordGroup &group : groups)
            for (auto *section : {&group.answers, &group.additionals})
                for (DnsRecord &r : *section)
                    r.cacheFlush = false;
    }
    reply.messages = packRecords(groups, header, kPacketBudget);
    return reply;
}

} // namespace veltrin::rt
