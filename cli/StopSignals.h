// SIGINT and SIGTERM as stop requests that the command's thread picks up when it looks,
// instead of handlers that interrupt whatever runs.
//
// Construct it first thing on the main thread, before any other thread exists: it blocks the
// two signals in the calling thread, and every thread started afterwards (the stream's, the
// engine's, PortAudio's, the NDI runtime's) inherits the mask, so the signals stay pending
// until wait() takes them. SIGPIPE is ignored: a closed output is seen as a failed write.
#pragma once

#include <chrono>
#include <csignal>

namespace veltrin::cli {

class StopSignals
{
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Waits up to `timeout` for SIGINT or SIGTERM. True once one has arrived (now or before).
    bool wait(std::chrono::milliseconds timeout);
    // Takes a pending signal without waiting. True once one has arrived.
    bool received() { return wait(std::chrono::milliseconds(0)); }
    // The signal that arrived first, or 0.
    int which() const { return m_signal; }

private:
    sigset_t m_stopSet;
    sigset_t m_previousMask;
    struct sigaction m_previousPipe;
    int m_signal = 0;
};

} // namespace veltrin::cli
