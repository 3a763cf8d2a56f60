// veltrin-cli: its command line, device choice and meter in process, and every command as users
// run it, as a child process on a private JACK dummy server with the built-in NDI runtime on
// loopback. The test process plays the other side: it feeds and records the JACK ports through
// a probe client and sends and receives NDI tones. The dummy driver has xruns of its own, so
// audio is judged by blocks that carry the expected tone, never from the first block on.
#include "Audio.Capture.Playback.h"
#include "CliTestSupport.h"
#include "DeviceTable.h"
#include "JackHarness.h"
#include "LevelMeter.h"
#include "Options.h"
#include "SourceWatch.h"
#include "StreamRunner.h"
#include "StreamStats.h"
#include "ToneCheck.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <unistd.h>

using namespace veltrin::cli;
using namespace clitest;

namespace {

// The machine name of the NDI configuration the test writes; the runtime shows it upper case.
constexpr const char *kConfigText =
    "{\n  \"ndi\": {\n    \"machinename\": \"cli-test\",\n"
    "    \"groups\": { \"send\": \"Public\", \"recv\": \"Public\" }\n"
    "  }\n}\n";
const std::string kHost = "CLI-TEST";
QString g_configPath;

std::string fullName(const std::string &name)
{
    return kHost + " (" + name + ")";
}

// JACK client names unique per process and test.
QString uniqueClient(const char *role)
{
    static int serial = 0;
    return QStringLiteral("cli-%1-%2-%3").arg(QLatin1String(role)).arg(getpid()).arg(++serial);
}

float tone(double frequency, float amplitude, long long frame)
{
    return amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * double(frame) / kRate));
}

double decibels(double amplitude)
{
    return 20.0 * std::log10(amplitude);
}

// At least ten blocks of 2048 frames of `track`, and half of all, carry the 440 Hz tone.
void expectMostlyTone(const std::vector<float> &track, double amplitude)
{
    const int tone = tonecheck::matchingWindows(track, {{440.0, amplitude}}, 2048, kRate);
    EXPECT_GE(tone, 10);
    EXPECT_GE(tone * 2, static_cast<int>(track.size() / 2048));
}

// Waits while the probe records two seconds more of its own clock.
void recordTwoSeconds(const JackProbe &probe)
{
    const long long until = probe.framesElapsed() + 2 * kRate;
    while (probe.framesElapsed() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// True once a meter line of `label` shows every channel within 0.5 dB of `rmsDb` and `peakDb`.
bool waitForMeter(CliProcess &cli, const QString &label, double rmsDb, double peakDb, int timeoutMs)
{
    return cli.waitUntil(
        [&] {
            const QStringList all =
                cli.outputLines().filter(QRegularExpression("^" + label + "\\b"));
            // "in   rms A B  peak C D dBFS"
            const QStringList words =
                all.isEmpty() ? QStringList() : all.last().split(' ', Qt::SkipEmptyParts);
            bool near = words.size() == 8 && words[4] == QStringLiteral("peak");
            for (int i = 2; i < 4 && near; ++i)
                near = std::fabs(words[i].toDouble() - rmsDb) <= 0.5
                       && std::fabs(words[i + 3].toDouble() - peakDb) <= 0.5;
            return near;
        },
        timeoutMs);
}

// ---- in process ----

TEST(CommandLine, GainsAndWaitsTakeTheirDefaultsAndErrorsNameTheFault)
{
    // --gain covers both directions of a duplex stream; the specific gains win in any order,
    // and a value may start with '-'.
    const ParseResult gains =
        parseArguments({"duplex", "--device", "1", "--name", "A", "--source=H (b)", "--out-gain",
                        "1.5", "--gain", "-6"});
    ASSERT_TRUE(gains.options) << gains.error;
    EXPECT_EQ(gains.options->inputGainDb, -6.0);
    EXPECT_EQ(gains.options->outputGainDb, 1.5);
    // Listing sources waits less than waiting for one to play.
    EXPECT_EQ(parseArguments({"sources"}).options->waitSeconds, Limits::kDefaultSourcesWait);
    EXPECT_EQ(parseArguments({"play", "--source", "H (b)", "--device", "1"}).options->waitSeconds,
              Limits::kDefaultSourceWait);

    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{}, "no command given"},
        {{"--device", "1", "send"}, "a command must come first"},
        {{"duplex", "--device", "1", "--source", "H (x)"}, "'duplex' needs --name"},
        {{"send", "--device", "1", "--name", "x", "--source", "H (y)"}, "has no option --source"},
        {{"send", "--device", "1", "--name", "x", "--frames", "256k"}, "--frames takes"},
        {{"send", "--device", "1", "--name", "x", "--gain", "nan"}, "--gain takes decibels"},
        {{"send", "--device", "1", "--name", "x", "--gain"}, "--gain needs a value"},
        {{"sources", "--json=yes"}, "--json takes no value"},
        {{"sources", "extra"}, "unexpected argument \"extra\""},
    };
    for (const auto &[args, fragment] : errors) {
        const ParseResult r = parseArguments(args);
        EXPECT_FALSE(r.options) << fragment;
        EXPECT_NE(r.error.find(fragment), std::string::npos) << r.error;
    }
}

