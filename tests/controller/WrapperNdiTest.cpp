// The controller with the real NDI runtime, as a user meets it: a source published by another
// process on loopback appears in the source list, plays on the chosen device (a JACK dummy
// device recorded by a probe client) and leaves the list when its process ends.
#include "ChildProcess.h"
#include "Discovery.h"
#include "JackHarness.h"
#include "ScratchHome.h"
#include "TestSignal.h"
#include "wrapper.h"

#include <QtTest>
#include <cmath>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 30000;
// JACK clients of the same name collide across servers of one user (shared memory), so every
// test process names its clients after itself: tests run in parallel, each with its own server.
const std::string kClient = "veltrin-" + std::to_string(getpid());
const std::string kProbe = "probe-" + std::to_string(getpid());

// Played frames that carry the test signal: channel 1 mirrors channel 0, and channel 0 rises by
// one step of the signal from the previous frame. Tolerant of the small rate correction a
// frame synchroniser may apply, not of silence or of any other signal.
long long framesCarryingTheSignal(const JackProbe &probe)
{
    const std::vector<float> left = probe.recorded(0);
    const std::vector<float> right = probe.recorded(1);
    const size_t n = std::min(left.size(), right.size());
    constexpr float kStep = 1.0f / 32768.0f;
    long long matched = 0;
    for (size_t i = 1; i < n; ++i) {
        const float rise = left[i] - left[i - 1];
        if (left[i] != 0.0f && std::abs(left[i] + right[i]) < 1e-6f
            && std::abs(rise - kStep) < 0.05f * kStep)
            ++matched;
    }
    return matched;
}

QString entryOf(const QStringList &entries, const QString &device)
{
    for (const QString &entry : entries)
        if (entry.endsWith(QStringLiteral("  ") + device))
            return entry;
    return QString();
}

} // namespace

class WrapperNdiTest : public QObject
{
    Q_OBJECT

private slots:
    void sourceOnTheNetworkIsListedPlayedAndDropped()
    {
        // The controller writes the runtime's configuration before discovery starts it; the
        // sender, started afterwards, reads the same file.
        Wrapper w;
        const std::string name = "Loopback " + std::to_string(getpid());
        auto sender = std::make_unique<veltrin::test::ChildProcess>(
            std::vector<std::string>{VELTRIN_SIGNAL_SENDER, name, "120"});
        QVERIFY(sender->waitFor("sending", kWaitMs));
        const QString source = QString::fromStdString(
            veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name));
        QTRY_VERIFY_WITH_TIMEOUT(w.ndiDevice().contains(source), kWaitMs);

        const QString entry = entryOf(w.outPutDevice(), QStringLiteral("system"));
        QVERIFY2(!entry.isEmpty(), qPrintable(w.outPutDevice().join(QLatin1Char('|'))));
        w.setOutPutDevFullString(entry);
        w.setOutPutDev(entry);
        w.setNdiOutSourceName(source);
        JackProbe probe(kProbe, 2, 60.0);
        QVERIFY(probe.ok());
        w.setCheckOut(true);
        w.startOutThread();
        QVERIFY(probe.wire(kClient, 0, 2));
        probe.clearRecording();
        // One second of the sender's signal, in whatever pieces the dummy server's xruns leave.
        QTRY_VERIFY_WITH_TIMEOUT(framesCarryingTheSignal(probe) >= 48000, kWaitMs);
        QVERIFY(w.outLevel() > -3.0);

        w.stopOutThread();
        w.setCheckOut(false);
        QCOMPARE(w.outLevel(), 0.0);
        QTRY_COMPARE_WITH_TIMEOUT(w.outLevel(), -3.0, kWaitMs);

        // The sender's process ends: its source leaves the list.
        QCOMPARE(sender->finish(kWaitMs), 0);
        sender.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!w.ndiDevice().contains(source), kWaitMs);
    }
};

int main(int argc, char **argv)
{
    const ScratchHome home;
    if (!home.valid())
        return 1;

    JackServer server(48000, 256, 2, 2);
    if (!server.running())
        return 1;
    setPortAudioJackClientName(kClient);

    QCoreApplication app(argc, argv);
    WrapperNdiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WrapperNdiTest.moc"
