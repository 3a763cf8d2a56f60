// SIGUSR1 as a request for a summary of the stream's figures, picked up by the command's thread
// when it looks (like StopSignals, and constructed right after it on the main thread, before
// any other thread exists, so that every thread inherits the blocked signal).
#pragma once

#include <csignal>

namespace veltrin::cli {

class SummarySignal
{
public:
    SummarySignal();
    ~SummarySignal();
    SummarySignal(const SummarySignal &) = delete;
    SummarySignal &operator=(const SummarySignal &) = delete;

    // Takes a pending SIGUSR1 without waiting; true when one had arrived since the last call.
    bool taken();

private:
    sigset_t m_set;
    sigset_t m_previousMask;
};

} // namespace veltrin::cli