// Each direction takes one channel choice, from the options of its command.
TEST(CommandLine, ChannelChoicesGoToTheirDirectionOnce)
{
    const auto parse = [](std::vector<std::string> args) { return parseArguments(args); };
    const auto routes = [](const ChannelMap &m) {
        std::string text;
        for (const ChannelRoute &r : m.routes)
            text += std::to_string(r.stream + 1) + ">" + std::to_string(r.device + 1) + " ";
        return text;
    };
    const ParseResult send = parse({"send", "--device", "1", "--name", "x", "--channels", "2,1"});
    ASSERT_TRUE(send.options) << send.error;
    EXPECT_EQ(routes(send.options->inputMap), "1>2 2>1 ");
    EXPECT_TRUE(send.options->outputMap.empty());
    const ParseResult play =
        parse({"play", "--source", "H (a)", "--device", "1", "--channels", "3,4", "--stats-json"});
    ASSERT_TRUE(play.options) << play.error;
    EXPECT_EQ(routes(play.options->outputMap), "1>3 2>4 ");
    EXPECT_TRUE(play.options->statsJson && !play.options->stats);
    const ParseResult duplex = parse({"duplex", "--device", "1", "--name", "x", "--source", "H (a)",
                                      "--in-channels", "2", "--map", "2:1", "--stats"});
    ASSERT_TRUE(duplex.options) << duplex.error;
    EXPECT_EQ(routes(duplex.options->inputMap), "1>2 ");
    EXPECT_EQ(routes(duplex.options->outputMap), "2>1 ");
    EXPECT_TRUE(parse({"sources", "--watch", "--json"}).options->watch);

    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{"play", "--source", "H (a)", "--device", "1", "--channels", "1", "--map", "1:2"},
         "--map and --channels both choose the channels played"},
        {{"send", "--device", "1", "--name", "x", "--map", "1:2"}, "'send' has no option --map"},
        {{"duplex", "--device", "1", "--name", "x", "--source", "H (a)", "--channels", "1"},
         "'duplex' has no option --channels"},
        {{"send", "--device", "1", "--name", "x", "--watch"}, "'send' has no option --watch"},
        {{"sources", "--stats"}, "'sources' has no option --stats"},
        {{"send", "--device", "1", "--name", "x", "--channels", "1,1"},
         "--channels names device channel 1 twice"},
    };
    for (const auto &[args, fragment] : errors) {
        const ParseResult r = parseArguments(args);
        EXPECT_FALSE(r.options) << fragment;
        EXPECT_NE(r.error.find(fragment), std::string::npos) << r.error;
    }
}

// A stream's figures as a JSON line: every key there, null where the runtime has no figure.
TEST(StreamFiguresOutput, JsonLinesMarkWhatIsNotAvailable)
{
    VeltrinNdiFigures f;
    f.kind = VeltrinNdi_receiver;
    f.available = VeltrinNdi_has_frames | VeltrinNdi_has_queue;
    std::strcpy(f.name, "HOST (a)");
    f.framesReceived = 1200;
    f.framesDropped = 3;
    f.queueDepth = 2;
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray::fromStdString(figuresJson(f, 4, 12.34))).object();
    EXPECT_EQ(o.value("stream").toString(), "receive");
    EXPECT_EQ(o.value("name").toString(), "HOST (a)");
    EXPECT_EQ(o.value("seconds").toDouble(), 12.3);
    EXPECT_EQ(o.value("xruns").toInt(), 4);
    EXPECT_EQ(o.value("framesReceived").toInt(), 1200);
    EXPECT_EQ(o.value("framesDropped").toInt(), 3);
    EXPECT_EQ(o.value("queueDepth").toInt(), 2);
    for (const char *key : {"latencyMs", "reserveMs", "clock", "driftPpm", "lateBlocks",
                            "underruns", "datagramsReceived", "datagramsRepaired",
                            "datagramsConcealed", "datagramsLost", "connections"})
        EXPECT_TRUE(o.value(key).isNull()) << key;

    f.available |= VeltrinNdi_has_clock | VeltrinNdi_has_latency;
    f.clockMode = VeltrinNdi_clock_resampling;
    f.driftPpm = -12.5;
    f.latencyMs = 6.25;
    const QJsonObject clocked =
        QJsonDocument::fromJson(QByteArray::fromStdString(figuresJson(f, 0, 1))).object();
    EXPECT_EQ(clocked.value("clock").toString(), "resampling");
    EXPECT_EQ(clocked.value("driftPpm").toDouble(), -12.5);
    EXPECT_EQ(clocked.value("latencyMs").toDouble(), 6.25);
}

