#pragma once
// Names, record keys and text fields shared by the parts of the discovery engine (record
// cache, responder, querier and sockets). Plain functions of their arguments; no state.

#include "DnsMessage.h"

#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::rt {

// An interface the engine uses: its index, name, IPv4 addresses and whether it is loopback.
struct MdnsInterface {
    int index = 0;
    std::string name;
    std::vector<in_addr> addresses;
    bool loopback = false;
};

// "_veltrin._tcp.local", the service type announced and browsed.
const DnsName &veltrinServiceType();
// "_services._dns-sd._udp.local", the meta-query of service browsers.
const DnsName &servicesMetaName();

// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string utf8Prefix(const std::string &text, size_t maxBytes);
std::string asciiLowered(std::string text);
// The cache key of a record heard on interface `ifindex`: interface, type and owner name (the
// prefix that a record set shares), then what tells the records of a set apart.
std::string recordPrefix(int ifindex, const DnsRecord &r);
std::string recordKey(int ifindex, const DnsRecord &r);
// The value of `key` (lower case) in TXT strings "key=value", keys compared without case.
std::optional<std::string> txtValue(const std::vector<std::string> &txt, const std::string &key);
// "A, b ,,c" -> {"a", "b", "c"}; an empty list stands for "public".
std::vector<std::string> splitGroups(const std::string &text);
std::vector<std::string> orPublic(std::vector<std::string> groups);
std::string ipText(const in_addr &address);

} // namespace veltrin::rt
