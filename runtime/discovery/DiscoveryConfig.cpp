#include "Discovery.h"
#include "JsonValue.h"
#include "SafeText.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace veltrin::rt {
namespace {

constexpr size_t kMaxConfigBytes = 1 << 20; // a settings file is a few hundred bytes
// Machine, group and adapter names: a DNS label's worth each. A machine name is a host name,
// an adapter an interface name or an address; longer ones are cut.
constexpr size_t kMaxFieldBytes = 63;

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> commaList(const std::string &text)
{
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        item = trimmed(item);
        if (!item.empty())
            items.push_back(item);
    }
    return items;
}

// ASCII only: the bytes of UTF-8 sequences stay as they are, whatever the C locale.
std::string lowered(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

const std::string *stringAt(const JsonValue &root, const char *path)
{
    const JsonValue *value = root.path(path);
    return value && value->isString() ? &value->stringValue() : nullptr;
}

// A name from the file, cleaned of control characters and bad UTF-8 and cut to its limit;
// what had to be repaired is said once in the log.
std::string cleanField(const std::string &raw, const char *path)
{
    CleanText clean = cleanText(raw, kMaxFieldBytes);
    if (clean.faults != 0)
        reportCleanedText(TextOrigin::SettingsFile, clean.faults,
                          std::string(path) + " in ~/.ndi/ndi-config.v1.json", clean.text);
    return trimmed(clean.text);
}

std::vector<std::string> groupsAt(const JsonValue &root, const char *path)
{
    std::vector<std::string> groups;
    if (const std::string *text = stringAt(root, path))
        for (const std::string &group : commaList(*text))
            if (std::string name = cleanField(lowered(group), path); !name.empty())
                groups.push_back(std::move(name));
    return groups;
}

} // namespace

DiscoveryConfig DiscoveryConfig::parse(const std::string &jsonText)
{
    DiscoveryConfig config;
    const std::optional<JsonValue> root = JsonValue::parse(jsonText);
    if (!root)
        return config;
    if (const std::string *ips = stringAt(*root, "ndi.networks.ips")) {
        for (const std::string &ip : commaList(*ips)) {
            in_addr address{};
            if (inet_pton(AF_INET, ip.c_str(), &address) == 1)
                config.extraIps.push_back(ip);
        }
    }
    config.sendGroups = groupsAt(*root, "ndi.groups.send");
    config.recvGroups = groupsAt(*root, "ndi.groups.recv");
    if (const std::string *machine = stringAt(*root, "ndi.machinename"))
        config.machineName = cleanField(trimmed(*machine), "ndi.machinename");
    if (const JsonValue *adapters = root->path("ndi.adapters.allowed");
        adapters && adapters->isArray())
        for (const JsonValue &item : adapters->arrayItems())
            if (item.isString())
                if (std::string name = cleanField(item.stringValue(), "ndi.adapters.allowed");
                    !name.empty())
                    config.allowedAdapters.push_back(std::move(name));
    return config;
}

DiscoveryConfig DiscoveryConfig::load()
{
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    std::ifstream file(std::string(home) + "/.ndi/ndi-config.v1.json", std::ios::binary);
    if (!file)
        return {};
    std::string text(kMaxConfigBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    const auto length = static_cast<size_t>(file.gcount());
    if (length > kMaxConfigBytes)
        return {};
    text.resize(length);
    return parse(text);
}

std::string machineLabel(const DiscoveryConfig &config)
{
    std::string machine = config.machineName;
    if (machine.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0)
            machine = host;
        machine = machine.substr(0, machine.find('.')); // the short name, without a domain
        if (machine.empty())
            machine = "LOCALHOST";
    }
    for (char &c : machine)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return machine;
}

std::string sourceName(const DiscoveryConfig &config, const std::string &userName)
{
    return machineLabel(config) + " (" + userName + ")";
}

} // namespace veltrin::rt
