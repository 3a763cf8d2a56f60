// Helpers shared by the engine's tests: running a blocking entry on a thread of its own, and
// waiting for a condition without fixed sleeps.
#pragma once

#include "Audio.Capture.Playback.h"
#include "WaitFor.h"

#include <functional>
#include <future>

namespace enginetest {

using veltrin::test::waitFor;

// A blocking entry running on its own thread; the destructor waits for it to return.
struct RunningEntry : std::future<int> {
    explicit RunningEntry(std::function<int()> f) : future(std::async(std::launch::async, f)) {}
    // True once the entry has returned (within `ms`).
    bool returned(int ms)
    {
        return wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    }
    int result() { return get(); }
};

} // namespace enginetest
