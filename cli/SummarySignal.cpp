#include "SummarySignal.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

namespace veltrin::cli {

SummarySignal::SummarySignal()
{
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &m_set, &m_previousMask);
}

SummarySignal::~SummarySignal()
{
    // A signal still pending would end the process once unblocked (SIGUSR1's default action).
    taken();
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

bool SummarySignal::taken()
{
    const timespec now{0, 0};
    bool any = false;
    for (;;) {
        const int got = sigtimedwait(&m_set, nullptr, &now);
        if (got == SIGUSR1) {
            any = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return any;
    }
}

} // namespace veltrin::cli
