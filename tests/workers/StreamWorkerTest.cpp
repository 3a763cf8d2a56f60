// The stream workers hand the engine the parameters of the latest setParams() as UTF-8, and a
// stream that cannot start leaves one line in the log, one that ran and was stopped none; the
// level pollers' figure of a block (the page tests cover their values and stop value).
#include "Audio.Capture.Playback.h"
#include "FakePortAudio.h"
#include "InOut.h"
#include "InPutProcess.h"
#include "LevelPoller.h"
#include "NdiRecorder.h"
#include "OutPutProcess.h"

#include <QtTest>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr int kWaitMs = 20000;
QStringList g_warnings;

} // namespace

class StreamWorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void blockLevelIsLog10OfTheSumOfSquares()
    {
        const double minusInf = -std::numeric_limits<double>::infinity();
        const struct {
            int channels, frames;
            float sample;
            double expected;
        } rows[] = {
            {2, 256, 0.5f, std::log10(128.0)},
            {8, 256, 0.5f, std::log10(512.0)},
            {1, 100, -1.0f, 2.0},
            {2, 256, 0.0f, minusInf},
            {2, 0, 0.5f, minusInf},
            {0, 256, 0.5f, minusInf},
        };
        for (const auto &r : rows) {
            const std::vector<float> block(size_t(std::max(r.channels * r.frames, 1)), r.sample);
            const double level = LevelPoller::blockLevel(block.data(), r.channels, r.frames);
            QVERIFY2(level == r.expected || std::abs(level - r.expected) < 1e-9,
                     qPrintable(QString::number(level)));
        }
    }

    void aStreamThatCannotStartSaysSoOnceInTheLog()
    {
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtWarningMsg)
                g_warnings << text;
        });
        fakepa::Table desk;
        desk.devices = {fakepa::device("Desk", 0, 2, 2)};
        fakepa::setTable(desk);
        InPutProcess input;
        input.setParams(QStringLiteral("Desk"), QStringLiteral("Bühne ☆ 1"), 0.0f, 256, 48000);
        input.setParams(QStringLiteral("desk"), QStringLiteral("Bühne ☆ 2"), 0.0f, 128, 44100);
        input.startThread();
        QTRY_VERIFY_WITH_TIMEOUT(ndirec::sentFrameCount() > 0, kWaitMs);
        stopAudioInput();
        QVERIFY(input.wait(kWaitMs));
        QCOMPARE(QString::fromStdString(ndirec::senderSettings().back().name),
                 QStringLiteral("Bühne ☆ 2"));
        QCOMPARE(fakepa::openedStreams().back().framesPerBuffer, 128UL);
        QCOMPARE(fakepa::openedStreams().back().sampleRate, 44100.0);
        QVERIFY(g_warnings.isEmpty());

        fakepa::setTable(fakepa::Table{}); // no device at all: no stream can open
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
        const QString why = QStringLiteral("; the audio engine printed why on standard output.");
        QCOMPARE(g_warnings,
                 QStringList({"Capture to NDI did not start: device \"Desk\", NDI name \"Bühne\", "
                              "256 frames at 48000 Hz"
                                  + why,
                              "NDI to playback did not start: device \"Desk\", NDI source \"HOST "
                              "(B)\", 512 frames at 44100 Hz"
                                  + why,
                              "Duplex did not start: device \"Desk\", NDI name \"Send\", NDI "
                              "source \"Recv\", 128 frames at 96000 Hz"
                                  + why}));
        qInstallMessageHandler(nullptr);
    }
};

QTEST_GUILESS_MAIN(StreamWorkerTest)
#include "StreamWorkerTest.moc"
