// The controller with the real NDI runtime and real PortAudio on a JACK dummy server: every
// stream survives being switched on and off over and over, quickly too, its meter reset at each
// stop, and carries on through the server dying and coming back (the end-to-end test publishes
// a capture through the window).
//
// The cycles run 20 times per one-way stream and 5 times for the duplex stream (whose stop
// pauses a second); VELTRIN_CYCLES and VELTRIN_DUPLEX_CYCLES set other counts for a soak.
#include "ControllerOnJack.h"
#include "JackHarness.h"
#include "wrapper.h"

#include <QtTest>
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

// JACK clients of the same name collide across servers of one user (shared memory), so every
// test process names its clients after itself: tests run in parallel, each with its own server.
const std::string kClient = "veltrin-" + std::to_string(getpid());
const std::string kProbe = "probe-" + std::to_string(getpid());

// The ids of this process's threads named `name`: Qt names a QThread's thread after its class.
QStringList threadsNamed(const char *name)
{
    QStringList ids;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(id + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            ids << id;
    }
    return ids;
}

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int cyclesFromEnvironment(const char *variable, int fallback)
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue(variable, &ok);
    return ok && n > 0 ? n : fallback;
}

// One stream as its page drives it: the switch is written, then the start or the stop is
// called. `ports` is how many JACK ports its PortAudio client connects once it streams;
// `meter`, for a one-way stream, is the level that its stop sets to 0 at once.
struct PagedStream {
    const char *name;
    const char *thread;
    int ports;
    std::function<void(bool)> flip;
    std::function<double()> meter;
};

} // namespace

class WrapperNdiTest : public QObject
{
    Q_OBJECT

private slots:
    void everyStreamSurvivesBeingSwitchedOnAndOffOverAndOver()
    {
        Wrapper w;
        const QString in = entryOf(w.inPutDevice(), QStringLiteral("system"));
        const QString out = entryOf(w.outPutDevice(), QStringLiteral("system"));
        QVERIFY(!in.isEmpty() && !out.isEmpty());
        w.setInPutDev(in);
        w.setOutPutDev(out);
        w.setInOutPutDev(QStringLiteral("system"));
        w.setNdiOutSourceName(QStringLiteral("HOST (Nobody)"));
        w.setNdiOutDuplexSourceName(QStringLiteral("HOST (Nobody)"));
        JackProbe probe(kProbe, 2);
        QVERIFY(probe.ok());

        const int oneWay = cyclesFromEnvironment("VELTRIN_CYCLES", 20);
        const int duplex = cyclesFromEnvironment("VELTRIN_DUPLEX_CYCLES", 5);
        const std::vector<std::pair<PagedStream, int>> streams = {
            {{"capture to NDI", "InPutProcess", 2,
              [&](bool on) {
                  w.setCheckIn(on);
                  on ? w.startInThread() : w.stopInThread();
              },
              [&] { return w.level(); }},
             oneWay},
            {{"NDI to playback", "OutPutProcess", 2,
              [&](bool on) {
                  w.setCheckOut(on);
                  on ? w.startOutThread() : w.stopOutThread();
              },
              [&] { return w.outLevel(); }},
             oneWay},
            {{"duplex", "InOut", 4,
              [&](bool on) {
                  w.setCheckInOut(on);
                  on ? w.startInOutThread() : w.stopInOutThread();
              },
              nullptr}, // the duplex stop leaves both meters to the pollers
             duplex},
        };
        for (const auto &[stream, cycles] : streams)
            cycle(probe, stream, cycles);
    }

