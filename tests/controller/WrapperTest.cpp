// The controller and its parts on a scripted device table and the recording NDI runtime: the
// device lists and the rates probed, what it reads and writes on disk, discovery's list, its
// two time-driven parts (the device-loss watch and the figures log), a stream's start and stop
// as the switch asks for them, and the stream workers' parameters, level figure and refusal
// log (the page tests cover the selections a user makes). HOME and XDG_CONFIG_HOME point into
// a scratch tree.
#include "wrapper.h"

#include "Audio.Capture.Playback.h"
#include "DeviceLink.h"
#include "DeviceLossWatch.h"
#include "FakePortAudio.h"
#include "InOut.h"
#include "InPutProcess.h"
#include "LevelPoller.h"
#include "NdiRecorder.h"
#include "OutPutProcess.h"
#include "ScratchHome.h"
#include "StreamControl.h"

#include <QtTest>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;

std::vector<std::tuple<int, int, double>> g_probes; // channels each way (-1: none) and rate
QStringList g_warnings;
std::atomic<bool> g_stopRequest{false};

// A worker with the engine's stop rule (an entry clears its stop request when it begins, so a
// request made before is lost) whose start the test can hold back and whose end takes a while.
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

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

} // namespace

class WrapperTest : public QObject
{
    Q_OBJECT

private slots:
    // Accepts 44100 and 48000 only and records what it was asked.
    void init()
    {
        g_probes.clear();
        fakepa::Table t;
        t.hostApis = {{"ALSA", paNoDevice, paNoDevice}};
        t.devices = {{"Mic", 0, 2, 0, 44100.0},
                     {"Line In", 0, 8, 0},
                     {"Speakers", 0, 0, 2, 44100.0},
                     {"Desk", 0, 2, 2},
                     {"Desk", 0, 4, 6, 96000.0}};
        t.isFormatSupported = [](const PaStreamParameters *in, const PaStreamParameters *out,
                                 double rate) {
            g_probes.emplace_back(in ? in->channelCount : -1, out ? out->channelCount : -1, rate);
            return rate == 44100.0 || rate == 48000.0 ? paFormatIsSupported : paInvalidSampleRate;
        };
        fakepa::setTable(t);
        ndirec::reset();
    }

    // Each device is listed on the sides it has; the first that does both is the duplex
    // device, and the texts of the last device of its name are shown.
    void constructionListsTheDevicesAndStartsIdle()
    {
        Wrapper w;
        QCOMPARE(w.inPutDevice(),
                 (QStringList{"ALSA  Mic", "ALSA  Line In", "ALSA  Desk", "ALSA  Desk"}));
        QCOMPARE(w.outPutDevice(), (QStringList{"ALSA  Speakers", "ALSA  Desk", "ALSA  Desk"}));
        QCOMPARE(w.inOutPutDevice() << w.inOutPutDev(), (QStringList{"Desk", "Desk", "Desk"}));
        // The nine standard rates tried on it with all its channels, both ways at once.
        QCOMPARE(w.defaultSampleRatesDuplex(), (QStringList{"44100", "48000"}));
        QVERIFY(g_probes.size() == 9 && g_probes.front() == std::make_tuple(2, 2, 8000.0)
                && g_probes.back() == std::make_tuple(2, 2, 192000.0));
        w.duplexChannelsSamplerate();
        QCOMPARE((QStringList{w.inDuplexCh(), w.outDuplexCh(), w.inDuplexSampleRate()}),
                 (QStringList{"4", "6", "96000"}));
        // The runtime's version phrase ends in its number.
        QCOMPARE((QStringList{w.version(), w.runtimeText()}),
                 (QStringList{"0.0.1", "Recording test runtime 0.0.1"}));
        QCOMPARE(fakepa::counters().initializeDepth.load(), 0);
    }