// Sources that come, go or move, as events in a stable order.
TEST(SourceWatchTest, EventsSayWhatChanged)
{
    const NdiSource a{"H (a)", "10.0.0.1:1"}, b{"H (b)", "10.0.0.2:1"},
        bMoved{"H (b)", "10.0.0.9:1"}, c{"H (c)", "10.0.0.3:1"};
    std::string lines;
    for (const SourceEvent &e : sourceEvents({a, b}, {c, bMoved, a}))
        lines += sourceEventLine(e, false) + "\n";
    EXPECT_EQ(lines, "- H (b)  10.0.0.2:1\n+ H (b)  10.0.0.9:1\n+ H (c)  10.0.0.3:1\n");
    EXPECT_TRUE(sourceEvents({a, b}, {b, a}).empty());
    EXPECT_EQ(sourceEventLine({false, a}, true),
              R"x({"address":"10.0.0.1:1","event":"gone","name":"H (a)"})x");
}

std::vector<AudioDevice> sampleDevices()
{
    return {{0, "ALSA", "HDA Intel: ALC892 Analog (hw:0,0)", 2, 2},
            {1, "ALSA", "USB Mic", 1, 0},
            {2, "ALSA", "default", 32, 32},
            {3, "JACK Audio Connection Kit", "system", 128, 64},
            {4, "JACK Audio Connection Kit", "default", 2, 2},
            {5, "ALSA", "2", 0, 2}};
}

TEST(DeviceChoice, NamesEntriesAndNumbersAsTheListsShowThem)
{
    const std::vector<AudioDevice> all = sampleDevices();
    struct Case {
        Direction direction;
        std::string text;
        int index;            // chosen device, or -1
        std::string fragment; // of the error when none
    };
    const std::vector<Case> cases = {
        {Direction::Input, "usb mic", 1, ""},
        // The entry text tells apart devices of the same name on two host APIs.
        {Direction::Input, "jack audio connection kit  default", 4, ""},
        {Direction::Input, "default", 2, ""},
        {Direction::Input, "3", 2, ""},
        {Direction::Input, "5", 4, ""}, // the last one
        // A name comes before a number, as in the engine.
        {Direction::Output, "2", 5, ""},
        {Direction::Input, "2", -1, "\"2\" has no input channels"},
        {Direction::Duplex, "USB Mic", -1, "\"USB Mic\" cannot both record and play"},
        {Direction::Input, "6", -1, "there is no input device number 6: there are 5"},
        {Direction::Output, "Nothing", -1, "no output device named \"Nothing\""},
    };
    for (const Case &c : cases) {
        const DeviceChoice choice = chooseDevice(all, c.text, c.direction);
        if (c.index >= 0) {
            ASSERT_TRUE(choice.device) << c.text << ": " << choice.error;
            EXPECT_EQ(choice.device->index, c.index) << c.text;
        } else {
            EXPECT_FALSE(choice.device) << c.text;
            EXPECT_NE(choice.error.find(c.fragment), std::string::npos) << choice.error;
        }
    }
}

TEST(DeviceChoice, TheEngineIsGivenAParameterThatOpensTheChosenDevice)
{
    std::vector<AudioDevice> all = sampleDevices();
    EXPECT_EQ(engineDeviceParameter(all, all[3], Direction::Input), "system");
    EXPECT_EQ(engineDeviceParameter(all, all[2], Direction::Input), "default");
    // The engine would take ALSA's "default" by name: the JACK one goes by its number, fifth
    // among the input devices and fourth among the duplex ones.
    EXPECT_EQ(engineDeviceParameter(all, all[4], Direction::Input), "5");
    EXPECT_EQ(engineDeviceParameter(all, all[4], Direction::Duplex), "4");
    // Neither works when a device bears that number as its name.
    AudioDevice five = all[1];
    five.index = 6;
    five.name = "5";
    all.push_back(five);
    EXPECT_EQ(engineDeviceParameter(all, all[4], Direction::Input), "");
}

TEST(LevelMeterTest, RmsAndPeakPerChannelOverAllBlocksOfTheWindow)
{
    LevelMeter meter;
    std::vector<float> block(2 * 480);
    for (int f = 0; f < 480; ++f) {
        block[2 * f] = tone(1000.0, 0.5f, f); // 10 whole periods, peak sampled exactly
        block[2 * f + 1] = -0.25f;
    }
    meter.add(block.data(), 2, 480);
    EXPECT_EQ(meter.takeLine("in"), "in  rms -9.0 -12.0  peak -6.0 -12.0 dBFS");
    EXPECT_EQ(meter.takeLine("in"), "in  no audio");

    // A loud block and a silent one of the same length: the mean square halves (-3 dB), the
    // peak stays.
    std::vector<float> loud(2 * 256, 0.5f), silent(2 * 256, 0.0f);
    meter.add(loud.data(), 2, 256);
    meter.add(silent.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("out"), "out  rms -9.0 -9.0  peak -6.0 -6.0 dBFS");
    // Each line starts the peaks again.
    const std::vector<float> quiet(2 * 256, 0.25f);
    meter.add(quiet.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("out"), "out  rms -12.0 -12.0  peak -12.0 -12.0 dBFS");

    // Another channel count starts the window again.
    meter.add(loud.data(), 1, 256);
    meter.add(loud.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("in"), "in  rms -6.0 -6.0  peak -6.0 -6.0 dBFS");
}

