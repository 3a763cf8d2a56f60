// Start and stop of a stream's worker as the switch asks for them, against a worker with the
// engine's stop rule (an entry clears its stop request when it begins, so a request made
// before is lost) whose start and end the test can hold back: a stop before the entry has
// begun, a start while the last run ends, a stop that cancels that start, a start while the
// stream runs, and the wait at teardown.
#include "StreamControl.h"

#include <QtTest>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

constexpr int kWaitMs = 10000;

class GatedWorker : public QThread
{
public:
    // The engine's stop function for this worker.
    static void stopEntry()
    {
        {
            std::lock_guard<std::mutex> guard(s_lock);
            s_request = true;
        }
        s_changed.notify_all();
    }

    void hold(bool held)
    {
        {
            std::lock_guard<std::mutex> guard(s_lock);
            m_held = held;
        }
        s_changed.notify_all();
    }
    std::atomic<int> runs{0};
    std::atomic<bool> inEntry{false};
    std::atomic<int> endMs{0}; // how long a run takes to end after its stop

protected:
    void run() override
    {
        std::unique_lock<std::mutex> lock(s_lock);
        s_changed.wait(lock, [this] { return !m_held; });
        s_request = false; // the entry's first step
        ++runs;
        inEntry = true;
        s_changed.wait(lock, [] { return s_request; });
        inEntry = false;
        lock.unlock();
        QThread::msleep(static_cast<unsigned long>(endMs.load()));
    }

private:
    static inline std::mutex s_lock;
    static inline std::condition_variable s_changed;
    static inline bool s_request = false;
    bool m_held = false;
};

} // namespace

class StreamControlTest : public QObject
{
    Q_OBJECT

private slots:
    void aStopBeforeTheEntryHasBegunIsNotLost()
    {
        GatedWorker worker;
        StreamControl control(&worker, QStringLiteral("Capture to NDI"), &GatedWorker::stopEntry,
                              nullptr);
        worker.hold(true);
        control.start([&] { worker.start(); });
        control.stop(); // before the entry clears the request
        worker.hold(false);
        QTRY_VERIFY_WITH_TIMEOUT(worker.isFinished(), kWaitMs);
        QCOMPARE(worker.runs.load(), 1);
    }

    // One stream's life: a start while it runs, a start while its last run ends, and a stop
    // that cancels such a waiting start.
    void startsWhileRunningOrEndingAndAStopThatCancelsOne()
    {
        GatedWorker worker;
        StreamControl control(&worker, QStringLiteral("Duplex"), &GatedWorker::stopEntry, nullptr);
        const auto startWorker = [&] { worker.start(); };
        control.start(startWorker);
        QTRY_VERIFY_WITH_TIMEOUT(worker.inEntry, kWaitMs);
        QTest::ignoreMessage(QtWarningMsg, "Duplex is already running; the start is ignored.");
        control.start([] { QFAIL("a second start while the stream runs"); });

        worker.endMs = 300; // as the duplex stop pauses
        control.stop();
        control.start(startWorker);
        QCOMPARE(worker.runs.load(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(worker.runs.load(), 2, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(worker.inEntry, kWaitMs);

        worker.endMs = 200;
        control.stop();
        control.start(startWorker);
        control.stop();
        QTRY_VERIFY_WITH_TIMEOUT(worker.isFinished(), kWaitMs);
        QTest::qWait(300); // a start still waiting would come now
        QCOMPARE(worker.runs.load(), 2);
        QVERIFY(!worker.isRunning());
    }

    void teardownWaitsForAStopUnderWayAndRepeatsIt()
    {
        GatedWorker worker;
        StreamControl control(&worker, QStringLiteral("Capture to NDI"), &GatedWorker::stopEntry,
                              nullptr);
        worker.hold(true);
        control.start([&] { worker.start(); });
        control.stop(); // lost: the entry has not begun
        worker.hold(false);
        control.settle(); // no event loop runs here: settle itself repeats the stop
        QVERIFY(worker.isFinished());
    }
};

QTEST_GUILESS_MAIN(StreamControlTest)
#include "StreamControlTest.moc"
