// The stream workers drive the engine entries with the parameters of the latest setParams(),
// as UTF-8, only the engine's stop functions end a stream, and a stream that cannot start
// leaves one line in the log.
#include "Audio.Capture.Playback.h"
#include "FakePortAudio.h"
#include "InOut.h"
#include "InPutProcess.h"
#include "NdiRecorder.h"
#include "OutPutProcess.h"

#include <QtTest>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kWaitMs = 20000;
constexpr float kInput = 0.25f;

fakepa::Table deskTable()
{
    fakepa::Table t;
    fakepa::Device desk;
    desk.name = "Desk";
    desk.maxInputChannels = 2;
    desk.maxOutputChannels = 2;
    t.devices = {desk};
    t.inputSignal = [](long long, int) { return kInput; };
    return t;
}

// Qt's messages while it lives, instead of the default output.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&capture);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return s_lines; }

private:
    static void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtWarningMsg)
            s_lines << text;
    }
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

float largestSent()
{
    float largest = 0.0f;
    for (const auto &frame : ndirec::sentFrames())
        for (float v : frame.planar)
            largest = std::max(largest, std::abs(v));
    return largest;
}

float largestPlayed()
{
    float largest = 0.0f;
    for (float v : fakepa::playedSamples())
        largest = std::max(largest, std::abs(v));
    return largest;
}

} // namespace

class StreamWorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fakepa::setTable(deskTable());
        ndirec::reset();
    }

    void inputRunsUnderItsUtf8NameUntilTheEngineStopsItAndRestartsWithTheLatestParameters()
    {
        InPutProcess worker;
        worker.setParams(QStringLiteral("Desk"), QStringLiteral("Bühne ☆ 1"), 0.0f, 256, 48000);
        worker.startThread();
        QTRY_VERIFY_WITH_TIMEOUT(ndirec::sentFrameCount() > 0, kWaitMs);
        QCOMPARE(QString::fromStdString(ndirec::senderSettings().back().name),
                 QStringLiteral("Bühne ☆ 1"));
        // stopThread() leaves the stream running: only the engine's stop ends it.
        worker.stopThread();
        const size_t before = ndirec::sentFrameCount();
        QTRY_VERIFY_WITH_TIMEOUT(ndirec::sentFrameCount() > before + 4, kWaitMs);
        QVERIFY(worker.isRunning());
        stopAudioInput();
        QVERIFY(worker.wait(kWaitMs));

        ndirec::reset();
        worker.setParams(QStringLiteral("desk"), QStringLiteral("Second"), 0.0f, 128, 44100);
        worker.startThread();
        QTRY_VERIFY_WITH_TIMEOUT(ndirec::sentFrameCount() > 0, kWaitMs);
        stopAudioInput();
        QVERIFY(worker.wait(kWaitMs));
        QCOMPARE(ndirec::senderSettings().back().name, std::string("Second"));
        const fakepa::OpenedStream stream = fakepa::openedStreams().back();
        QCOMPARE(stream.framesPerBuffer, 128UL);
        QCOMPARE(stream.sampleRate, 44100.0);
    }

    void aStreamThatCannotStartSaysSoOnceInTheLog()
    {
        LogCapture log;
        fakepa::setTable(fakepa::Table{}); // no device at all: no stream can open
        InPutProcess input;
        input.setParams(QStringLiteral("Desk"), QStringLiteral("Bühne"), 0.0f, 256, 48000);
        input.startThread();
        QVERIFY(input.wait(kWaitMs));
        OutPutProcess output;
        output.setParams(QStringLiteral("Desk"), QStringLiteral("HOST (B)"), 0.0f, 512, 44100);
        output.startThread();
        QVERIFY(output.wait(kWaitMs));
        InOut duplex;
        duplex.setParams(QStringLiteral("Desk"), QStringLiteral("Send"), QStringLiteral("Recv"),
                         0.0f, 128, 96000);
        duplex.start();
        QVERIFY(duplex.wait(kWaitMs));
        QCOMPARE(log.lines(),
                 QStringList({QStringLiteral("Capture to NDI did not start: device \"Desk\", NDI "
                                             "name \"Bühne\", 256 frames at 48000 Hz; the audio "
                                             "engine printed why on standard output."),
                              QStringLiteral("NDI to playback did not start: device \"Desk\", NDI "
                                             "source \"HOST (B)\", 512 frames at 44100 Hz; the "
                                             "audio engine printed why on standard output."),
                              QStringLiteral("Duplex did not start: device \"Desk\", NDI name "
                                             "\"Send\", NDI source \"Recv\", 128 frames at 96000 "
                                             "Hz; the audio engine printed why on standard "
                                             "output.")}));

        // A stream that ran and was stopped says nothing.
        fakepa::setTable(deskTable());
        input.startThread();
        QTRY_VERIFY_WITH_TIMEOUT(ndirec::sentFrameCount() > 0, kWaitMs);
        stopAudioInput();
        QVERIFY(input.wait(kWaitMs));
        QCOMPARE(log.lines().size(), 3);
    }

    void duplexAppliesItsOneGainInBothDirections()
    {
        ndirec::setFramesyncSignal([](long long, int) { return kInput; });
        InOut worker;
        worker.setParams(QStringLiteral("Desk"), QStringLiteral("Send"), QStringLiteral("Recv"),
                         6.0f, 256, 48000);
        worker.start();
        QTRY_VERIFY_WITH_TIMEOUT(ndirec::sentFrameCount() > 4 && largestPlayed() > 0.0f, kWaitMs);
        stopAudioDuplex();
        QVERIFY(worker.wait(kWaitMs));

        QCOMPARE(ndirec::senderSettings().back().name, std::string("Send"));
        QCOMPARE(ndirec::receiverSettings().back().source, std::string("Recv"));
        const float expected = kInput * static_cast<float>(db_to_ratio(6.0));
        QVERIFY2(std::abs(largestSent() - expected) < 1e-4f,
                 qPrintable(QString::number(largestSent())));
        QVERIFY2(std::abs(largestPlayed() - expected) < 1e-4f,
                 qPrintable(QString::number(largestPlayed())));
    }
};

QTEST_GUILESS_MAIN(StreamWorkerTest)
#include "StreamWorkerTest.moc"
