// sources --watch: every NDI source that appears or goes, printed as it happens, until a stop
// signal. The change between two source lists is a pure function, so it is tested apart.
//
// Threads: the command's thread only.
#pragma once

#include "NdiSession.h"

#include <string>
#include <vector>

namespace veltrin::cli {

class Console;
class StopSignals;

struct SourceEvent {
    bool appeared = true; // false: gone
    NdiSource source;
};

// What changed from `before` to `after`, gone sources first, each group sorted by name. A
// source whose address changed goes and appears again.
std::vector<SourceEvent> sourceEvents(const std::vector<NdiSource> &before,
                                      const std::vector<NdiSource> &after);

// "+ NAME  ADDRESS" / "- NAME  ADDRESS", or one JSON object with the keys "event" ("appeared"
// or "gone"), "name" and "address".
std::string sourceEventLine(const SourceEvent &event, bool json);

// Watches until SIGINT or SIGTERM; the exit status.
int watchSources(bool json, Console &console, StopSignals &stops);

} // namespace veltrin::cli
