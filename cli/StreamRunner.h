// Runs one blocking engine entry (process_input, process_output or process_duplex) on a thread
// of its own and ends it through the engine's matching stop function.
//
// Threads: constructed, asked and stopped from the command's thread; the entry runs on the
// runner's thread and publishes its return through two atomics (result before finished, with
// release/acquire so a reader that sees `finished` also sees the result).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace veltrin::cli {

class StreamRunner
{
public:
    StreamRunner(std::function<int()> entry, void (*stopFunction)());
    // Stops the stream and joins without a bound: an owner whose stop() timed out leaves the
    // process instead of destroying the runner.
    ~StreamRunner();
    StreamRunner(const StreamRunner &) = delete;
    StreamRunner &operator=(const StreamRunner &) = delete;

    // True once the entry has returned: after a stop, or at once when the stream failed.
    bool finished() const { return m_finished.load(std::memory_order_acquire); }
    // The entry's return (1 stopped in order, 0 failed); meaningful once finished().
    int result() const { return m_result.load(std::memory_order_relaxed); }

    // Asks the engine to stop until the entry has returned or `timeout` has passed; true when
    // it returned. The request is repeated because an entry clears its stop request when it
    // starts, so a request made before that moment is lost.
    bool stop(std::chrono::milliseconds timeout);

private:
    void (*m_stop)();
    std::atomic<int> m_result{0};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

} // namespace veltrin::cli
