#include "DnsMessage.h"

#include <map>

namespace veltrin::rt {
namespace {

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameLabel(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

// Reads from a datagram with every access bounds-checked; a failed read sets m_ok to false.
class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool ok() const { return m_ok; }
    size_t pos() const { return m_pos; }
    size_t remaining() const { return m_ok ? m_size - m_pos : 0; }

    uint8_t u8()
    {
        if (!m_ok || m_pos + 1 > m_size)
            return fail();
        return m_data[m_pos++];
    }
    uint16_t u16()
    {
        const uint16_t high = u8();
        return static_cast<uint16_t>((high << 8) | u8());
    }
    uint32_t u32()
    {
        const uint32_t high = u16();
        return (high << 16) | u16();
    }
    void bytes(uint8_t *out, size_t n)
    {
        if (!m_ok || m_pos + n > m_size) {
            fail();
            return;
        }
        for (size_t i = 0; i < n; ++i)
            out[i] = m_data[m_pos + i];
        m_pos += n;
    }
    std::string string(size_t n)
    {
        if (!m_ok || m_pos + n > m_size) {
            fail();
            return {};
        }
        std::string s(reinterpret_cast<const char *>(m_data + m_pos), n);
        m_pos += n;
        return s;
    }

    // A possibly compressed name. Every pointer must point before the label that holds it,
    // so following pointers always moves backwards and ends: no loops are possible.
    DnsName name()
    {
        DnsName labels;
        size_t wireLength = 1;
        size_t at = m_pos;
        bool jumped = false;
        for (;;) {
            if (!m_ok || at >= m_size) {
                fail();
                return {};
            }
            const uint8_t length = m_data[at];
            if ((length & 0xC0) == 0xC0) {
                if (at + 1 >= m_size) {
                    fail();
                    return {};
                }
                const size_t target = (static_cast<size_t>(length & 0x3F) << 8) | m_data[at + 1];
                if (target >= at) {
                    fail();
                    return {};
                }
                if (!jumped)
                    m_pos = at + 2;
                jumped = true;
                at = target;
                continue;
            }
            if (length & 0xC0) { // 0x40 and 0x80 label types are not in use
                fail();
                return {};
            }
            if (length == 0) {
                if (!jumped)
                    m_pos = at + 1;
                return labels;
            }
            wireLength += length + 1u;
            if (wireLength > kMaxNameLength || at + 1 + length > m_size) {
                fail();
                return {};
            }
            labels.emplace_back(reinterpret_cast<const char *>(m_data + at + 1), length);
            at += 1 + length;
        }
    }

    void seek(size_t pos)
    {
        if (pos > m_size)
            fail();
        else
            m_pos = pos;
    }

private:
    uint8_t fail()
    {
        m_ok = false;
        return 0;
    }

    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

bool readRecord(Reader &in, DnsRecord &record)
{
    record.name = in.name();
    record.type = in.u16();
    const uint16_t rclass = in.u16();
    record.rclass = rclass & 0x7FFF;
    record.cacheFlush = rclass & 0x8000;
    record.ttl = in.u32();
    const uint16_t length = in.u16();
    if (!in.ok() || length > in.remaining())
        return false;
    const size_t end = in.pos() + length;
    switch (record.type) {
    case kTypeA:
        if (length != 4)
            return false;
        in.bytes(record.ipv4.data(), 4);
        break;
    case kTypePtr:
        record.target = in.name();
        break;
    case kTypeSrv:
        record.priority = in.u16();
        record.weight = in.u16();
        record.port = in.u16();
        record.target = in.name();
        break;
    case kTypeTxt:
        while (in.ok() && in.pos() < end)
            record.txt.push_back(in.string(in.u8()));
        break;
    default:
        record.raw.resize(length);
        in.bytes(record.raw.data(), length);
        break;
    }
    return in.ok() && in.pos() == end;
}

// Writes names with compression: every suffix written once is remembered by its offset.
class Writer
{
public:
    std::vector<uint8_t> bytes;
    bool ok = true;

    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v)
    {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }

    void name(const DnsName &labels)
    {
        size_t wireLength = 1;
        for (const std::string &label : labels) {
            if (label.empty() || label.size() > kMaxLabelLength)
                ok = false;
            wireLength += label.size() + 1;
        }
        if (wireLength > kMaxNameLength)
            ok = false;
        if (!ok)
            return;
        for (size_t i = 0; i < labels.size(); ++i) {
            const std::string key = suffixKey(labels, i);
            const auto known = m_suffixes.find(key);
            if (known != m_suffixes.end()) {
                u16(static_cast<uint16_t>(0xC000 | known->second));
                return;
            }
            if (bytes.size() < 0x3FFF)
                m_suffixes.emplace(key, bytes.size());
            u8(static_cast<uint8_t>(labels[i].size()));
            bytes.insert(bytes.end(), labels[i].begin(), labels[i].end());
        }
        u8(0);
    }

private:
    // Exact bytes, not the case-folded key: a pointer must give back the spelling written.
    static std::string suffixKey(const DnsName &labels, size_t from)
    {
        std::string key;
        for (size_t i = from; i < labels.size(); ++i) {
            key += static_cast<char>(labels[i].size());
            key += labels[i];
        }
        return key;
    }

    std::map<std::string, size_t> m_suffixes;
};

void writeRecord(Writer &out, const DnsRecord &record)
{
    out.name(record.name);
    out.u16(record.type);
    out.u16(static_cast<uint16_t>(record.rclass | (record.cacheFlush ? 0x8000 : 0)));
    out.u32(record.ttl);
    const size_t lengthAt = out.bytes.size();
    out.u16(0);
    switch (record.type) {
    case kTypeA:
        out.bytes.insert(out.bytes.end(), record.ipv4.begin(), record.ipv4.end());
        break;
    case kTypePtr:
        out.name(record.target);
        break;
    case kTypeSrv:
        out.u16(record.priority);
        out.u16(record.weight);
        out.u16(record.port);
        out.name(record.target);
        break;
    case kTypeTxt:
        for (const std::string &s : record.txt) {
            if (s.size() > 255)
                out.ok = false;
            out.u8(static_cast<uint8_t>(s.size()));
            out.bytes.insert(out.bytes.end(), s.begin(), s.end());
        }
        break;
    default:
        out.bytes.insert(out.bytes.end(), record.raw.begin(), record.raw.end());
        break;
    }
    const size_t length = out.bytes.size() - lengthAt - 2;
    if (length > 0xFFFF)
        out.ok = false;
    out.bytes[lengthAt] = static_cast<uint8_t>(length >> 8);
    out.bytes[lengthAt + 1] = static_cast<uint8_t>(length);
}

} // namespace

bool sameName(const DnsName &a, const DnsName &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!sameLabel(a[i], b[i]))
            return false;
    return true;
}

