#include "NdiSession.h"

#include "NdiLoader.h"

#include <algorithm>

namespace veltrin::cli {

namespace {
// How long one wait for a change of the source list may last: the interruption is asked at
// least this often.
constexpr auto kWaitSlice = std::chrono::milliseconds(200);
} // namespace

NdiRuntime::NdiRuntime() : m_ok(NDIlib_initialize()) {}

NdiRuntime::~NdiRuntime()
{
    if (m_ok)
        NDIlib_destroy();
}

std::string NdiRuntime::description()
{
    return veltrin::ndi::runtimeDescription();
}

std::string runtimeUnavailable()
{
    return "the NDI runtime could not be initialised (" + NdiRuntime::description() + ")";
}

std::string finderUnavailable()
{
    return "the NDI runtime gave no source finder (" + NdiRuntime::description() + ")";
}

FinderSession::FinderSession()
{
    if (m_runtime.ok())
        m_finder.emplace();
}

std::string FinderSession::problem() const
{
    if (!m_runtime.ok())
        return runtimeUnavailable();
    return m_finder->ok() ? std::string() : finderUnavailable();
}

SourceFinder::SourceFinder()
{
    NDIlib_find_create_t settings;
    m_finder = NDIlib_find_create_v2(&settings);
}

SourceFinder::~SourceFinder()
{
    if (m_finder != nullptr)
        NDIlib_find_destroy(m_finder);
}

std::vector<NdiSource> SourceFinder::sources() const
{
    std::vector<NdiSource> found;
    if (m_finder == nullptr)
        return found;
    uint32_t count = 0;
    const NDIlib_source_t *list = NDIlib_find_get_current_sources(m_finder, &count);
    for (uint32_t i = 0; list != nullptr && i < count; ++i)
        if (list[i].p_ndi_name != nullptr)
            found.push_back({list[i].p_ndi_name,
                             list[i].p_url_address != nullptr ? list[i].p_url_address : ""});
    return found;
}

bool SourceFinder::has(const std::string &name) const
{
    const std::vector<NdiSource> found = sources();
    return std::any_of(found.begin(), found.end(),
                       [&](const NdiSource &s) { return s.name == name; });
}

std::vector<NdiSource> SourceFinder::listUntil(Clock::time_point deadline,
                                               const Interrupted &interrupted)
{
    while (m_finder != nullptr && !interrupted()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        NDIlib_find_wait_for_sources(m_finder,
                                     static_cast<uint32_t>(std::min(left, kWaitSlice).count()));
    }
    return sources();
}

bool SourceFinder::waitFor(const std::string &name, Clock::time_point deadline,
                           const Interrupted &interrupted)
{
    while (m_finder != nullptr) {
        if (has(name))
            return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || interrupted())
            return false;
        NDIlib_find_wait_for_sources(m_finder,
                                     static_cast<uint32_t>(std::min(left, kWaitSlice).count()));
    }
    return false;
}

} // namespace veltrin::cli
