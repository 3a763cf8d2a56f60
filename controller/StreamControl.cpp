#include "StreamControl.h"

#include <QDebug>
#include <QThread>
#include <utility>

namespace {
// Often enough that a stop lost to an entry that was still starting costs a user nothing
// noticeable; each repetition is one lock and one notify.
constexpr int kRepeatMs = 50;
} // namespace

StreamControl::StreamControl(QThread *worker, QString stream, void (*stopEngine)(), QObject *parent)
    : QObject(parent), m_worker(worker), m_stream(std::move(stream)), m_stopEngine(stopEngine)
{
    m_repeat.setInterval(kRepeatMs);
    connect(&m_repeat, &QTimer::timeout, this, &StreamControl::repeatStop);
    connect(m_worker, &QThread::finished, this, &StreamControl::workerFinished,
            Qt::QueuedConnection);
}

void StreamControl::start(std::function<void()> startWorker)
{
    if (m_stopping) {
        m_pendingStart = std::move(startWorker);
        return;
    }
    if (m_worker->isRunning()) {
        qWarning().noquote()
            << QStringLiteral("%1 is already running; the start is ignored.").arg(m_stream);
        return;
    }
    startWorker();
}

void StreamControl::stop()
{
    m_pendingStart = nullptr;
    m_stopEngine();
    if (m_worker->isRunning()) {
        m_stopping = true;
        m_repeat.start();
    }
}

void StreamControl::settle()
{
    m_pendingStart = nullptr;
    if (!m_stopping)
        return;
    while (!m_worker->wait(kRepeatMs))
        m_stopEngine();
    m_repeat.stop();
    m_stopping = false;
}

void StreamControl::repeatStop()
{
    if (m_worker->isRunning())
        m_stopEngine();
    else
        m_repeat.stop();
}

void StreamControl::workerFinished()
{
    m_repeat.stop();
    m_stopping = false;
    if (m_pendingStart) {
        // finished() comes while the thread is still ending; QThread::start() waits for that.
        const std::function<void()> startWorker = std::move(m_pendingStart);
        m_pendingStart = nullptr;
        startWorker();
    }
}
