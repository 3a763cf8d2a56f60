// Helpers shared by the engine's tests: running a blocking entry on a thread of its own, and
// waiting for a condition without fixed sleeps.
#pragma once

#include "Audio.Capture.Playback.h"
#include "WaitFor.h"

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace enginetest {

using veltrin::test::waitFor;

// A blocking entry running on its own thread; the destructor waits for it to return.
class RunningEntry
{
public:
    explicit RunningEntry(std::function<int()> entry)
        : m_result(std::async(std::launch::async, std::move(entry)))
    {
    }
    // True once the entry has returned (within `timeoutMs`).
    bool returned(int timeoutMs)
    {
        return m_result.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    }
    int result() { return m_result.get(); }

private:
    std::future<int> m_result;
};

} // namespace enginetest
