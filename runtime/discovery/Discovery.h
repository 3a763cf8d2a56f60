#pragma once
// Source discovery of Veltrin's NDI runtime: multicast DNS service discovery (RFC 6762/6763)
// carried inside the runtime, so that no daemon is needed. Senders are announced under
// Veltrin's own service type by an Announcer; finders list them through a Browser.
//
// All objects of one process share one socket engine with one network thread; nothing here
// blocks a caller for longer than a mutex held around small copies, except waitForChange(),
// which blocks by design.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace veltrin::rt {

// Discovery settings from ~/.ndi/ndi-config.v1.json ($HOME). A missing, unreadable or
// malformed file, or a field of the wrong type, yields the defaults for what it concerns.
struct DiscoveryConfig {
    std::string machineName;                  // "ndi.machinename"; "" = the host name
    std::vector<std::string> extraIps;        // "ndi.networks.ips", also queried by unicast
    std::vector<std::string> sendGroups;      // "ndi.groups.send"; empty = "public"
    std::vector<std::string> recvGroups;      // "ndi.groups.recv"; empty = "public"
    std::vector<std::string> allowedAdapters; // "ndi.adapters.allowed"; empty = all interfaces

    // Reads $HOME/.ndi/ndi-config.v1.json. Never throws.
    static DiscoveryConfig load();
    // Parses the text of such a file; invalid parts fall back to the defaults. Never throws.
    static DiscoveryConfig parse(const std::string &jsonText);
};

// The machine part of source names: the configured machine name or the host name, upper case.
std::string machineLabel(const DiscoveryConfig &config);
// "HOST (name)", the NDI convention for full source names.
std::string sourceName(const DiscoveryConfig &config, const std::string &userName);

// The full names of the sources on the network (every group) and of this process's own. When
// nothing in the process was browsing yet, this asks the network first and collects answers
// for `settle`; otherwise it answers at once. Any thread.
std::set<std::string> sourceNamesInUse(const DiscoveryConfig &config,
                                       std::chrono::milliseconds settle);

class DiscoveryEngine;

// Announces one source on every allowed interface (and to local processes over loopback)
// from construction to destruction; the destructor sends goodbye packets. Construct and
// destroy from any thread; the process-wide engine thread does the sending.
class Announcer
{
public:
    Announcer(const DiscoveryConfig &config, std::string fullName, uint16_t tcpPort);
    ~Announcer();
    Announcer(const Announcer &) = delete;
    Announcer &operator=(const Announcer &) = delete;

    const std::string &name() const { return m_name; }

private:
    std::shared_ptr<DiscoveryEngine> m_engine;
    std::string m_name;
    uint64_t m_id = 0;
};

struct FoundSource {
    std::string name;    // "HOST (name)"
    std::string address; // "ip:port"
    bool operator==(const FoundSource &other) const
    {
        return name == other.name && address == other.address;
    }
};

// Keeps the list of sources of Veltrin's service type in the groups the configuration
// receives. Every method can be called concurrently from any thread.
class Browser
{
public:
    explicit Browser(const DiscoveryConfig &config);
    ~Browser();
    Browser(const Browser &) = delete;
    Browser &operator=(const Browser &) = delete;

    // The sources known now, sorted by name.
    std::vector<FoundSource> sources() const;
    // True as soon as the list has changed since the previous call (at once if it already
    // has), false after timeoutMs without a change.
    bool waitForChange(uint32_t timeoutMs);
    std::optional<FoundSource> find(const std::string &name) const;

private:
    std::shared_ptr<DiscoveryEngine> m_engine;
    uint64_t m_id = 0;
};

} // namespace veltrin::rt
