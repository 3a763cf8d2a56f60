// Helpers shared by the engine's tests: running a blocking entry on a thread of its own, and
// waiting for a condition without fixed sleeps.
#pragma once

#include "Audio.Capture.Playback.h"

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace enginetest {

// Polls `condition` every 2 ms for up to `timeoutMs`; true as soon as it holds.
inline bool waitFor(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A blocking entry running on its own thread.
class RunningEntry
{
public:
    explicit RunningEntry(std::function<int()> entry)
        : m_result(std::async(std::launch::async, std::move(entry)))
    {
    }
    ~RunningEntry()
    {
        if (m_result.valid())
            m_result.wait();
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
