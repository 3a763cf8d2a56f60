#include "Discovery.h"

#include "DiscoveryEngine.h"

#include <unistd.h>

namespace veltrin::rt {
namespace {

// The DNS host label of this machine: the configured machine name or the short host name,
// in lower case, with anything but letters, digits and hyphens made a hyphen.
std::string hostLabel(const DiscoveryConfig &config)
{
    std::string host = config.machineName;
    if (host.empty()) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0)
            host = name;
        host = host.substr(0, host.find('.'));
    }
    for (char &c : host) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            c = '-';
    }
    if (host.size() > kMaxLabelLength)
        host.resize(kMaxLabelLength);
    return host.empty() ? "localhost" : host;
}

} // namespace

Announcer::Announcer(const DiscoveryConfig &config, std::string fullName, uint16_t tcpPort)
    : m_engine(DiscoveryEngine::acquire(config)), m_name(std::move(fullName))
{
    DiscoveryEngine::Service service;
    service.fullName = m_name;
    service.hostLabel = hostLabel(config);
    service.port = tcpPort;
    service.groups = config.sendGroups;
    m_id = m_engine->addAnnouncer(std::move(service));
}

Announcer::~Announcer()
{
    m_engine->removeAnnouncer(m_id);
}

Browser::Browser(const DiscoveryConfig &config)
    : m_engine(DiscoveryEngine::acquire(config)), m_id(m_engine->addBrowser(config.recvGroups))
{
}

Browser::~Browser()
{
    m_engine->removeBrowser(m_id);
}

std::vector<FoundSource> Browser::sources() const
{
    return m_engine->sources(m_id);
}

bool Browser::waitForChange(uint32_t timeoutMs)
{
    return m_engine->waitForChange(m_id, timeoutMs);
}

std::set<std::string> sourceNamesInUse(const DiscoveryConfig &config,
                                       std::chrono::milliseconds settle)
{
    using Clock = DiscoveryEngine::Clock;
    const std::shared_ptr<DiscoveryEngine> engine = DiscoveryEngine::acquire(config);
    const Clock::time_point since = engine->browsingSince();
    const Clock::time_point now = Clock::now();
    if (since != Clock::time_point{} && now - since >= settle)
        return engine->namesInUse();
    // Nobody has asked the network long enough: ask now, and collect the answers until
    // `settle` after the first question.
    Browser browser(config);
    const Clock::time_point until = (since == Clock::time_point{} ? now : since) + settle;
    for (auto left = until - Clock::now(); left.count() > 0; left = until - Clock::now())
        browser.waitForChange(
            static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    return engine->namesInUse();
}

std::optional<FoundSource> Browser::find(const std::string &name) const
{
    for (FoundSource &source : m_engine->sources(m_id))
        if (source.name == name)
            return std::move(source);
    return std::nullopt;
}

} // namespace veltrin::rt
