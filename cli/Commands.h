// The commands of veltrin-cli on the engine the window uses: the device scan (ScanDevice), the
// NDI interface through the runtime loader, the engine's stream entries and its level taps.
//
// Threads: everything here runs on the program's main thread, except the stream entry, which
// a StreamRunner runs on a thread of its own.
#pragma once

#include <string>
#include <vector>

namespace veltrin::cli {

// Runs the command that `arguments` (without the program name) give; returns the exit status.
// Call it from main() before any other thread has been started.
int run(const std::vector<std::string> &arguments);

} // namespace veltrin::cli
