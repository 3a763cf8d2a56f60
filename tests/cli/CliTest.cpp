// veltrin-cli: its pure parts as tables in process, and each command as users run it, as a child
// process on a private JACK dummy server with the built-in NDI runtime on loopback. The test
// process plays the other side: it feeds and records the JACK ports through probe clients and
// sends and receives NDI tones. The dummy driver has xruns of its own, so audio is judged by
// blocks that carry the expected tone, never from the first block on.
#include "Audio.Capture.Playback.h"
#include "CliTestSupport.h"
#include "DeviceTable.h"
#include "FiguresText.h"
#include "JackHarness.h"
#include "LevelMeter.h"
#include "Options.h"
#include "SourceWatch.h"
#include "StreamRunner.h"
#include "StreamStats.h"
#include "ToneCheck.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

using namespace veltrin::cli;
using namespace clitest;

namespace {

// The machine name of the NDI configuration the test writes; the runtime shows it upper case.
constexpr const char *kConfigText =
    "{\n  \"ndi\": {\n    \"machinename\": \"cli-test\",\n"
    "    \"groups\": { \"send\": \"Public\", \"recv\": \"Public\" }\n"
    "  }\n}\n";
QString g_configPath;

std::string fullName(const std::string &name)
{
    return "CLI-TEST (" + name + ")";
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

// ---- in process ----

std::string routes(const ChannelMap &m)
{
    std::string text;
    for (const ChannelRoute &r : m.routes)
        text += std::to_string(r.stream + 1) + ">" + std::to_string(r.device + 1) + " ";
    return text;
}

TEST(CommandLine, OptionsGoToTheirDirectionAndErrorsNameTheFault)
{
    // --gain covers both directions; the specific gains win in any order; a value may start
    // with '-'; each direction takes one channel choice.
    const ParseResult duplex = parseArguments(
        {"duplex", "--device", "1", "--name", "A", "--source=H (b)", "--out-gain", "1.5", "--gain",
         "-6", "--in-channels", "2", "--map", "2:1", "--stats", "--frames", "2048"});
    ASSERT_TRUE(duplex.options) << duplex.error;
    const Options &o = *duplex.options;
    EXPECT_EQ(std::make_tuple(o.inputGainDb, o.outputGainDb, routes(o.inputMap),
                              routes(o.outputMap), o.stats, o.frames),
              std::make_tuple(-6.0, 1.5, std::string("1>2 "), std::string("2>1 "), true, 2048u));
    const ParseResult send =
        parseArguments({"send", "--device", "1", "--name", "x", "--channels", "2,1"});
    ASSERT_TRUE(send.options) << send.error;
    EXPECT_EQ(routes(send.options->inputMap), "1>2 2>1 ");
    EXPECT_TRUE(send.options->outputMap.empty());
    const ParseResult play = parseArguments(
        {"play", "--source", "H (a)", "--device", "1", "--channels", "3,4", "--stats-json"});
    ASSERT_TRUE(play.options) << play.error;
    EXPECT_EQ(routes(play.options->outputMap), "1>3 2>4 ");
    EXPECT_TRUE(play.options->statsJson && !play.options->stats);
    // Listing sources waits less than waiting for one to play.
    EXPECT_EQ(play.options->waitSeconds, Limits::kDefaultSourceWait);
    const ParseResult sources = parseArguments({"sources", "--watch", "--json"});
    EXPECT_TRUE(sources.options->watch);
    EXPECT_EQ(sources.options->waitSeconds, Limits::kDefaultSourcesWait);

    const std::vector<std::string> sendX{"send", "--device", "1", "--name", "x"};
    const auto with = [](std::vector<std::string> a, std::vector<std::string> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{}, "no command given"},
        {{"--device", "1", "send"}, "a command must come first"},
        {{"duplex", "--device", "1", "--source", "H (x)"}, "'duplex' needs --name"},
        {with(sendX, {"--source", "H (y)"}), "has no option --source"},
        {with(sendX, {"--frames", "256k"}), "--frames takes"},
        {with(sendX, {"--frames", "2049"}), "--frames takes a whole number from 32 to 2048"},
        {with(sendX, {"--rate", "7999"}), "--rate takes a whole number from 8000 to 192000"},
        {with(sendX, {"--gain", "nan"}), "--gain takes decibels"},
        {with(sendX, {"--gain"}), "--gain needs a value"},
        {{"sources", "--json=yes"}, "--json takes no value"},
        {{"sources", "extra"}, "unexpected argument \"extra\""},
        {{"play", "--source", "H (a)", "--device", "1", "--channels", "1", "--map", "1:2"},
         "--map and --channels both choose the channels played"},
        {with(sendX, {"--map", "1:2"}), "'send' has no option --map"},
        {{"duplex", "--device", "1", "--name", "x", "--source", "H (a)", "--channels", "1"},
         "'duplex' has no option --channels"},
        {with(sendX, {"--watch"}), "'send' has no option --watch"},
        {{"sources", "--stats"}, "'sources' has no option --stats"},
        {with(sendX, {"--channels", "1,1"}), "--channels names device channel 1 twice"},
    };
    for (const auto &[args, fragment] : errors) {
        const ParseResult r = parseArguments(args);
        EXPECT_FALSE(r.options) << fragment;
        EXPECT_NE(r.error.find(fragment), std::string::npos) << r.error;
    }
}

VeltrinNdiFigures receiverFigures(double latencyMs)
{
    VeltrinNdiFigures f;
    f.kind = VeltrinNdi_receiver;
    f.available = VeltrinNdi_has_frames | VeltrinNdi_has_queue | VeltrinNdi_has_latency;
    std::strcpy(f.name, "HOST (a)");
    f.framesReceived = 1200;
    f.framesDropped = 3;
    f.queueDepth = 2;
    f.latencyMs = latencyMs;
    return f;
}

// A stream's figures as a JSON line (null where the runtime has no figure) and as text; the
// summary keeps the highest latency seen.
TEST(StreamFiguresOutput, JsonTextAndSummary)
{
    VeltrinNdiFigures f = receiverFigures(6.25);
    f.available &= ~uint32_t(VeltrinNdi_has_latency);
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
    const QJsonObject clocked =
        QJsonDocument::fromJson(QByteArray::fromStdString(figuresJson(f, 0, 1))).object();
    EXPECT_EQ(clocked.value("clock").toString(), "resampling");
    EXPECT_EQ(clocked.value("driftPpm").toDouble(), -12.5);
    EXPECT_EQ(clocked.value("latencyMs").toDouble(), 6.25);

    VeltrinNdiFigures sender;
    sender.kind = VeltrinNdi_sender;
    sender.available = VeltrinNdi_has_connections;
    std::strcpy(sender.name, "HOST (s)");
    for (const auto &[connections, words] :
         {std::pair(0, "0 receivers,"), std::pair(1, "1 receiver,"),
          std::pair(2, "2 receivers,")}) {
        sender.connections = connections;
        EXPECT_NE(veltrin::ndi::figuresText(sender, 0).find(words), std::string::npos)
            << veltrin::ndi::figuresText(sender, 0);
    }

    const std::atomic<uint64_t> xruns{0};
    for (const bool json : {true, false}) {
        StreamStats stats(xruns, json);
        stats.record({receiverFigures(9.5)}, 1.0);
        stats.record({receiverFigures(4.0)}, 2.0);
        std::string line;
        for (const std::string &l : stats.summary())
            line = l.find("HOST (a)") != std::string::npos ? l : line;
        const QJsonObject summary =
            QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        EXPECT_TRUE(json ? summary.value("maxLatencyMs").toDouble() == 9.5
                               && summary.value("latencyMs").toDouble() == 4.0
                         : line.find("latency 4.0 ms") != std::string::npos
                               && line.find("highest latency 9.5 ms") != std::string::npos)
            << line;
    }
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

TEST(DeviceChoice, NamesEntriesAndNumbersAsTheListsShowThemAndTheEngineGetsOneThatOpensIt)
{
    std::vector<AudioDevice> all = {{0, "ALSA", "HDA Intel: ALC892 Analog (hw:0,0)", 2, 2},
                                    {1, "ALSA", "USB Mic", 1, 0},
                                    {2, "ALSA", "default", 32, 32},
                                    {3, "JACK Audio Connection Kit", "system", 128, 64},
                                    {4, "JACK Audio Connection Kit", "default", 2, 2},
                                    {5, "ALSA", "2", 0, 2}};
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
        EXPECT_EQ(choice.device ? choice.device->index : -1, c.index) << c.text;
        EXPECT_NE(choice.error.find(c.fragment), std::string::npos) << choice.error;
    }

    EXPECT_EQ(engineDeviceParameter(all, all[3], Direction::Input), "system");
    EXPECT_EQ(engineDeviceParameter(all, all[2], Direction::Input), "default");
    // The engine would take ALSA's "default" by name: the JACK one goes by its number, fifth
    // among the input devices and fourth among the duplex ones.
    EXPECT_EQ(engineDeviceParameter(all, all[4], Direction::Input), "5");
    EXPECT_EQ(engineDeviceParameter(all, all[4], Direction::Duplex), "4");
    // Neither works when a device bears that number as its name.
    all.push_back({6, "ALSA", "5", 1, 0});
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
    // Each line starts the peaks again; another channel count starts the window again.
    const std::vector<float> quiet(2 * 256, 0.25f);
    meter.add(quiet.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("out"), "out  rms -12.0 -12.0  peak -12.0 -12.0 dBFS");
    meter.add(quiet.data(), 1, 256);
    meter.add(loud.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("in"), "in  rms -6.0 -6.0  peak -6.0 -6.0 dBFS");
}

// An entry that, like the engine's, clears its stop request when it starts (here late, as if
// its thread were slow to run) and then waits for one.
std::mutex g_entryLock;
std::condition_variable g_entryWake;
bool g_entryStop = false;

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
        [] {
            std::lock_guard<std::mutex> lock(g_entryLock);
            g_entryStop = true;
            g_entryWake.notify_all();
        });
    EXPECT_TRUE(runner.stop(std::chrono::milliseconds(5000)));
    EXPECT_EQ(runner.result(), 1);
}

