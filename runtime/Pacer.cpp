#include "Pacer.h"

#include <algorithm>

namespace veltrin::rt {

double Pacer::wait(double now, int samples, int rate)
{
    const double block = double(samples) / rate;
    // A caller that fell behind gets no credit beyond this: a device-paced caller therefore
    // never reaches its due time, only a caller that outruns the audio rate does.
    const double burst = 0.1 + 2 * block;
    if (!m_started) {
        m_due = now - burst;
        m_started = true;
    }
    m_due = std::max(m_due, now - burst) + block / kTolerance;
    if (m_due > now) {
        return m_due - now;
    }
    return 0;
}

} // namespace veltrin::rt
