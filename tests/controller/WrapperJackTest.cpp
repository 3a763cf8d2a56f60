// Stream control through the controller as the pages use it, on real PortAudio against a
// private JACK dummy server: a probe client feeds a ramp into the stream's input ports, the
// NDI recorder keeps what is published (the one-way output runs in wrapper_ndi_test). The
// dummy driver has xruns of its own, so frames are matched against the ramp one by one and
// counted rather than compared from the first block.
#include "ControllerOnJack.h"
#include "JackHarness.h"
#include "NdiRecorder.h"
#include "wrapper.h"

#include <QtTest>
#include <cmath>
#include <string>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000;
constexpr long long kWrap = 65536;
// JACK clients of the same name collide across servers of one user (shared memory), so every
// test process names its clients after itself: tests run in parallel, each with its own server.
const std::string kClient = "veltrin-" + std::to_string(getpid());
const std::string kProbe = "probe-" + std::to_string(getpid());

// Channel c at frame f encodes its own position, exactly representable in float.
float ramp(long long f, int c)
{
    return static_cast<float>((f + 1000 * c) % kWrap) / static_cast<float>(kWrap) - 0.5f;
}

// Frames sent by `sender` of `samples` samples whose two channels carry the ramp unchanged.
int framesCarryingTheRamp(const std::string &sender, int samples)
{
    int matched = 0;
    for (const ndirec::SentFrame &f : ndirec::sentFrames()) {
        if (f.sender != sender || f.channels != 2 || f.samples != samples)
            continue;
        const long long p =
            ((std::llround((static_cast<double>(f.planar[0]) + 0.5) * kWrap) % kWrap) + kWrap)
            % kWrap;
        bool same = true;
        for (int c = 0; c < 2 && same; ++c)
            for (int i = 0; i < samples && same; ++i)
                same = f.planar[static_cast<size_t>(c * samples + i)] == ramp(p + i, c);
        matched += same ? 1 : 0;
    }
    return matched;
}

// Waits for the stream's ports and wires the probe to them, the event loop running meanwhile: a
// start made while the last run of the stream is still ending is carried out only once the
// worker's end has come through the event loop, as it does under the pages.
bool wireStream(JackProbe &probe, int inputs, int outputs)
{
    return QTest::qWaitFor([&] { return probe.wire(kClient, inputs, outputs, 50); }, kWaitMs);
}

} // namespace

class WrapperJackTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { ndirec::reset(); }

    void oneWayInputPublishesTheDeviceUnderTheTypedName()
    {
        Wrapper w;
        const QString entry = entryOf(w.inPutDevice(), QStringLiteral("system"));
        QVERIFY2(!entry.isEmpty(), qPrintable(w.inPutDevice().join(QLatin1Char('|'))));
        w.setInPutDev(entry);
        w.setNdiInSourName(QStringLiteral("Studio Ü"));

        JackProbe probe(kProbe, 2);
        QVERIFY(probe.ok());
        probe.setSignal(ramp);
        QSignalSpy levels(&w, &Wrapper::levelChanged);
        w.setCheckIn(true);
        w.startInThread();
        QVERIFY(wireStream(probe, 2, 0));
        QTRY_VERIFY_WITH_TIMEOUT(framesCarryingTheRamp("Studio Ü", 256) >= 20, kWaitMs);
        // The ramp sweeps -0.5..0.5 every 1.4 s; while it is beyond +-0.25 a block of 2 x 256
        // samples square-sums to 32..128, which the meter shows as 2.
        QTRY_COMPARE_WITH_TIMEOUT(w.level(), 2.0, kWaitMs);

        // A new buffer size waits for the next start.
        w.setBuffSize(512);
        const int before = levels.count();
        w.stopInThread();
        w.setCheckIn(false);
        QCOMPARE(w.level(), 0.0);
        QCOMPARE(levels.count(), before + 1);
        QTRY_COMPARE_WITH_TIMEOUT(w.level(), -3.0, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().sendersDestroyed, 1, kWaitMs);
        QCOMPARE(framesCarryingTheRamp("Studio Ü", 512), 0);

        // The next start takes the values current at that moment.
        w.setNdiInSourName(QStringLiteral("Second"));
        w.setCheckIn(true);
        w.startInThread();
        QVERIFY(wireStream(probe, 2, 0));
        QTRY_VERIFY_WITH_TIMEOUT(framesCarryingTheRamp("Second", 512) >= 10, kWaitMs);
        w.stopInThread();
        w.setCheckIn(false);
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().sendersDestroyed, 2, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(w.level(), -3.0, kWaitMs);
    }

    void duplexStartsAndStopsBothMeters()
    {
        Wrapper w;
        w.setInOutPutDev(QStringLiteral("system"));
        w.setNdiInSourNameDuplex(QStringLiteral("Duplex"));
        w.setNdiOutDuplexSourceName(QStringLiteral("HOST (Studio B)"));
        // 2 x 256 samples of 0.25 square-sum to 32: the output meter shows 2.
        ndirec::setFramesyncSignal([](long long, int) { return 0.25f; });
        JackProbe probe(kProbe, 2);
        QVERIFY(probe.ok());
        probe.setSignal(ramp);

        QSignalSpy levels(&w, &Wrapper::levelChanged);
        w.setCheckInOut(true);
        w.startInOutThread();
        QVERIFY(wireStream(probe, 2, 2));
        QTRY_VERIFY_WITH_TIMEOUT(framesCarryingTheRamp("Duplex", 256) >= 10, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(w.level(), 2.0, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(w.outLevel(), 2.0, kWaitMs);

        // The duplex stop leaves both meters to the pollers' final values.
        QSignalSpy outLevels(&w, &Wrapper::outLevelChanged);
        const int before = levels.count();
        w.stopInOutThread();
        w.setCheckInOut(false);
        QCOMPARE(levels.count(), before);
        QCOMPARE(outLevels.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(w.level(), -3.0, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(w.outLevel(), -3.0, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().sendersDestroyed, 1, kWaitMs);
    }
};

int main(int argc, char **argv)
{
    return runControllerTestOnJack<WrapperJackTest>(argc, argv, kClient);
}

#include "WrapperJackTest.moc"