// An entry that behaves like the engine's: it clears its stop request when it starts (here
// late, as if its thread were slow to run) and then waits for one.
std::mutex g_entryLock;
std::condition_variable g_entryWake;
bool g_entryStop = false;

void stopEntry()
{
    {
        std::lock_guard<std::mutex> lock(g_entryLock);
        g_entryStop = true;
    }
    g_entryWake.notify_all();
}

TEST(StreamRunnerTest, AStopAskedBeforeTheEntryHasStartedStillEndsIt)
{
    StreamRunner runner(
        [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::unique_lock<std::mutex> lock(g_entryLock);
            g_entryStop = false;
            g_entryWake.wait(lock, [] { return g_entryStop; });
            return 1;
        },
        stopEntry);
    EXPECT_TRUE(runner.stop(std::chrono::milliseconds(5000)));
    EXPECT_EQ(runner.result(), 1);
}

// ---- the program ----

TEST(Cli, DevicesListsTheJackDeviceInTextAndJson)
{
    CliProcess text({"devices"});
    ASSERT_EQ(text.finish(20000), 0);
    // The device under each heading, before the next one.
    const QString lines = text.outputLines().join('\n');
    const QString entry = QStringLiteral("JACK Audio Connection Kit  system  2 ch  48000 Hz");
    for (const QString &heading : {QStringLiteral("Input devices \\(send\\):"),
                                   QStringLiteral("Output devices \\(play\\):")})
        EXPECT_TRUE(lines.contains(QRegularExpression(heading + "\n(   \\d+  .*\n)*   \\d+  "
                                                      + QRegularExpression::escape(entry))))
            << lines.toStdString();
    EXPECT_TRUE(
        lines.contains(QRegularExpression("Duplex devices \\(duplex\\):\n(.*\n)*   \\d+  system")));
    // Nothing but data: the audio libraries' start-up chatter is kept quiet.
    EXPECT_TRUE(text.errorLines().isEmpty()) << text.errorLines().join('\n').toStdString();

    CliProcess json({"devices", "--json"});
    ASSERT_EQ(json.finish(20000), 0);
    const QJsonObject root =
        QJsonDocument::fromJson(json.outputLines().join('\n').toUtf8()).object();
    const QJsonObject system{{"number", 1},
                             {"entry", "JACK Audio Connection Kit  system"},
                             {"hostApi", "JACK Audio Connection Kit"},
                             {"name", "system"},
                             {"channels", 2},
                             {"defaultSampleRate", 48000}};
    for (const char *list : {"input", "output"}) {
        const QJsonArray devices = root.value(QLatin1String(list)).toArray();
        int found = 0;
        for (int i = 0; i < devices.size(); ++i) {
            QJsonObject expected = system;
            expected.insert(QStringLiteral("number"), i + 1);
            found += devices[i].toObject() == expected ? 1 : 0;
        }
        EXPECT_EQ(found, 1) << list << json.outputLines().join('\n').toStdString();
    }
}

TEST(Cli, SourcesListsASenderOfTheTestInJsonAndText)
{
    const QString name = QString::fromStdString(fullName("cli sources"));
    ToneSender sender("cli sources", 440.0, 0.1f);
    ASSERT_TRUE(sourceListed(name.toStdString(), 20000));
    const QStringList wait{QStringLiteral("--wait"), QStringLiteral("3")};

    CliProcess json(QStringList{QStringLiteral("sources"), QStringLiteral("--json")} + wait);
    ASSERT_EQ(json.finish(20000), 0);
    const QJsonObject root =
        QJsonDocument::fromJson(json.outputLines().join('\n').toUtf8()).object();
    EXPECT_TRUE(root.value(QStringLiteral("runtime")).toString().startsWith("built-in"));
    const QJsonArray sources = root.value(QStringLiteral("sources")).toArray();
    EXPECT_TRUE(std::any_of(sources.begin(), sources.end(), [&](const QJsonValue &v) {
        return v.toObject().value(QStringLiteral("name")) == name
               && v.toObject().value(QStringLiteral("address")).toString().contains(':');
    })) << json.outputLines().join('\n').toStdString();
    // It says which runtime it uses, on standard error.
    EXPECT_EQ(json.errorLines().filter(QStringLiteral("NDI runtime: built-in")).size(), 1);

    CliProcess text(QStringList{QStringLiteral("sources")} + wait);
    ASSERT_EQ(text.finish(20000), 0);
    EXPECT_EQ(
        text.outputLines()
            .filter(QRegularExpression("^" + QRegularExpression::escape(name) + " +\\S+:\\d+$"))
            .size(),
        1)
        << text.outputLines().join('\n').toStdString();
}

