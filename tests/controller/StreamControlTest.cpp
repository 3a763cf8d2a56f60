// Start and stop of a stream's worker as the switch asks for them, against a worker with the
// engine's stop rule (an entry clears its stop request when it begins, so a request made
// before is lost) whose start the test can hold back and whose end takes a while.
#include "StreamControl.h"

#include <QtTest>
#include <atomic>

namespace {

constexpr int kWaitMs = 10000;
std::atomic<bool> g_stopRequest{false};

class Worker : public QThread
{
public:
    static void stopEntry() { g_stopRequest = true; }
    std::atomic<bool> held{false}, inEntry{false};
    std::atomic<int> runs{0}, endMs{0};

protected:
    void run() override
    {
        while (held)
            msleep(1);
        g_stopRequest = false; // the entry's first step
        ++runs;
        inEntry = true;
        while (!g_stopRequest)
            msleep(1);
        inEntry = false;
        msleep(static_cast<unsigned long>(endMs.load()));
    }
};

} // namespace

class StreamControlTest : public QObject
{
    Q_OBJECT

private slots:
    // A stop before the entry has begun is repeated until it takes; at teardown, settle()
    // repeats it itself (no event loop runs there).
    void aStopBeforeTheEntryHasBegunIsNotLost()
    {
        for (const bool teardown : {false, true}) {
            Worker worker;
            StreamControl control(&worker, QStringLiteral("Capture to NDI"), &Worker::stopEntry,
                                  nullptr);
            worker.held = true;
            control.start([&] { worker.start(); });
            control.stop();
            worker.held = false;
            if (teardown)
                control.settle();
            QTRY_VERIFY_WITH_TIMEOUT(worker.isFinished(), kWaitMs);
            QCOMPARE(worker.runs.load(), 1);
        }
    }

    // A start while the stream runs is refused; one while its last run ends is made once it
    // has ended, unless a stop cancels it meanwhile.
    void startsWhileRunningOrEndingAndAStopThatCancelsOne()
    {
        Worker worker;
        StreamControl control(&worker, QStringLiteral("Duplex"), &Worker::stopEntry, nullptr);
        const auto startWorker = [&] { worker.start(); };
        control.start(startWorker);
        QTRY_VERIFY_WITH_TIMEOUT(worker.inEntry, kWaitMs);
        QTest::ignoreMessage(QtWarningMsg, "Duplex is already running; the start is ignored.");
        control.start([] { QFAIL("a second start while the stream runs"); });

        worker.endMs = 300; // as the duplex stop pauses
        control.stop();
        control.start(startWorker);
        QCOMPARE(worker.runs.load(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(worker.runs == 2 && worker.inEntry, kWaitMs);

        worker.endMs = 200;
        control.stop();
        control.start(startWorker);
        control.stop();
        QTRY_VERIFY_WITH_TIMEOUT(worker.isFinished(), kWaitMs);
        QTest::qWait(300); // a start still waiting would come now
        QCOMPARE(worker.runs.load(), 2);
        QVERIFY(!worker.isRunning());
    }
};

QTEST_GUILESS_MAIN(StreamControlTest)
#include "StreamControlTest.moc"
