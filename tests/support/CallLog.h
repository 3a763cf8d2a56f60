// One ordered log of the lifecycle calls made to the test doubles of PortAudio and of the NDI
// runtime, so that a test can pin the order in which the two are set up and released.
//
// Threads: any; guarded by a mutex (the doubles are never a real-time path).
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace calllog {

inline std::mutex g_mutex;
inline std::vector<std::string> g_calls;

inline void record(const char *call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.emplace_back(call);
}

// The calls recorded since the last take(), oldest first; empties the log.
inline std::vector<std::string> take()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::exchange(g_calls, {});
}

} // namespace calllog