TEST(Cli, SendPublishesTheCaptureUnderTheConfiguredNameAndStopsOnSigterm)
{
    const QString client = uniqueClient("send");
    const std::string published = fullName("cli send");
    CliProcess cli({"send", "--device", "system", "--name", "cli send", "--gain", "-6", "--meter",
                    "--stats", "--jack-name", client});
    ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("sending \"system\""), 30000))
        << cli.errorLines().join('\n').toStdString();
    // The machine name comes from the user's configuration file, read as it is.
    EXPECT_EQ(cli.ownErrorLines().filter(QString::fromStdString("as \"" + published + "\"")).size(),
              1);

    JackProbe probe("cli-probe-send-" + std::to_string(getpid()), 2);
    ASSERT_TRUE(probe.ok());
    probe.setSignal([](long long f, int) { return tone(1000.0, 0.5f, f); });
    ASSERT_TRUE(probe.wire(client.toStdString(), 2, 0));

    const double gain = db_to_ratio(-6.0);
    {
        ToneListener listener(published);
        EXPECT_TRUE(listener.hear(1000.0, 0.5 * gain, 10, 30000));
        // The figures, once a second: the listener is a receiver, and audio left.
        const QRegularExpression figures(
            "^send \"" + QRegularExpression::escape(QString::fromStdString(published))
            + "\": 1 receiver, [1-9]\\d* datagrams, [1-9]\\d* bytes sent, xruns \\d+$");
        EXPECT_TRUE(
            cli.waitUntil([&] { return !cli.outputLines().filter(figures).isEmpty(); }, 5000))
            << cli.outputLines().join('\n').toStdString();
    }
    // The input meter shows the capture before the gain: a 0.5 sine is -9.0 dBFS RMS, -6.0 peak.
    EXPECT_TRUE(waitForMeter(cli, QStringLiteral("in"), decibels(0.5 / std::sqrt(2.0)),
                             decibels(0.5), 15000))
        << cli.outputLines().join('\n').toStdString();

    cli.signal(SIGTERM);
    EXPECT_EQ(cli.finish(10000), 0);
    EXPECT_EQ(cli.ownErrorLines().last(), QStringLiteral("veltrin-cli: stopped"));
    EXPECT_TRUE(sourceListed(published, 15000, false));

    QFile config(g_configPath);
    ASSERT_TRUE(config.open(QIODevice::ReadOnly));
    EXPECT_EQ(config.readAll(), QByteArray(kConfigText));
}

TEST(Cli, PlayPlaysTheSourceWithItsGainAndSaysWhenItGoesAndReturns)
{
    const std::string source = fullName("cli play source");
    auto sender = std::make_unique<ToneSender>("cli play source", 440.0, 0.5f);
    ASSERT_TRUE(sourceListed(source, 20000));
    // Only the name the sender gave: the full name is suggested.
    CliProcess bare({"play", "--source", "cli play source", "--device", "system", "--wait", "2"});
    EXPECT_EQ(bare.finish(20000), kExitNoSource);
    EXPECT_EQ(bare.ownErrorLines()
                  .filter("(did you mean \"" + QString::fromStdString(source) + "\"?)")
                  .size(),
              1)
        << bare.errorLines().join('\n').toStdString();

    const QString client = uniqueClient("play");
    CliProcess cli({"play", "--source", QString::fromStdString(source), "--device",
                    "JACK Audio Connection Kit  system", "--gain", "-6", "--meter", "--jack-name",
                    client});
    ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("playing"), 30000))
        << cli.errorLines().join('\n').toStdString();

    JackProbe probe("cli-probe-play-" + std::to_string(getpid()), 2);
    ASSERT_TRUE(probe.ok());
    ASSERT_TRUE(probe.wire(client.toStdString(), 0, 2));
    probe.clearRecording();
    recordTwoSeconds(probe);
    const double gain = db_to_ratio(-6.0);
    for (int channel = 0; channel < 2; ++channel)
        expectMostlyTone(probe.recorded(channel), 0.5 * gain);
    // The output meter shows what is played, after the gain.
    EXPECT_TRUE(waitForMeter(cli, QStringLiteral("out"), decibels(0.5 * gain / std::sqrt(2.0)),
                             decibels(0.5 * gain), 15000))
        << cli.outputLines().join('\n').toStdString();

    sender.reset();
    EXPECT_TRUE(cli.waitForErrorLine(QStringLiteral("is gone; playing silence"), 15000));
    sender = std::make_unique<ToneSender>("cli play source", 440.0, 0.5f);
    EXPECT_TRUE(cli.waitForErrorLine(QStringLiteral("is back"), 15000));

    cli.signal(SIGINT);
    EXPECT_EQ(cli.finish(10000), 0);
}