std::string nameKey(const DnsName &name)
{
    std::string key;
    for (const std::string &label : name) {
        key += static_cast<char>(label.size()); // length prefixes keep labels with dots apart
        for (char c : label)
            key += lowerAscii(c);
    }
    return key;
}

bool DnsQuestion::operator==(const DnsQuestion &o) const
{
    return name == o.name && type == o.type && qclass == o.qclass
           && unicastResponse == o.unicastResponse;
}

bool DnsRecord::operator==(const DnsRecord &o) const
{
    return name == o.name && type == o.type && rclass == o.rclass && cacheFlush == o.cacheFlush
           && ttl == o.ttl && target == o.target && priority == o.priority && weight == o.weight
           && port == o.port && txt == o.txt && ipv4 == o.ipv4 && raw == o.raw;
}

bool DnsMessage::operator==(const DnsMessage &o) const
{
    return id == o.id && flags == o.flags && questions == o.questions && answers == o.answers
           && authorities == o.authorities && additionals == o.additionals;
}

std::optional<DnsMessage> parseDnsMessage(const uint8_t *data, size_t size)
{
    Reader in(data, size);
    DnsMessage message;
    message.id = in.u16();
    message.flags = in.u16();
    const uint16_t counts[4] = {in.u16(), in.u16(), in.u16(), in.u16()};
    if (!in.ok())
        return std::nullopt;
    // A question takes at least 5 bytes and a record 11: counts beyond that are lies, and
    // rejecting them early keeps a tiny packet from reserving much memory.
    if (counts[0] * size_t{5} + (counts[1] + counts[2] + counts[3]) * size_t{11} > in.remaining())
        return std::nullopt;
    for (uint16_t i = 0; i < counts[0]; ++i) {
        DnsQuestion question;
        question.name = in.name();
        question.type = in.u16();
        const uint16_t qclass = in.u16();
        question.qclass = qclass & 0x7FFF;
        question.unicastResponse = qclass & 0x8000;
        if (!in.ok())
            return std::nullopt;
        message.questions.push_back(std::move(question));
    }
    std::vector<DnsRecord> *sections[3] = {&message.answers, &message.authorities,
                                           &message.additionals};
    for (int s = 0; s < 3; ++s) {
        for (uint16_t i = 0; i < counts[s + 1]; ++i) {
            DnsRecord record;
            if (!readRecord(in, record))
                return std::nullopt;
            sections[s]->push_back(std::move(record));
        }
    }
    return message;
}

std::optional<std::vector<uint8_t>> writeDnsMessage(const DnsMessage &message)
{
    Writer out;
    out.u16(message.id);
    out.u16(message.flags);
    const size_t counts[4] = {message.questions.size(), message.answers.size(),
                              message.authorities.size(), message.additionals.size()};
    for (size_t count : counts) {
        if (count > 0xFFFF)
            return std::nullopt;
        out.u16(static_cast<uint16_t>(count));
    }
    for (const DnsQuestion &question : message.questions) {
        out.name(question.name);
        out.u16(question.type);
        out.u16(static_cast<uint16_t>(question.qclass | (question.unicastResponse ? 0x8000 : 0)));
    }
    for (const auto *section : {&message.answers, &message.authorities, &message.additionals})
        for (const DnsRecord &record : *section)
            writeRecord(out, record);
    if (!out.ok)
        return std::nullopt;
    return std::move(out.bytes);
}

} // namespace veltrin::rt
