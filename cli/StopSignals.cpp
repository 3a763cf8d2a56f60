#include "StopSignals.h"

#include <cerrno>
#include <pthread.h>

namespace veltrin::cli {

StopSignals::StopSignals()
{
    sigemptyset(&m_stopSet);
    sigaddset(&m_stopSet, SIGINT);
    sigaddset(&m_stopSet, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_stopSet, &m_previousMask);

    struct sigaction ignore {
    };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &m_previousPipe);
}

StopSignals::~StopSignals()
{
    sigaction(SIGPIPE, &m_previousPipe, nullptr);
    // A signal still pending would be delivered, with its default action, once unblocked.
    wait(std::chrono::milliseconds(0));
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

bool StopSignals::wait(std::chrono::milliseconds timeout)
{
    // Once a stop has been asked for, nothing is waited for any more.
    const long long ms = m_signal == 0 && timeout.count() > 0 ? timeout.count() : 0;
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    for (;;) {
        const int taken = sigtimedwait(&m_stopSet, nullptr, &span);
        if (taken > 0) {
            if (m_signal == 0)
                m_signal = taken;
            // Take the other one too if it is pending, so that it is not delivered later.
            span = timespec{0, 0};
            continue;
        }
        if (errno != EINTR)
            break;
    }
    return m_signal != 0;
}

} // namespace veltrin::cli
