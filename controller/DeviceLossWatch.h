// Turns one stream's health, as the engine keeps it, into what the window shows and logs: a
// state text for the page while the device is away, and one log line when it goes and one when
// it comes back.
//
// A device that goes away does not switch the stream off: the engine keeps the NDI side going
// and reopens the device when it returns, so the switch stays on (as the operator left it) and
// the page says, beside it, that Veltrin waits for the device. Switching off still stops the
// stream at once.
//
// Lives in the GUI thread; poll() reads the engine's atomics, so it never waits for the stream.
#pragma once

#include <QString>

struct StreamHealth;

class DeviceLossWatch
{
public:
    // `stream` names it in the log as the pages do.
    DeviceLossWatch(QString stream, const StreamHealth &health);

    // Looks at the stream's health; true when the state text changed. Logs each loss and each
    // return it finds, including one that came and went between two polls.
    bool poll();
    // Empty while the device is there (or no stream runs), else what the page shows.
    QString state() const { return m_state; }

private:
    QString m_stream;
    const StreamHealth &m_health;
    uint32_t m_losses = 0;
    uint32_t m_returns = 0;
    QString m_state;
};