    // Last: it kills the server the other cases use. All three streams run on it at once; when
    // it dies each page says so beside its switch, which stays on, and the log says it once per
    // stream; when it is back every stream streams again by itself, and each switch still stops
    // its stream within a bounded wait.
    void everyStreamCarriesOnWhenTheAudioServerDiesAndComesBack()
    {
        static QStringList logged;
        logged.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
        Wrapper w;
        w.setInPutDev(entryOf(w.inPutDevice(), QStringLiteral("system")));
        w.setOutPutDev(entryOf(w.outPutDevice(), QStringLiteral("system")));
        w.setInOutPutDev(QStringLiteral("system"));
        w.setNdiOutSourceName(QStringLiteral("HOST (Nobody)"));
        w.setNdiOutDuplexSourceName(QStringLiteral("HOST (Nobody)"));
        w.setCheckIn(true);
        w.startInThread();
        w.setCheckOut(true);
        w.startOutThread();
        w.setCheckInOut(true);
        w.startInOutThread();
        const auto streaming = [] {
            JackProbe probe(kProbe, 2);
            // Two ports each one way, four for the duplex stream.
            return QTest::qWaitFor([&] { return probe.connectedPorts(kClient) == 8; }, 20000);
        };
        QVERIFY2(streaming(), "the three streams did not come up");
        const auto states = [&] {
            return QStringList{w.inDeviceState(), w.outDeviceState(), w.duplexDeviceState()};
        };
        QCOMPARE(states(), (QStringList{QString(), QString(), QString()}));

        controllerJackServer()->kill();
        QVERIFY(QTest::qWaitFor([&] { return !states().contains(QString()); }, 10000));
        QVERIFY(w.checkIn() && w.checkOut() && w.checkInOut());
        QVERIFY(QTest::qWaitFor([&] { return w.level() < -2.0; }, 5000));

        QVERIFY(controllerJackServer()->start());
        QVERIFY2(streaming(), "the streams did not come back");
        QVERIFY(QTest::qWaitFor([&] { return states().join(QString()).isEmpty(); }, 5000));
        for (const char *stream : {"Capture to NDI", "NDI to playback", "Duplex"}) {
            const QString prefix = QLatin1String(stream) + QStringLiteral(": device \"system\" ");
            QCOMPARE(logged.filter(prefix + QStringLiteral("went away")).size(), 1);
            QCOMPARE(logged.filter(prefix + QStringLiteral("is back")).size(), 1);
        }

        w.setCheckIn(false);
        w.stopInThread();
        w.setCheckOut(false);
        w.stopOutThread();
        w.setCheckInOut(false);
        w.stopInOutThread();
        QVERIFY2(QTest::qWaitFor(
                     [] {
                         return threadsNamed("InPutProcess").isEmpty()
                                && threadsNamed("OutPutProcess").isEmpty()
                                && threadsNamed("InOut").isEmpty();
                     },
                     60000),
                 "a stream did not stop (hang)");
        qInstallMessageHandler(previous);
    }

private:
    // Switches one stream on and off `cycles` times: with the switch on, the stream must come
    // up and its worker live; off, the worker must end (a bounded wait: a hang fails). Every
    // fifth cycle switches off at once, before the engine entry can have started; every
    // fifth, three later, switches on again while the stop is still under way.
    void cycle(JackProbe &probe, const PagedStream &s, int cycles)
    {
        constexpr int kUpMs = 20000;
        constexpr int kHangMs = 20000;
        const auto alive = [&] { return !threadsNamed(s.thread).isEmpty(); };
        const auto up = [&] { return probe.connectedPorts(kClient) == s.ports && alive(); };
        const long kbBefore = residentKb();
        const auto start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration slowestStop{};
        for (int i = 0; i < cycles; ++i) {
            const QByteArray where = QByteArray(s.name) + " cycle " + QByteArray::number(i);
            s.flip(true);
            if (i % 5 == 4) {
                s.flip(false);
            } else {
                QVERIFY2(QTest::qWaitFor(up, kUpMs), where + ": switched on but not streaming");
                if (i % 5 == 2) {
                    const QStringList before = threadsNamed(s.thread);
                    s.flip(false);
                    s.flip(true);
                    QVERIFY2(QTest::qWaitFor(
                                 [&] { return up() && threadsNamed(s.thread) != before; }, kUpMs),
                             where + ": switched on again during the stop but not streaming");
                }
                s.flip(false);
            }
            // Before the poller's last word, which comes through the event loop.
            if (s.meter)
                QVERIFY2(s.meter() == 0.0, where + ": the meter was not reset at the stop");
            const auto stopped = std::chrono::steady_clock::now();
            QVERIFY2(QTest::qWaitFor([&] { return !alive() && probe.connectedPorts(kClient) == 0; },
                                     kHangMs),
                     where + ": switched off but the stream goes on (hang)");
            slowestStop = std::max(slowestStop, std::chrono::steady_clock::now() - stopped);
            if ((i + 1) % 100 == 0 && cycles >= 200) // a soak: memory over time
                qInfo("%s: %d cycles, RSS %ld kB", s.name, i + 1, residentKb());
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        qInfo("%s: %d cycles in %.1f s, slowest stop %.0f ms, RSS %ld -> %ld kB", s.name, cycles,
              seconds, std::chrono::duration<double, std::milli>(slowestStop).count(), kbBefore,
              residentKb());
    }
};

int main(int argc, char **argv)
{
    return runControllerTestOnJack<WrapperNdiTest>(argc, argv, kClient);
}

#include "WrapperNdiTest.moc"
