#pragma once
// The responder of the discovery engine: the services this process announces, the records
// that describe them, the answers to queries about them and the goodbyes when they go. It
// makes messages and leaves sending to the engine, so a table test can read what it would say.
//
// Thread: not thread-safe; the engine calls it under its lock.

#include "DnsMessage.h"
#include "MdnsRecords.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace veltrin::rt {

class Responder
{
public:
    using Clock = std::chrono::steady_clock;

    // Record lifetime. Short, so that a sender that vanished without a goodbye drops out of
    // every list within kRecordTtl plus one tick; senders re-announce every kAnnouncePeriod,
    // which leaves room for one lost announcement.
    static constexpr uint32_t kRecordTtlSeconds = 8;
    static constexpr std::chrono::milliseconds kAnnouncePeriod{2500};
    // RFC 6762 section 6.7: answers to one-shot (legacy) queriers live no longer than this.
    static constexpr uint32_t kLegacyTtlCap = 10;

    struct Service {
        std::string fullName;  // the source name reported to browsers
        std::string hostLabel; // SRV target, "<hostLabel>.local"
        uint16_t port = 0;
        std::vector<std::string> groups; // lower case
    };

    // Messages to multicast, each with the index of the interface it leaves by.
    using Outgoing = std::vector<std::pair<int, DnsMessage>>;

    void add(uint64_t id, Service service, Clock::time_point now);
    // The goodbyes of `id` (PTR, SRV and TXT with a lifetime of 0) on every interface; they
    // are said once more a moment later, in case one datagram is lost.
    Outgoing remove(uint64_t id, const std::map<int, MdnsInterface> &interfaces,
                    Clock::time_point now);
    bool empty() const { return m_services.empty(); }

    // What is due at `now`: announcements on every interface (the first two a second apart,
    // then every kAnnouncePeriod) and the repeats of goodbyes.
    Outgoing due(const std::map<int, MdnsInterface> &interfaces, Clock::time_point now);
    // Announce everything again from the start (new or renumbered interfaces).
    void restart(Clock::time_point now);
    // The goodbye repeats not yet said, now: the engine is going.
    Outgoing pendingGoodbyes(const std::map<int, MdnsInterface> &interfaces);

    // The answer to `query` heard on `itf`, packed into datagrams; `legacy` when it came
    // from a port other than the responder's (a one-shot querier). `unicast` is set when the
    // answer goes back to the sender rather than to the group.
    struct Reply {
        std::vector<DnsMessage> messages;
        bool unicast = false;
    };
    Reply answer(const DnsMessage &query, const MdnsInterface &itf, bool toMulticast,
                 bool legacy) const;

    // The names this process announces, and those it said goodbye to less than a record
    // lifetime ago (their goodbyes may still be on their way back).
    std::set<std::string> names() const;
    bool retired(const std::string &name) const { return m_retired.count(name) > 0; }

private:
    struct Announced {
        Service service;
        DnsName instance;
        Clock::time_point nextAnnounce;
        int announcements = 0;
    };
    std::vector<DnsRecord> serviceRecords(const Announced &a, uint32_t ttl) const;
    std::vector<DnsRecord> addressRecords(const Announced &a, const MdnsInterface &itf,
                                          uint32_t ttl) const;
    Outgoing announcement(const Announced &a, const std::map<int, MdnsInterface> &interfaces,
                          uint32_t ttl) const;

    std::map<uint64_t, Announced> m_services;
    std::map<std::string, Clock::time_point> m_retired; // own, recently said goodbye to
    std::vector<std::pair<Clock::time_point, std::vector<DnsRecord>>> m_goodbyeRepeats;
};

// Packs groups of records into as few messages as fit `budget` bytes; a group is never split,
// and a record already in a message is not repeated in it.
struct RecordGroup {
    std::vector<DnsRecord> answers, additionals;
};
std::vector<DnsMessage> packRecords(const std::vector<RecordGroup> &groups,
                                    const DnsMessage &header, size_t budget);

} // namespace veltrin::rt