TEST(Cli, DuplexSendsTheInputAndPlaysTheSourceOnOneDevice)
{
    const std::string source = fullName("cli duplex source");
    ToneSender sender("cli duplex source", 440.0, 0.5f);
    ASSERT_TRUE(sourceListed(source, 20000));

    const QString client = uniqueClient("duplex");
    CliProcess cli({"duplex", "--device", "1", "--name", "cli duplex", "--source",
                    QString::fromStdString(source), "--jack-name", client});
    ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("duplex on \"system\""), 30000))
        << cli.errorLines().join('\n').toStdString();

    JackProbe probe("cli-probe-duplex-" + std::to_string(getpid()), 2);
    ASSERT_TRUE(probe.ok());
    probe.setSignal([](long long f, int) { return tone(1000.0, 0.5f, f); });
    ASSERT_TRUE(probe.wire(client.toStdString(), 2, 2));
    probe.clearRecording();
    EXPECT_TRUE(ToneListener(fullName("cli duplex")).hear(1000.0, 0.5, 10, 30000));
    expectMostlyTone(probe.recorded(0), 0.5);

    cli.signal(SIGTERM);
    EXPECT_EQ(cli.finish(15000), 0);
}

// The audio server dies under three running programs (send, play, duplex) and comes back. Each
// says once that its device went away and keeps running; the published sources stay listed,
// carrying silence; each says when the device is back and carries its tones again, with no
// restart of its NDI side; SIGINT ends each promptly.
TEST(Cli, StreamsCarryOnWhenTheirAudioServerDiesAndComesBack)
{
    // The shared server of the other tests stays up; this test's own one is killed.
    const std::string shared = std::getenv("JACK_DEFAULT_SERVER");
    struct Restore {
        std::string name;
        ~Restore() { setenv("JACK_DEFAULT_SERVER", name.c_str(), 1); }
    } restore{shared};
    JackServer server(kRate, 256, 2, 2);
    ASSERT_TRUE(server.running());

    const std::string source = fullName("cli loss source");
    ToneSender sender("cli loss source", 440.0, 0.5f);
    ASSERT_TRUE(sourceListed(source, 20000));

    struct Program {
        QStringList arguments;
        int inputs, outputs;
        std::string published; // empty for play
        QString client;
        std::unique_ptr<CliProcess> cli;
    };
    std::vector<Program> programs;
    programs.push_back({{"send", "--device", "system", "--name", "cli loss send"},
                        2,
                        0,
                        fullName("cli loss send"),
                        uniqueClient("loss-send"),
                        nullptr});
    programs.push_back({{"play", "--source", QString::fromStdString(source), "--device", "system"},
                        0,
                        2,
                        "",
                        uniqueClient("loss-play"),
                        nullptr});
    programs.push_back({{"duplex", "--device", "system", "--name", "cli loss duplex", "--source",
                         QString::fromStdString(source)},
                        2,
                        2,
                        fullName("cli loss duplex"),
                        uniqueClient("loss-duplex"),
                        nullptr});
    for (Program &p : programs) {
        p.cli = std::make_unique<CliProcess>(
            p.arguments + QStringList{QStringLiteral("--jack-name"), p.client});
        ASSERT_TRUE(p.cli->waitForErrorLine(QStringLiteral("veltrin-cli: "), 30000));
        ASSERT_TRUE(p.cli->waitUntil(
            [&] {
                return !p.cli->ownErrorLines()
                            .filter(QRegularExpression("sending|playing|duplex on"))
                            .isEmpty();
            },
            30000))
            << p.cli->errorLines().join('\n').toStdString();
    }
    const auto lines = [](Program &p, const QString &text) {
        p.cli->waitUntil([] { return false; }, 50); // takes in what it wrote so far
        return p.cli->errorLines().filter(text).size();
    };
    // Each program's tones through probes on the server as it is now: the probe's 1 kHz into
    // what is sent, the source's 440 Hz out of what is played.
    const auto carryTones = [&](const char *when) {
        std::vector<std::unique_ptr<JackProbe>> probes;
        for (Program &p : programs) {
            SCOPED_TRACE(when + (" " + p.arguments.front()).toStdString());
            probes.push_back(std::make_unique<JackProbe>("cli-probe-" + p.client.toStdString(), 2));
            JackProbe &probe = *probes.back();
            ASSERT_TRUE(probe.ok());
            probe.setSignal([](long long f, int) { return tone(1000.0, 0.5f, f); });
            ASSERT_TRUE(probe.wire(p.client.toStdString(), p.inputs, p.outputs));
            probe.clearRecording();
        }
        for (size_t i = 0; i < programs.size(); ++i) {
            Program &p = programs[i];
            SCOPED_TRACE(when + (" " + p.arguments.front()).toStdString());
            if (!p.published.empty()) {
                EXPECT_TRUE(ToneListener(p.published).hear(1000.0, 0.5, 10, 30000));
            }
            if (p.outputs > 0) {
                recordTwoSeconds(*probes[i]);
                expectMostlyTone(probes[i]->recorded(0), 0.5);
            }
        }
    };
    carryTones("before");

    server.kill();
    const QString away = QStringLiteral("device \"system\" went away");
    for (Program &p : programs) {
        EXPECT_TRUE(p.cli->waitForErrorLine(away, 10000))
            << p.cli->errorLines().join('\n').toStdString();
    }
    // Away, the sources stay on the network and carry silence.
    for (Program &p : programs)
        if (!p.published.empty()) {
            EXPECT_TRUE(sourceListed(p.published, 5000)) << p.published;
            EXPECT_TRUE(ToneListener(p.published).hear(1000.0, 0.0, 10, 15000)) << p.published;
        }

    ASSERT_TRUE(server.start());
    for (Program &p : programs) {
        EXPECT_TRUE(p.cli->waitForErrorLine(QStringLiteral("device \"system\" is back"), 15000))
            << p.cli->errorLines().join('\n').toStdString();
    }
    carryTones("after");

    for (Program &p : programs) {
        EXPECT_EQ(lines(p, away), 1);
        p.cli->signal(SIGINT);
    }
    for (Program &p : programs) {
        EXPECT_EQ(p.cli->finish(5000), 0) << p.cli->errorLines().join('\n').toStdString();
        // The NDI side was never restarted: the runtime was chosen once.
        EXPECT_EQ(p.cli->errorLines().filter(QStringLiteral("NDI runtime:")).size(), 1);
    }
}