    // Damaged settings give the defaults; the NDI configuration file is written whole at every
    // start. A capture's meter reads 0 once stopped, and one still running when the controller
    // goes (the application quit from elsewhere) is stopped, not waited for; discovery ends.
    void damagedSettingsTheNdiConfigurationAndTeardown()
    {
        write(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Quorvane/Veltrin.conf"),
              QByteArray("\x00\xff\xfe[[[\n=\x01\x02===\n\\\\\\[Gen", 22));
        const QString config = QDir::homePath() + QStringLiteral("/.ndi/ndi-config.v1.json");
        write(config, QByteArray(1000, 'x'));
        auto w = std::make_unique<Wrapper>();
        QCOMPARE((std::vector<unsigned>{w->buffSize(), unsigned(w->rates()), w->buffDuplexSize()}),
                 (std::vector<unsigned>{256, 48000, 256}));
        QCOMPARE(w->ndiInSourName(), QString());
        QCOMPARE(QFileInfo(config).size(), 422);
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().findersCreated, 1, kWaitMs);

        w->setInPutDev(QStringLiteral("ALSA  Mic"));
        w->startInThread();
        QTRY_VERIFY_WITH_TIMEOUT(w->level() != 0.0, kWaitMs); // the poller's first figure
        w->stopInThread();
        QCOMPARE(w->level(), 0.0);
        w->startInThread();
        QTRY_COMPARE_WITH_TIMEOUT(fakepa::counters().startStream.load(), 2, kWaitMs);
        w.reset();
        const ndirec::Counts ndi = ndirec::counts();
        QCOMPARE(
            (std::vector<int>{fakepa::counters().stopStream, ndi.findersDestroyed, ndi.destroy}),
            (std::vector<int>{2, 1, 1}));
    }

    void discoveredSourcesReachTheListWithTheChosenOneFirst()
    {
        Wrapper w;
        std::vector<std::pair<std::string, std::string>> sources{
            {"A", "10.0.0.1:5961"}, {"B", "10.0.0.2:5961"}, {"C", "10.0.0.3:5961"}};
        ndirec::setSources(sources);
        QTRY_COMPARE_WITH_TIMEOUT(w.ndiDevice(), (QStringList{"A", "B", "C"}), kWaitMs);
        w.setNdiDevIp(QStringLiteral("2"));
        QCoreApplication::processEvents(); // delivers the queued index to discovery
        sources.emplace_back("D", "10.0.0.4:5961");
        ndirec::setSources(sources);
        QTRY_COMPARE_WITH_TIMEOUT(w.ndiDevice(), (QStringList{"C", "B", "A", "D"}), kWaitMs);
    }

    // Poll by poll: whether the state text changed, and whether it says the device is away.
    // The log says every loss and every return once, also a pair that came between two polls,
    // and a new run counts from zero again.
    void deviceLossIsShownWhileItLastsAndLoggedOnce()
    {
        StreamHealth health;
        DeviceLossWatch watch(QStringLiteral("Duplex"), health);
        bool shown = false;
        for (const bool lost : {false, true, true, false, false, true}) {
            health.lost = lost;
            QCOMPARE(watch.poll(), lost != shown);
            QCOMPARE(watch.state(),
                     lost ? QStringLiteral("Device went away: waiting for it to return") : "");
            shown = lost;
        }
        health.setDevice("USB Interface");
        const char *wentAway =
            "Duplex: device \"USB Interface\" went away; the stream waits for it "
            "and reopens it when it returns.";
        const char *isBack = "Duplex: device \"USB Interface\" is back.";
        for (const auto &[losses, returns, lines] :
             std::vector<std::tuple<int, int, int>>{{1, 1, 2}, {2, 2, 2}, {2, 2, 0}, {1, 0, 1}}) {
            for (int i = 0; i < lines; ++i)
                QTest::ignoreMessage(QtWarningMsg, i == 0 ? wentAway : isBack);
            health.losses = uint32_t(losses);
            health.returns = uint32_t(returns);
            watch.poll();
        }
    }

    // A line a minute per stream with its latest figures, and one when it has gone; xruns are
    // counted from the stream's start, from the counter of its direction.
    void figuresLogALineAMinuteAndOneAtTheStop()
    {
        VeltrinNdiFigures recv, send;
        recv.kind = VeltrinNdi_receiver, recv.available = VeltrinNdi_has_datagrams;
        send.kind = VeltrinNdi_sender, send.available = VeltrinNdi_has_sent;
        std::strcpy(recv.name, "HOST (A)"), std::strcpy(send.name, "HOST (B)");

        FiguresLog log;
        std::vector<QString> lines;
        for (int second = 0; second <= 125; ++second) {
            recv.datagramsLost = uint64_t(second);
            for (const auto &line :
                 log.update(second, {recv, send}, 100, 7 + uint64_t(second / 60)))
                lines.push_back(QString::fromStdString(line));
        }
        QCOMPARE(lines.size(), size_t{4}); // at 60 and 120 s, two streams each
        QVERIFY(lines[0].endsWith("concealed 60 lost, frames n/a received n/a dropped, underruns "
                                  "n/a, xruns 1"));
        QVERIFY(lines[1].startsWith("Stream figures: send \"HOST (B)\"")
                && lines[1].endsWith(", xruns 0"));
        const auto end = log.update(130, {send}, 100, 9);
        QCOMPARE(end.size(), size_t{1});
        const QString last = QString::fromStdString(end[0]);
        QVERIFY(last.startsWith("Stream stopped after 130 s: receive \"HOST (A)\": latency n/a"));
        QVERIFY(last.endsWith("125 lost, frames n/a received n/a dropped, underruns n/a, xruns 2"));
        QVERIFY(log.update(131, {send}, 100, 9).empty());
    }

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
    }

    // The level pollers' figure of a block: log10 of the sum of squares.
    void blockLevelIsLog10OfTheSumOfSquares()
    {
        const double minusInf = -std::numeric_limits<double>::infinity();
        const struct {
            int channels, frames;
            float sample;
            double expected;
        } rows[] = {{2, 256, 0.5f, std::log10(128.0)},
                    {8, 256, 0.5f, std::log10(512.0)},
                    {1, 100, -1.0f, 2.0},
                    {2, 256, 0.0f, minusInf},
                    {2, 0, 0.5f, minusInf},
                    {0, 256, 0.5f, minusInf}};
        for (const auto &r : rows) {
            const std::vector<float> block(size_t(std::max(r.channels * r.frames, 1)), r.sample);
            const double level = LevelPoller::blockLevel(block.data(), r.channels, r.frames);
            QVERIFY2(level == r.expected || std::abs(level - r.expected) < 1e-9,
                     qPrintable(QString::number(level)));
        }
    }

    // A worker hands the engine the parameters of the latest setParams() as UTF-8; a stream
    // that cannot start leaves one line in the log, one that ran and was stopped none.
    void aStreamThatCannotStartSaysSoOnceInTheLog()
    {
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &, const QString &text) {
                if (type == QtWarningMsg)
                    g_warnings << text;
            });
        InPutProcess input;
        input.setParams(QStringLiteral("Desk"), QStringLiteral("Bühne ☆ 1"), 0.0f, 256, 48000);
        input.setParams(QStringLiteral("Mic"), QStringLiteral("Bühne ☆ 2"), 0.0f, 128, 44100);
        input.startThread();
        QTRY_VERIFY_WITH_TIMEOUT(!ndirec::sentFrames().empty(), kWaitMs);
        stopAudioInput();
        QVERIFY(input.wait(kWaitMs));
        const fakepa::OpenedStream opened = fakepa::openedStreams().back();
        QCOMPARE(QString::fromStdString(ndirec::sentFrames().back().sender) + " "
                     + QString::number(opened.framesPerBuffer) + " "
                     + QString::number(opened.sampleRate),
                 QStringLiteral("Bühne ☆ 2 128 44100"));
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
        qInstallMessageHandler(previous);
        QStringList expected{"Capture to NDI did not start: device \"Desk\", NDI name \"Bühne\", "
                             "256 frames at 48000 Hz",
                             "NDI to playback did not start: device \"Desk\", NDI source \"HOST "
                             "(B)\", 512 frames at 44100 Hz",
                             "Duplex did not start: device \"Desk\", NDI name \"Send\", NDI source "
                             "\"Recv\", 128 frames at 96000 Hz"};
        for (QString &line : expected)
            line += QStringLiteral("; the audio engine printed why on standard output.");
        QCOMPARE(g_warnings, expected);
    }
};

int main(int argc, char **argv)
{
    const ScratchHome home;
    QCoreApplication app(argc, argv);
    WrapperTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WrapperTest.moc"
