// One ordered log of the lifecycle calls made to the test doubles of PortAudio and of the NDI
// runtime, so that a test can pin the order in which the two are set up and released.
//
// Threads: any; guarded by a mutex (the doubles are never a real-time path).
#pragma once

#include <string>
#include <vector>

namespace calllog {

void record(const char *call);
// The calls recorded since the last take(), oldest first; empties the log.
std::vector<std::string> take();

} // namespace calllog