// ---- the program ----

QJsonObject jsonOf(const QStringList &lines)
{
    return QJsonDocument::fromJson(lines.join('\n').toUtf8()).object();
}

// devices lists the JACK device under its headings and in JSON; sources lists a sender of the
// test, and sources --watch prints it as it appears and as it goes.
TEST(Cli, ListsDevicesAndSources)
{
    CliProcess text({"devices"});
    ASSERT_EQ(text.finish(20000), 0);
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
    const QJsonArray inputs = jsonOf(json.outputLines()).value("input").toArray();
    EXPECT_TRUE(std::any_of(inputs.begin(), inputs.end(), [](const QJsonValue &v) {
        const QJsonObject o = v.toObject();
        return o.value("entry") == QStringLiteral("JACK Audio Connection Kit  system")
               && o.value("name") == QStringLiteral("system") && o.value("channels") == 2
               && o.value("defaultSampleRate") == 48000;
    })) << json.outputLines().join('\n').toStdString();

    CliProcess watch({"sources", "--watch", "--json"});
    ASSERT_TRUE(watch.waitForErrorLine(QStringLiteral("NDI runtime:"), 20000));
    const QString name = QString::fromStdString(fullName("cli sources"));
    const auto saw = [&](const char *event) {
        return watch.waitUntil(
            [&] {
                for (const QString &line : watch.outputLines()) {
                    const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
                    if (o.value("event") == QLatin1String(event) && o.value("name") == name)
                        return true;
                }
                return false;
            },
            20000);
    };
    auto sender = std::make_unique<ToneSender>("cli sources", 440.0, 0.1f);
    EXPECT_TRUE(saw("appeared")) << watch.outputLines().join('\n').toStdString();
    CliProcess listed({"sources", "--json", "--wait", "3"});
    ASSERT_EQ(listed.finish(20000), 0);
    const QJsonObject root = jsonOf(listed.outputLines());
    EXPECT_TRUE(root.value("runtime").toString().startsWith("built-in"));
    const QJsonArray sources = root.value("sources").toArray();
    EXPECT_TRUE(std::any_of(sources.begin(), sources.end(), [&](const QJsonValue &v) {
        return v.toObject().value("name") == name
               && v.toObject().value("address").toString().contains(':');
    })) << listed.outputLines().join('\n').toStdString();
    EXPECT_EQ(listed.errorLines().filter(QStringLiteral("NDI runtime: built-in")).size(), 1);
    sender.reset();
    EXPECT_TRUE(saw("gone")) << watch.outputLines().join('\n').toStdString();
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.finish(10000), 0);
}

