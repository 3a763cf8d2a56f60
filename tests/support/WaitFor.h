// Polling for a condition that another thread or process brings about, with a bound.
#pragma once

#include <chrono>
#include <thread>

namespace veltrin::test {

// Polls `ready` every `pollMs` for up to `timeoutMs`; true as soon as it holds.
template <class Ready> bool waitFor(Ready ready, int timeoutMs = 10000, int pollMs = 2)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

} // namespace veltrin::test
