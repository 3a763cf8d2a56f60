// The controller with the real NDI runtime, as a user meets it: a source published by another
// process on loopback appears in the source list, plays on the chosen device (a JACK dummy
// device recorded by a probe client) and leaves the list when its process ends; on a first
// run, with no name typed, the capture switch publishes under a generated name that a receiver
// can pick; and every stream survives being switched on and off over and over, quickly too.
//
// The cycles run 20 times per one-way stream and 5 times for the duplex stream (whose stop
// pauses a second); VELTRIN_CYCLES and VELTRIN_DUPLEX_CYCLES set other counts for a soak.
#include "ChildProcess.h"
#include "Discovery.h"
#include "ControllerOnJack.h"
#include "JackHarness.h"
#include "NdiLib.h"
#include "PulledReceiver.h"
#include "TestSignal.h"
#include "wrapper.h"

#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
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
// called. `ports` is how many JACK ports its PortAudio client connects once it streams.
struct PagedStream {
    const char *name;
    const char *thread;
    int ports;
    std::function<void(bool)> flip;
};

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

    void firstRunPublishesUnderAGeneratedNameThatAReceiverCanPick()
    {
        Wrapper w;
        QVERIFY(w.ndiInSourName().isEmpty()); // nothing typed yet
        const QString entry = entryOf(w.inPutDevice(), QStringLiteral("system"));
        QVERIFY(!entry.isEmpty());
        w.setInPutDevFullString(entry);
        w.setInPutDev(entry);
        JackProbe probe(kProbe, 2);
        QVERIFY(probe.ok());
        probe.setSignal([](long long frame, int channel) {
            return veltrin::test::signalValue(frame, channel);
        });
        w.setCheckIn(true);
        w.startInThread();
        QVERIFY(probe.wire(kClient, 2, 0));
        const veltrin::rt::DiscoveryConfig config = veltrin::rt::DiscoveryConfig::load();
        const QString generated =
            QString::fromStdString(veltrin::rt::sourceName(config, "Veltrin"));
        QTRY_VERIFY_WITH_TIMEOUT(w.ndiDevice().contains(generated), kWaitMs);

        // Another sender without a name in this process takes the next free name.
        NDIlib_send_create_t settings;
        settings.p_ndi_name = "";
        NDIlib_send_instance_t second = NDIlib_send_create(&settings);
        QVERIFY(second != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(w.ndiDevice().contains(QString::fromStdString(
                                     veltrin::rt::sourceName(config, "Veltrin 2"))),
                                 kWaitMs);
        NDIlib_send_destroy(second);

        // A receiver picks the source by the name the list shows and gets the device's input.
        veltrin::test::PulledReceiver receiver(generated.toStdString());
        veltrin::test::Clock::time_point at;
        QVERIFY(receiver.waitForAudio(veltrin::test::Clock::now() - std::chrono::hours(1),
                                      std::chrono::milliseconds(kWaitMs), at));

        // Started again, the stream keeps its name.
        w.setCheckIn(false);
        w.stopInThread();
        QTRY_VERIFY_WITH_TIMEOUT(threadsNamed("InPutProcess").isEmpty(), kWaitMs);
        w.setCheckIn(true);
        w.startInThread();
        // The start may wait for the end of the last run to come through the event loop.
        QTRY_VERIFY_WITH_TIMEOUT(!threadsNamed("InPutProcess").isEmpty(), kWaitMs);
        QVERIFY(probe.wire(kClient, 2, 0));
        veltrin::test::PulledReceiver again(generated.toStdString());
        QVERIFY(again.waitForAudio(veltrin::test::Clock::now(), std::chrono::milliseconds(kWaitMs),
                                   at));
        w.setCheckIn(false);
        w.stopInThread();
        QTRY_VERIFY_WITH_TIMEOUT(threadsNamed("InPutProcess").isEmpty(), kWaitMs);
    }

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
              }},
             oneWay},
            {{"NDI to playback", "OutPutProcess", 2,
              [&](bool on) {
                  w.setCheckOut(on);
                  on ? w.startOutThread() : w.stopOutThread();
              }},
             oneWay},
            {{"duplex", "InOut", 4,
              [&](bool on) {
                  w.setCheckInOut(on);
                  on ? w.startInOutThread() : w.stopInOutThread();
              }},
             duplex},
        };
        for (const auto &[stream, cycles] : streams)
            cycle(probe, stream, cycles);
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