// --map 1:2 plays the source's first channel on the second output only; --stats-json prints a
// JSON line a second with the receiver's figures, SIGUSR1 a summary, and the end another.
TEST(Cli, PlayChoosesItsOutputAndPrintsItsFiguresAsJson)
{
    const std::string source = fullName("cli figures source");
    ToneSender sender("cli figures source", 440.0, 0.5f);
    ASSERT_TRUE(sourceListed(source, 20000));
    const QString client = uniqueClient("figures");
    CliProcess cli({"play", "--source", QString::fromStdString(source), "--device", "system",
                    "--map", "1:2", "--stats-json", "--jack-name", client});
    ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("1 channels"), 30000))
        << cli.errorLines().join('\n').toStdString();

    JackProbe probe("cli-probe-figures-" + std::to_string(getpid()), 2);
    ASSERT_TRUE(probe.ok());
    ASSERT_TRUE(probe.wire(client.toStdString(), 0, 2));
    probe.clearRecording();
    recordTwoSeconds(probe);
    expectMostlyTone(probe.recorded(1), 0.5);
    const std::vector<float> first = probe.recorded(0);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0.0f), static_cast<long>(first.size()));

    const auto jsonLines = [&](bool summary) {
        std::vector<QJsonObject> objects;
        for (const QString &line : cli.outputLines()) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            if (o.value("stream") == QStringLiteral("receive")
                && o.value("summary").toBool() == summary)
                objects.push_back(o);
        }
        return objects;
    };
    ASSERT_TRUE(cli.waitUntil([&] { return jsonLines(false).size() >= 2; }, 10000));
    const QJsonObject last = jsonLines(false).back();
    EXPECT_EQ(last.value("name").toString(), QString::fromStdString(source));
    EXPECT_EQ(last.value("connections").toInt(), 1);
    EXPECT_TRUE(last.value("clock") == QStringLiteral("copying")
                || last.value("clock") == QStringLiteral("resampling"));
    EXPECT_GT(last.value("latencyMs").toDouble(), 0.0);
    EXPECT_LT(last.value("latencyMs").toDouble(), 100.0);
    EXPECT_GT(last.value("datagramsReceived").toDouble(), 100.0);
    EXPECT_TRUE(last.value("xruns").isDouble());

    cli.signal(SIGUSR1);
    EXPECT_TRUE(cli.waitUntil([&] { return jsonLines(true).size() == 1; }, 5000));
    cli.signal(SIGINT);
    EXPECT_EQ(cli.finish(10000), 0);
    const auto summaries = jsonLines(true);
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_GE(summaries[1].value("ranSeconds").toDouble(),
              summaries[0].value("ranSeconds").toDouble());
    EXPECT_GE(summaries[1].value("maxLatencyMs").toDouble(),
              summaries[1].value("latencyMs").toDouble());
}