// True once the last meter line of `label` shows every channel at -9.0 dBFS RMS and -6.0 peak
// (a 0.5 sine), within 0.5 dB.
bool waitForHalfScaleSine(CliProcess &cli, const QString &label)
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
                near = std::fabs(words[i].toDouble() + 9.03) <= 0.5
                       && std::fabs(words[i + 3].toDouble() + 6.02) <= 0.5;
            return near;
        },
        15000);
}

// Three programs (send, play, duplex) carry their tones both ways with their gains, channel
// choices, meters and figures. The audio server then dies under them and comes back: each says
// once that its device went away and keeps running, the published sources stay listed carrying
// silence; each says when the device is back and carries its tones again with no restart of its
// NDI side. Play says when its source goes and comes back. SIGINT or SIGTERM ends each promptly.
TEST(Cli, StreamsCarryTonesAndOutliveTheirAudioServer)
{
    // The shared server of the other tests stays up; this test's own one is killed.
    const std::string shared = std::getenv("JACK_DEFAULT_SERVER");
    struct Restore {
        std::string name;
        ~Restore() { setenv("JACK_DEFAULT_SERVER", name.c_str(), 1); }
    } restore{shared};
    JackServer server(kRate, 256, 2, 2);
    ASSERT_TRUE(server.running());

    const std::string source = fullName("cli source");
    auto sender = std::make_unique<ToneSender>("cli source", 440.0, 0.5f);
    ASSERT_TRUE(sourceListed(source, 20000));
    const QString sourceArg = QString::fromStdString(source);
    const float minus6 = static_cast<float>(db_to_ratio(-6.0));

    // Each program's arguments, '|' between them; its JACK ports; its source published (empty
    // for play) carrying the probe's 0.5 tone at `sentAmplitude`; the device output that plays
    // the source (-1 for none) at `playedAmplitude`.
    struct Program {
        QString arguments;
        int inputs, outputs;
        std::string published;
        float sentAmplitude;
        int playedChannel;
        float playedAmplitude;
        QString client = uniqueClient("program");
        std::unique_ptr<CliProcess> cli = nullptr;
    };
    const std::string sendName = fullName("cli send"), duplexName = fullName("cli duplex");
    std::vector<Program> programs;
    programs.push_back({"send|--device|system|--name|cli send|--gain|-6|--meter|--stats", 2, 0,
                        sendName, 0.5f * minus6, -1, 0.0f});
    programs.push_back({"play|--source|" + sourceArg
                            + "|--device|JACK Audio Connection Kit  system|--gain|-6|--map|1:2"
                              "|--stats-json",
                        0, 2, "", 0.0f, 1, 0.5f * minus6});
    programs.push_back({"duplex|--device|system|--name|cli duplex|--meter|--source|" + sourceArg, 2,
                        2, duplexName, 0.5f, 0, 0.5f});
    for (Program &p : programs) {
        p.cli = std::make_unique<CliProcess>(
            p.arguments.split('|') + QStringList{QStringLiteral("--jack-name"), p.client});
        ASSERT_TRUE(p.cli->waitUntil(
            [&] {
                return !p.cli->ownErrorLines()
                            .filter(QRegularExpression("sending|playing|duplex on"))
                            .isEmpty();
            },
            30000))
            << p.cli->errorLines().join('\n').toStdString();
    }
    Program &send = programs[0], &play = programs[1], &duplex = programs[2];
    // The machine name comes from the user's configuration file, read as it is.
    EXPECT_EQ(send.cli->ownErrorLines()
                  .filter("as \"" + QString::fromStdString(send.published) + "\"")
                  .size(),
              1);

    // Each program's tones through probes on the server as it is now: the probe's 1 kHz into
    // what is sent, the source's 440 Hz out of what is played.
    const auto carryTones = [&](const char *when) {
        std::vector<std::unique_ptr<JackProbe>> probes;
        std::vector<long long> until;
        for (Program &p : programs) {
            SCOPED_TRACE(when + (" " + p.arguments.section('|', 0, 0)).toStdString());
            probes.push_back(std::make_unique<JackProbe>("cli-probe-" + p.client.toStdString(), 2));
            JackProbe &probe = *probes.back();
            ASSERT_TRUE(probe.ok());
            probe.setSignal([](long long f, int) { return tone(1000.0, 0.5f, f); });
            ASSERT_TRUE(probe.wire(p.client.toStdString(), p.inputs, p.outputs));
            probe.clearRecording();
            until.push_back(probe.framesElapsed() + 2 * kRate); // two seconds recorded
        }
        for (Program &p : programs)
            if (!p.published.empty()) {
                EXPECT_TRUE(ToneListener(p.published).hear(1000.0, p.sentAmplitude, 10, 30000))
                    << when << " " << p.published;
            }
        for (size_t i = 0; i < programs.size(); ++i) {
            Program &p = programs[i];
            SCOPED_TRACE(when + (" " + p.arguments.section('|', 0, 0)).toStdString());
            if (p.playedChannel < 0)
                continue;
            while (probes[i]->framesElapsed() < until[i])
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            // At least ten blocks of 2048 frames, and half of all, carry the 440 Hz tone.
            const std::vector<float> track = probes[i]->recorded(p.playedChannel);
            const int blocks =
                tonecheck::matchingWindows(track, {{440.0, p.playedAmplitude}}, 2048, kRate);
            EXPECT_GE(blocks, 10);
            EXPECT_GE(blocks * 2, static_cast<int>(track.size() / 2048));
            if (p.playedChannel == 1) {
                const std::vector<float> other = probes[i]->recorded(0);
                EXPECT_EQ(std::count(other.begin(), other.end(), 0.0f), long(other.size()));
            }
        }
    };
    carryTones("before");

    // The meters show the capture before the gain and the duplex block as played; the figures
    // come once a second, the receiver's as JSON.
    EXPECT_TRUE(waitForHalfScaleSine(*send.cli, QStringLiteral("in")))
        << send.cli->outputLines().join('\n').toStdString();
    EXPECT_TRUE(waitForHalfScaleSine(*duplex.cli, QStringLiteral("out")))
        << duplex.cli->outputLines().join('\n').toStdString();
    {
        ToneListener listener(send.published);
        const QRegularExpression figures(
            "^send \"" + QRegularExpression::escape(QString::fromStdString(send.published))
            + "\": 1 receiver, [1-9]\\d* datagrams, [1-9]\\d* bytes sent, xruns \\d+$");
        EXPECT_TRUE(send.cli->waitUntil(
            [&] { return !send.cli->outputLines().filter(figures).isEmpty(); }, 5000))
            << send.cli->outputLines().join('\n').toStdString();
    }
    const auto jsonLines = [&](bool summary) {
        std::vector<QJsonObject> objects;
        for (const QString &line : play.cli->outputLines()) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            if (o.value("stream") == QStringLiteral("receive")
                && o.value("summary").toBool() == summary)
                objects.push_back(o);
        }
        return objects;
    };
    ASSERT_TRUE(play.cli->waitUntil([&] { return jsonLines(false).size() >= 2; }, 10000));
    const QJsonObject last = jsonLines(false).back();
    EXPECT_EQ(last.value("name").toString(), sourceArg);
    EXPECT_EQ(last.value("connections").toInt(), 1);
    EXPECT_TRUE(last.value("clock") == QStringLiteral("copying")
                || last.value("clock") == QStringLiteral("resampling"));
    EXPECT_GT(last.value("latencyMs").toDouble(), 0.0);
    EXPECT_LT(last.value("latencyMs").toDouble(), 100.0);
    EXPECT_GT(last.value("datagramsReceived").toDouble(), 100.0);
    EXPECT_TRUE(last.value("xruns").isDouble());
    play.cli->signal(SIGUSR1);
    EXPECT_TRUE(play.cli->waitUntil([&] { return jsonLines(true).size() == 1; }, 5000));

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
    // The source goes and comes back: play says so and plays on.
    sender.reset();
    const QString theSource = "the source \"" + sourceArg + "\" is ";
    EXPECT_TRUE(play.cli->waitForErrorLine(theSource + "gone; playing silence", 15000));
    sender = std::make_unique<ToneSender>("cli source", 440.0, 0.5f);
    EXPECT_TRUE(play.cli->waitForErrorLine(theSource + "back", 15000));

    for (Program &p : programs) {
        p.cli->waitUntil([] { return false; }, 50); // takes in what it wrote so far
        EXPECT_EQ(p.cli->errorLines().filter(away).size(), 1);
        p.cli->signal(p.published.empty() ? SIGINT : SIGTERM);
    }
    for (Program &p : programs) {
        EXPECT_EQ(p.cli->finish(5000), 0) << p.cli->errorLines().join('\n').toStdString();
        // The NDI side was never restarted: the runtime was chosen once.
        EXPECT_EQ(p.cli->errorLines().filter(QStringLiteral("NDI runtime:")).size(), 1);
        EXPECT_EQ(p.cli->ownErrorLines().last(), QStringLiteral("veltrin-cli: stopped"));
    }
    const auto summaries = jsonLines(true);
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_GE(summaries[1].value("ranSeconds").toDouble(),
              summaries[0].value("ranSeconds").toDouble());
    EXPECT_GE(summaries[1].value("maxLatencyMs").toDouble(),
              summaries[1].value("latencyMs").toDouble());
    EXPECT_TRUE(sourceListed(send.published, 15000, false));
    QFile config(g_configPath);
    ASSERT_TRUE(config.open(QIODevice::ReadOnly));
    EXPECT_EQ(config.readAll(), QByteArray(kConfigText));
}

TEST(Cli, FailuresGiveOneLineAndTheirStatusPromptly)
{
    const auto expectFailure = [](const QStringList &arguments, int status, const QString &fragment,
                                  const QString &program = {}) {
        const auto started = std::chrono::steady_clock::now();
        CliProcess cli(arguments, program);
        EXPECT_EQ(cli.finish(20000), status) << arguments.join(' ').toStdString();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10))
            << arguments.join(' ').toStdString();
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
    {
        // Only the name the sender gave: the full name is suggested.
        ToneSender sender("cli hint", 440.0, 0.1f);
        ASSERT_TRUE(sourceListed(fullName("cli hint"), 20000));
        expectFailure({"play", "--source", "cli hint", "--device", "system", "--wait", "2"},
                      kExitNoSource,
                      "(did you mean \"" + QString::fromStdString(fullName("cli hint")) + "\"?)");
    }
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
        const auto signalled = std::chrono::steady_clock::now();
        cli.signal(SIGINT);
        EXPECT_EQ(cli.finish(10000), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));
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
