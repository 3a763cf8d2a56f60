// Starts and stops one stream's worker for the page's switch so that no click is lost. The
// engine drops a stop request made before its entry has started, and QThread ignores a start
// while the previous run is still ending (the duplex stop alone takes a second): so a stop is
// repeated until the worker has ended, and a start that comes while it ends is made when it
// has ended. A start while the stream runs and no stop is under way is refused with a log line.
//
// Lives in the GUI thread with the controller that owns it; the worker's finished() signal
// reaches it queued. The worker belongs to the controller and outlives this object's use.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class QThread;

class StreamControl : public QObject
{
    Q_OBJECT

public:
    // `stream` names it in the log as the pages do; `stopEngine` is its engine stop function.
    StreamControl(QThread *worker, QString stream, void (*stopEngine)(), QObject *parent);

    // GUI thread. `startWorker` hands the parameters to the worker and starts it: now, or
    // once the run that is being stopped has ended.
    void start(std::function<void()> startWorker);
    // GUI thread. Asks the engine to stop the stream, again and again until the worker has
    // ended; cancels a start that was waiting for that.
    void stop();
    // GUI thread, before the worker is destroyed: if a stop is under way, blocks until the
    // worker has ended, repeating the stop meanwhile (no timer runs then).
    void settle();

private:
    void workerFinished();
    void repeatStop();

    QThread *m_worker;
    QString m_stream;
    void (*m_stopEngine)();
    std::function<void()> m_pendingStart;
    bool m_stopping = false; // a stop was asked for and the worker has not ended since
    QTimer m_repeat;
};