// sources --watch prints a source as it appears and as it goes, until stopped.
TEST(Cli, SourcesWatchPrintsComingsAndGoings)
{
    CliProcess cli({"sources", "--watch", "--json"});
    ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("NDI runtime:"), 20000));
    const QString name = QString::fromStdString(fullName("cli watched"));
    const auto saw = [&](const char *event) {
        return cli.waitUntil(
            [&] {
                for (const QString &line : cli.outputLines()) {
                    const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
                    if (o.value("event") == QLatin1String(event) && o.value("name") == name)
                        return true;
                }
                return false;
            },
            20000);
    };
    auto sender = std::make_unique<ToneSender>("cli watched", 440.0, 0.1f);
    EXPECT_TRUE(saw("appeared")) << cli.outputLines().join('\n').toStdString();
    sender.reset();
    EXPECT_TRUE(saw("gone")) << cli.outputLines().join('\n').toStdString();
    cli.signal(SIGTERM);
    EXPECT_EQ(cli.finish(10000), 0);
}

TEST(Cli, FailuresGiveOneLineAndTheirStatusPromptly)
{
    const auto expectFailure = [](const QStringList &arguments, int status, const QString &fragment,
                                  const QString &program = {}) {
        QElapsedTimer timer;
        timer.start();
        CliProcess cli(arguments, program);
        EXPECT_EQ(cli.finish(20000), status) << arguments.join(' ').toStdString();
        EXPECT_LT(timer.elapsed(), 10000) << arguments.join(' ').toStdString();
        const QStringList own = cli.ownErrorLines();
        ASSERT_EQ(own.size(), 1) << cli.errorLines().join('\n').toStdString();
        EXPECT_TRUE(own.front().contains(fragment)) << own.front().toStdString();
        EXPECT_TRUE(cli.outputLines().isEmpty());
    };
    const QString jack = uniqueClient("fail");
    expectFailure({"send", "--device", "nosuch", "--name", "x", "--jack-name", jack}, kExitNoDevice,
                  "no input device named \"nosuch\"");
    expectFailure(
        {"duplex", "--device", "7", "--name", "x", "--source", "H (y)", "--jack-name", jack},
        kExitNoDevice, "there is no duplex device number 7");
    expectFailure(
        {"send", "--device", "system", "--name", "x", "--rate", "44100", "--jack-name", jack},
        kExitDeviceRefused, "\"system\" refuses 44100 Hz");
    expectFailure({"play", "--source", "NOWHERE (nothing)", "--device", "system", "--wait", "1",
                   "--jack-name", jack},
                  kExitNoSource, "no NDI source named \"NOWHERE (nothing)\" appeared within 1 s");
    expectFailure({"send", "--device", "system"}, kExitUsage, "'send' needs --name");
    expectFailure(
        {"send", "--device", "system", "--name", "x", "--channels", "1,3", "--jack-name", jack},
        kExitUsage, "--channels names device channel 3, but the device has 2 channels");
    // What JACK cannot do: a device another program holds, a stream the engine cannot open, and
    // an audio library that does not start.
    const QString fake = QStringLiteral(VELTRIN_CLI_FAKE);
    expectFailure({"busy", "send", "--device", "fake card", "--name", "x"}, kExitDeviceRefused,
                  "\"Fake Card\" is busy", fake);
    expectFailure({"open-fails", "send", "--device", "Fake Card", "--name", "x"}, kExitStreamFailed,
                  "the stream on \"Fake Card\" could not start", fake);
    expectFailure({"no-audio", "send", "--device", "Fake Card", "--name", "x"}, kExitNoDevice,
                  "the audio devices cannot be reached", fake);
}

TEST(Cli, SignalsDuringStartUpEndItCleanly)
{
    // Waiting for a source that does not come: SIGINT ends the wait at once.
    {
        CliProcess cli({"play", "--source", "NOWHERE (later)", "--device", "system", "--wait", "60",
                        "--jack-name", uniqueClient("wait")});
        ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("NDI runtime:"), 20000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QElapsedTimer timer;
        timer.start();
        cli.signal(SIGINT);
        EXPECT_EQ(cli.finish(10000), 0);
        EXPECT_LT(timer.elapsed(), 3000);
        EXPECT_TRUE(cli.ownErrorLines().isEmpty()) << cli.errorLines().join('\n').toStdString();
    }
    // SIGTERM while the engine opens the stream and the devices.
    for (int delayMs : {0, 100}) {
        CliProcess cli({"send", "--device", "system", "--name", "cli early stop", "--jack-name",
                        uniqueClient("early")});
        ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("NDI runtime:"), 20000));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        cli.signal(SIGTERM);
        EXPECT_EQ(cli.finish(15000), 0) << delayMs;
    }
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // A home of the test's own with an NDI configuration that the program must honour and
    // leave as it is; the test's own runtime reads it too.
    QTemporaryDir home;
    g_configPath = home.isValid() ? useNdiHome(home.path(), kConfigText) : QString();
    if (g_configPath.isEmpty())
        return 1;

    JackServer server(kRate, 256, 2, 2);
    if (!server.running() || !NDIlib_initialize())
        return 1;
    const int result = RUN_ALL_TESTS();
    NDIlib_destroy();
    return result;
}
