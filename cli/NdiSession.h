// The NDI runtime for the life of a command, and a finder on it, through the NDI interface
// that the window uses (the runtime loader picks libndi.so.5 or the built-in runtime).
//
// Threads: both objects are made, used and destroyed on the command's thread. The engine's
// senders and receivers, made on the stream's thread, rely on the runtime being initialised
// here first and destroyed only after the stream has ended.
#pragma once

#include "NdiLib.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::cli {

// NDIlib_initialize() at construction, NDIlib_destroy() at destruction when it succeeded.
// The loader prints one line naming the runtime at the first initialisation.
class NdiRuntime
{
public:
    NdiRuntime();
    ~NdiRuntime();
    NdiRuntime(const NdiRuntime &) = delete;
    NdiRuntime &operator=(const NdiRuntime &) = delete;

    bool ok() const { return m_ok; }
    // "built-in, ..." or the path of the libndi.so.5 in use.
    static std::string description();

private:
    bool m_ok;
};

struct NdiSource {
    std::string name; // "HOST (name)"
    std::string address;
};

class SourceFinder
{
public:
    using Clock = std::chrono::steady_clock;
    // Asked between waits; true ends a wait early.
    using Interrupted = std::function<bool()>;

    SourceFinder();
    ~SourceFinder();
    SourceFinder(const SourceFinder &) = delete;
    SourceFinder &operator=(const SourceFinder &) = delete;

    bool ok() const { return m_finder != nullptr; }
    std::vector<NdiSource> sources() const;
    bool has(const std::string &name) const;

    // Listens until `deadline` (or until `interrupted`), then returns what is known.
    std::vector<NdiSource> listUntil(Clock::time_point deadline, const Interrupted &interrupted);
    // True as soon as `name` is among the sources; false at `deadline` or when interrupted.
    bool waitFor(const std::string &name, Clock::time_point deadline,
                 const Interrupted &interrupted);

private:
    NDIlib_find_instance_t m_finder = nullptr;
};

// What the command line says when the runtime cannot be initialised, or gives no finder.
std::string runtimeUnavailable();
std::string finderUnavailable();

// The runtime and, once it is up, a finder on it: what the commands that list sources need.
class FinderSession
{
public:
    FinderSession();
    // Empty when both are there; otherwise the line the command line gives.
    std::string problem() const;
    // Only when problem() is empty.
    SourceFinder &finder() { return *m_finder; }

private:
    NdiRuntime m_runtime; // first: the finder goes before the runtime
    std::optional<SourceFinder> m_finder;
};

} // namespace veltrin::cli
