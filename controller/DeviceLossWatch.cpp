#include "DeviceLossWatch.h"

#include "DeviceLink.h"

#include <QDebug>
#include <utility>

DeviceLossWatch::DeviceLossWatch(QString stream, const StreamHealth &health)
    : m_stream(std::move(stream)), m_health(health)
{
}

bool DeviceLossWatch::poll()
{
    const uint32_t losses = m_health.losses.load();
    const uint32_t returns = m_health.returns.load();
    // A new run starts its counts again from zero.
    if (losses < m_losses || returns < m_returns)
        m_losses = m_returns = 0;
    const QString device = QString::fromStdString(m_health.device());
    for (; m_losses < losses; ++m_losses)
        qWarning().noquote() << QStringLiteral("%1: device \"%2\" went away; the stream waits for "
                                               "it and reopens it when it returns.")
                                    .arg(m_stream, device);
    for (; m_returns < returns; ++m_returns)
        qWarning().noquote() << QStringLiteral("%1: device \"%2\" is back.").arg(m_stream, device);

    const QString state = m_health.lost.load()
                              ? QStringLiteral("Device went away: waiting for it to return")
                              : QString();
    if (state == m_state)
        return false;
    m_state = state;
    return true;
}
