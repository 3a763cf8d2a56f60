#include "MdnsRecords.h"

#include <arpa/inet.h>

namespace veltrin::rt {

const DnsName &veltrinServiceType()
{
    static const DnsName name{"_veltrin", "_tcp", "local"};
    return name;
}

const DnsName &servicesMetaName()
{
    static const DnsName name{"_services", "_dns-sd", "_udp", "local"};
    return name;
}

std::string utf8Prefix(const std::string &text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

std::string asciiLowered(std::string text)
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

std::optional<std::string> txtValue(const std::vector<std::string> &txt, const std::string &key)
{
    for (const std::string &entry : txt) {
        const size_t eq = entry.find('=');
        if (eq != std::string::npos && asciiLowered(entry.substr(0, eq)) == key)
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
        std::string group = asciiLowered(text.substr(from, comma - from));
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

std::string ipText(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

} // namespace veltrin::rt
