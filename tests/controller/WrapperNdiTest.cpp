// The controller with the real NDI runtime on loopback and real PortAudio on a JACK dummy
// server: a capture reaches the network under the name typed for it, and all three streams
// carry on through the server dying and coming back, each page's state saying so meanwhile;
// every stop still stops its stream, its meter reset at the stop.
#include "CliTestSupport.h"
#include "ControllerOnJack.h"
#include "JackHarness.h"
#include "wrapper.h"

#include <QScopeGuard>
#include <QSysInfo>
#include <QtTest>
#include <cmath>
#include <string>
#include <unistd.h>

namespace {

// JACK clients of the same name collide across servers of one user (shared memory), so every
// test process names its clients after itself: tests run in parallel, each with its own server.
const std::string kClient = "veltrin-" + std::to_string(getpid());
const std::string kProbe = "probe-" + std::to_string(getpid());
constexpr int kWaitMs = 60000;

QStringList g_logged;

} // namespace

class WrapperNdiTest : public QObject
{
    Q_OBJECT

private slots:
    void streamsCarryOnWhenTheAudioServerDiesAndComesBack()
    {
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { g_logged << text; });
        Wrapper w;
        w.setInPutDev(entryOf(w.inPutDevice(), QStringLiteral("system")));
        w.setOutPutDev(entryOf(w.outPutDevice(), QStringLiteral("system")));
        w.setInOutPutDev(QStringLiteral("system"));
        w.setNdiInSourName(QStringLiteral("Ctl Desk"));
        w.setNdiOutSourceName(QStringLiteral("HOST (Nobody)"));
        w.setNdiOutDuplexSourceName(QStringLiteral("HOST (Nobody)"));
        const auto stopAll = qScopeGuard([&] {
            w.stopInThread();
            w.stopOutThread();
            w.stopInOutThread();
        });
        // The probe's sine, captured, is heard under "HOST (name)". No probe may outlive the
        // server it joined: JACK's close would reach into the dead server's memory.
        w.startInThread();
        {
            JackProbe probe(kProbe, 2);
            QVERIFY(probe.ok());
            probe.setSignal([](long long frame, int) {
                return 0.5f * float(std::sin(2.0 * M_PI * 1000.0 * double(frame) / 48000.0));
            });
            QVERIFY(probe.wire(kClient, 2, 0));
            QVERIFY(NDIlib_initialize());
            const QString host =
                QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0).toUpper();
            clitest::ToneListener listener(host.toStdString() + " (Ctl Desk)");
            QVERIFY2(
                listener.hear(1000.0, 0.5, 5, kWaitMs, [] { QCoreApplication::processEvents(); }),
                "the capture's sine never reached the network");
        }
        // Its meter reads 0 at once, before the poller's last word comes through the event
        // loop; switched on again at once, it starts once the last run has ended.
        w.stopInThread();
        QCOMPARE(w.level(), 0.0);
        w.startInThread();
        w.startOutThread();
        w.startInOutThread();
        // Two ports each one way, four for the duplex stream.
        const auto streaming = [] {
            JackProbe probe(kProbe, 2);
            return QTest::qWaitFor([&] { return probe.connectedPorts(kClient) == 8; }, kWaitMs);
        };
        QVERIFY2(streaming(), "the three streams did not come up");
        const auto states = [&] {
            return QStringList{w.inDeviceState(), w.outDeviceState(), w.duplexDeviceState()};
        };
        QCOMPARE(states(), (QStringList{QString(), QString(), QString()}));

        controllerJackServer()->kill();
        QVERIFY(QTest::qWaitFor([&] { return !states().contains(QString()); }, kWaitMs));
        QVERIFY(QTest::qWaitFor([&] { return w.level() < -2.0; }, kWaitMs));

        QVERIFY(controllerJackServer()->start());
        QVERIFY2(streaming(), "the streams did not come back");
        QVERIFY(QTest::qWaitFor([&] { return states().join(QString()).isEmpty(); }, kWaitMs));
        for (const char *stream : {"Capture to NDI", "NDI to playback", "Duplex"}) {
            const QString prefix = QLatin1String(stream) + QStringLiteral(": device \"system\" ");
            QCOMPARE(g_logged.filter(prefix + QStringLiteral("went away")).size(), 1);
            QCOMPARE(g_logged.filter(prefix + QStringLiteral("is back")).size(), 1);
        }

        w.stopInThread();
        w.stopOutThread();
        QCOMPARE(w.outLevel(), 0.0);
        w.stopInOutThread();
        JackProbe probe(kProbe, 2);
        QVERIFY2(QTest::qWaitFor([&] { return probe.connectedPorts(kClient) == 0; }, kWaitMs),
                 "a stream did not stop (hang)");
        qInstallMessageHandler(previous);
    }
};

int main(int argc, char **argv)
{
    return runControllerTestOnJack<WrapperNdiTest>(argc, argv, kClient);
}

#include "WrapperNdiTest.moc"
