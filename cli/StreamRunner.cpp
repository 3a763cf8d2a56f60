#include "StreamRunner.h"

#include <utility>

namespace veltrin::cli {

namespace {
constexpr auto kStopRepeat = std::chrono::milliseconds(50);
} // namespace

StreamRunner::StreamRunner(std::function<int()> entry, void (*stopFunction)())
    : m_stop(stopFunction), m_thread([this, run = std::move(entry)] {
          m_result.store(run(), std::memory_order_relaxed);
          m_finished.store(true, std::memory_order_release);
      })
{
}

StreamRunner::~StreamRunner()
{
    while (!stop(std::chrono::seconds(60))) {
    }
    m_thread.join();
}

bool StreamRunner::stop(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!finished()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        m_stop();
        std::this_thread::sleep_for(kStopRepeat);
    }
    return true;
}

} // namespace veltrin::cli
