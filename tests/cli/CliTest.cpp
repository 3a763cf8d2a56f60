// veltrin-cli: its pure parts as tables in process, and each command as users run it, as a child
// process on a private JACK dummy server with the built-in NDI runtime on loopback. The test
// process plays the other side: it feeds and records the JACK ports through probe clients and
// sends and receives NDI tones. The dummy driver has xruns of its own, so audio is judged by
// blocks that carry the expected tone, never from the first block on.
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

#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>
#include <csignal>
#include <gtest/gtest.h>

using namespace veltrin::cli;
using namespace clitest;

namespace {

// The machine name of the NDI configuration the test writes; the runtime shows it upper case.
constexpr const char *kConfigText =
    "{\n  \"ndi\": {\n    \"machinename\": \"cli-test\",\n"
    "    \"groups\": { \"send\": \"Public\", \"recv\": \"Public\" }\n"
    "  }\n}\n";

// True once `count` lines of the program's standard output match `pattern`.
bool waitForOutput(CliProcess &cli, const QString &pattern, int count = 1, int timeoutMs = 20000)
{
    const QRegularExpression line(pattern);
    return cli.waitUntil([&] { return cli.outputLines().filter(line).size() >= count; }, timeoutMs);
}

// ---- in process ----

// A command line gives the channel routes ("stream>device", what is sent, then what is played),
// the gains in and out, the figures and the block size, and how long to wait for sources; or an
// error that names its fault.
TEST(CommandLine, OptionsGoToTheirDirectionAndErrorsNameTheFault)
{
    const auto parsed = [](const QString &line) {
        std::vector<std::string> arguments;
        for (const QString &argument : line.split('|', Qt::SkipEmptyParts))
            arguments.push_back(argument.toStdString());
        const ParseResult r = parseArguments(arguments);
        if (!r.options)
            return r.error;
        const Options &o = *r.options;
        std::string text;
        for (const ChannelMap *map : {&o.inputMap, &o.outputMap})
            for (const ChannelRoute &c : map->routes)
                text += std::to_string(c.stream + 1) + ">" + std::to_string(c.device + 1) + " ";
        char rest[96];
        std::snprintf(rest, sizeof rest, "gain %g %g,%s%s%s frames %u, wait %g", o.inputGainDb,
                      o.outputGainDb, o.stats ? " stats" : "", o.statsJson ? " json" : "",
                      o.watch ? " watch" : "", o.frames, o.waitSeconds);
        return text + rest;
    };
    const QString sendX = "send|--device|1|--name|x|";
    const std::vector<std::pair<QString, std::string>> rows = {
        // --gain covers both directions; the specific gains win in any order; a value may start
        // with '-'. Listing sources waits less than waiting for one to play.
        {"duplex|--device|1|--name|A|--source=H (b)|--out-gain|1.5|--gain|-6|--in-channels|2|"
         "--map|2:1|--stats|--frames|2048",
         "1>2 2>1 gain -6 1.5, stats frames 2048, wait 5"},
        {sendX + "--channels|2,1", "1>2 2>1 gain 0 0, frames 256, wait 5"},
        {"play|--source|H (a)|--device|1|--channels|3,4|--stats-json",
         "1>3 2>4 gain 0 0, json frames 256, wait 5"},
        {"sources|--watch|--json", "gain 0 0, watch frames 256, wait 2"},
        {"", "no command given"},
        {"--device|1|send", "a command must come first"},
        {"duplex|--device|1|--source|H (x)", "'duplex' needs --name"},
        {sendX + "--source|H (y)", "'send' has no option --source"},
        {sendX + "--frames|256k", "--frames takes"},
        {sendX + "--frames|2049", "--frames takes a whole number from 32 to 2048"},
        {sendX + "--rate|7999", "--rate takes a whole number from 8000 to 192000"},
        {sendX + "--gain|nan", "--gain takes decibels"},
        {sendX + "--gain", "--gain needs a value"},
        {"sources|--json=yes", "--json takes no value"},
        {"sources|extra", "unexpected argument \"extra\""},
        {"play|--channels|1|--map|1:2", "--map and --channels both choose the channels played"},
        {"duplex|--channels|1", "'duplex' has no option --channels"},
        {sendX + "--watch", "'send' has no option --watch"},
        {"sources|--stats", "'sources' has no option --stats"},
        {sendX + "--channels|1,1", "--channels names device channel 1 twice"},
    };
    for (const auto &[line, expected] : rows)
        EXPECT_NE(parsed(line).find(expected), std::string::npos) << parsed(line);
}

// The lines the program prints: a stream's figures as a JSON line (null where the runtime has no
// figure) and as text; the summary, which keeps the highest latency seen; the sources that come
// and go; the meter.
TEST(OutputLines, FiguresSummariesSourceEventsAndMeters)
{
    VeltrinNdiFigures f;
    f.available = VeltrinNdi_has_frames | VeltrinNdi_has_queue | VeltrinNdi_has_clock;
    f.framesReceived = 1200;
    f.framesDropped = 3;
    f.queueDepth = 2;
    f.clockMode = VeltrinNdi_clock_resampling;
    f.driftPpm = -12.5;
    EXPECT_EQ(figuresJson(f, 4, 12.34),
              R"x({"clock":"resampling","connections":null,"datagramsConcealed":null,)x"
              R"x("datagramsLost":null,"datagramsReceived":null,"datagramsRepaired":null,)x"
              R"x("driftPpm":-12.5,"framesDropped":3,"framesReceived":1200,"lateBlocks":null,)x"
              R"x("latencyMs":null,"name":"","queueDepth":2,"reserveMs":null,"seconds":12.3,)x"
              R"x("stream":"receive","underruns":null,"xruns":4})x");

    const std::atomic<uint64_t> xruns{0};
    f.available |= VeltrinNdi_has_latency;
    for (const bool json : {true, false}) {
        StreamStats stats(xruns, json);
        for (const double latency : {9.5, 4.0}) {
            f.latencyMs = latency;
            stats.record({f}, 0);
        }
        const std::string line = stats.summary().at(0);
        EXPECT_TRUE(QString::fromStdString(line).contains(
            QRegularExpression(json ? R"x("latencyMs":4,.*"maxLatencyMs":9.5,)x"
                                    : "latency 4.0 ms .*, highest latency 9.5 ms$")))
            << line;
    }
    f.kind = VeltrinNdi_sender;
    f.available = VeltrinNdi_has_connections;
    std::string counts;
    for (f.connections = 0; f.connections < 3; ++f.connections)
        counts += veltrin::ndi::figuresText(f, 0) + "\n";
    EXPECT_TRUE(QString::fromStdString(counts).contains(
        QRegularExpression(": 0 receivers,.*\n.*: 1 receiver,.*\n.*: 2 receivers,")))
        << counts;

    // Sources that come, go or move, as events in a stable order.
    const NdiSource a{"H (a)", "10.0.0.1:1"}, b{"H (b)", "10.0.0.2:1"},
        bMoved{"H (b)", "10.0.0.9:1"}, c{"H (c)", "10.0.0.3:1"};
    std::string lines;
    for (const SourceEvent &e : sourceEvents({a, b}, {c, bMoved, a}))
        lines += sourceEventLine(e, false) + "\n";
    EXPECT_EQ(lines, "- H (b)  10.0.0.2:1\n+ H (b)  10.0.0.9:1\n+ H (c)  10.0.0.3:1\n");
    EXPECT_TRUE(sourceEvents({a, b}, {b, a}).empty());
    EXPECT_EQ(sourceEventLine({false, a}, true),
              R"x({"address":"10.0.0.1:1","event":"gone","name":"H (a)"})x");

    // Meter lines: the RMS and the peak of every channel over all blocks of the window.
    LevelMeter meter;
    std::vector<float> block;
    for (int i = 0; i < 480; ++i)
        block.insert(block.end(), {i % 2 ? 0.5f : -0.5f, -0.25f});
    meter.add(block.data(), 2, 480);
    EXPECT_EQ(meter.takeLine("in"), "in  rms -6.0 -12.0  peak -6.0 -12.0 dBFS");
    EXPECT_EQ(meter.takeLine("in"), "in  no audio");
    // A loud block and a silent one of the same length: the mean square halves (-3 dB), the
    // peak stays.
    const std::vector<float> loud(2 * 256, 0.5f), silent(2 * 256, 0.0f), quiet(2 * 256, 0.25f);
    meter.add(loud.data(), 2, 256);
    meter.add(silent.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("out"), "out  rms -9.0 -9.0  peak -6.0 -6.0 dBFS");
    // Each line starts the peaks again; another channel count starts the window again.
    meter.add(quiet.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("out"), "out  rms -12.0 -12.0  peak -12.0 -12.0 dBFS");
    meter.add(quiet.data(), 1, 256);
    meter.add(loud.data(), 2, 256);
    EXPECT_EQ(meter.takeLine("in"), "in  rms -6.0 -6.0  peak -6.0 -6.0 dBFS");
}

TEST(DeviceChoice, NamesEntriesAndNumbersAsTheListsShowThemAndTheEngineGetsOneThatOpensIt)
{
    std::vector<AudioDevice> all = {{0, "ALSA", "HDA Intel: ALC892 Analog (hw:0,0)", 2, 2},
                                    {1, "ALSA", "USB Mic", 1, 0},
                                    {2, "ALSA", "default", 32, 32},
                                    {3, "JACK Audio Connection Kit", "system", 128, 64},
                                    {4, "JACK Audio Connection Kit", "default", 2, 2},
                                    {5, "ALSA", "2", 0, 2}};
    const Direction in = Direction::Input, out = Direction::Output;
    // Direction, text, and the chosen device ("#", its index and the name or number the engine
    // gets) or a fragment of the error. The engine would take ALSA's "default" by name: the JACK
    // one goes by its number, fifth among the input devices and fourth among the duplex ones.
    const std::vector<std::tuple<Direction, std::string, std::string>> cases = {
        {in, "usb mic", "#1"},
        // The entry text tells apart devices of the same name on two host APIs.
        {in, "jack audio connection kit  default", "#4"},
        {in, "default", "#2 default"},
        {in, "system", "#3 system"},
        {in, "3", "#2"},
        {in, "5", "#4 5"}, // the last one
        {Direction::Duplex, "4", "#4 4"},
        // A name comes before a number, as in the engine.
        {out, "2", "#5"},
        {in, "2", "\"2\" has no input channels"},
        {Direction::Duplex, "USB Mic", "\"USB Mic\" cannot both record and play"},
        {in, "6", "there is no input device number 6: there are 5"},
        {out, "Nothing", "no output device named \"Nothing\""},
    };
    for (const auto &[direction, name, expected] : cases) {
        const DeviceChoice c = chooseDevice(all, name, direction);
        const std::string chosen = c.device ? "#" + std::to_string(c.device->index) + " "
                                                  + engineDeviceParameter(all, *c.device, direction)
                                            : c.error;
        EXPECT_EQ(chosen.find(expected), 0u) << name << ": " << chosen;
    }
    // Neither works when a device bears that number as its name.
    all.push_back({6, "ALSA", "5", 1, 0});
    EXPECT_EQ(engineDeviceParameter(all, all[4], in), "");

    // PortAudio's answer to the format the engine will ask for, as the user reads it.
    const AudioDevice card{0, "ALSA", "Card", 2, 80, 48000.0};
    for (const auto &[direction, result, error] :
         std::vector<std::tuple<Direction, PaError, std::string>>{
             {in, paDeviceUnavailable, "\"Card\" is busy: another program is using it"},
             {out, paInvalidSampleRate, "\"Card\" refuses 44100 Hz (its default rate is 48000 Hz)"},
             {Direction::Duplex, paInvalidChannelCount,
              "\"Card\" refuses 2 input channels with 64 output channels"},
             {in, paInternalError, "\"Card\" cannot be opened: Internal PortAudio error"}}) {
        const FormatCheck check = formatVerdict(card, direction, 44100, result);
        EXPECT_TRUE(check.code == kExitDeviceRefused && check.error == error) << check.error;
    }
}

// An entry that, like the engine's, clears its stop request when it starts (here late, as if
// its thread were slow to run) and then waits for one.
std::atomic<bool> g_entryStop{false};

TEST(StreamRunnerTest, AStopAskedBeforeTheEntryHasStartedStillEndsIt)
{
    StreamRunner runner(
        [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            for (g_entryStop = false; !g_entryStop;)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 1;
        },
        [] { g_entryStop = true; });
    EXPECT_TRUE(runner.stop(std::chrono::milliseconds(5000)));
    EXPECT_EQ(runner.result(), 1);
}

// ---- the program ----

// Each command run once to its end: the listings on standard output with nothing of the audio
// libraries on standard error, each failure as one line and its exit status, promptly.
TEST(Cli, RunsEndWithTheirOutputAndStatus)
{
    // A sender named "cli hint", found by the listing that runs before the hint.
    const ToneSender hint("cli hint", 440.0, 0.1f);
    // The status, the arguments ('|' between them; "SIGINT" first for a run interrupted once
    // it has started its NDI runtime) and a pattern of the output or, for a failure, of its one
    // line.
    const QString jackSystem = "JACK Audio Connection Kit  system  2 ch  48000 Hz\n(   .*\n)*";
    const std::vector<std::tuple<int, QString, QString>> runs = {
        {kExitOk, "devices",
         "^Input devices \\(send\\):\n(   .*\n)*   \\d+  " + jackSystem
             + "Output devices \\(play\\):\n(   .*\n)*   \\d+  " + jackSystem
             + "Duplex devices \\(duplex\\):\n(   .*\n)*   \\d+  system"},
        {kExitOk, "devices|--json",
         R"("input": \[[^\]]*"channels": 2,\s*"defaultSampleRate": 48000,\s*"entry": "JACK )"
         R"(Audio Connection Kit  system",\s*"hostApi": "JACK Audio Connection Kit",\s*"name": )"
         R"("system",\s*"number": [1-9])"},
        {kExitOk, "sources|--json|--wait|3",
         R"("runtime": "built-in(.|\n)*"address": "[^"]+:\d+",\s*"name": "CLI-TEST \(cli hint)"},
        // Waiting for a source that does not come: SIGINT ends the wait at once.
        {kExitOk, "SIGINT|play|--source|NOWHERE (later)|--device|system|--wait|60", "^$"},
        {kExitNoDevice, "duplex|--device|7|--name|x|--source|H (y)",
         "there is no duplex device number 7"},
        {kExitDeviceRefused, "send|--device|system|--name|x|--rate|44100",
         "\"system\" refuses 44100 Hz"},
        {kExitNoSource, "play|--source|NOWHERE (nothing)|--device|system|--wait|1",
         "no NDI source named \"NOWHERE \\(nothing\\)\" appeared within 1 s"},
        // Only the name the sender gave: the full name is suggested.
        {kExitNoSource, "play|--source|cli hint|--device|system|--wait|2",
         "\\(did you mean \"CLI-TEST \\(cli hint\\)\"\\?\\)"},
        {kExitUsage, "send|--device|system", "'send' needs --name"},
        {kExitUsage, "send|--device|system|--name|x|--channels|1,3",
         "--channels names device channel 3, but the device has 2 channels"},
    };
    for (const auto &[status, arguments, pattern] : runs) {
        SCOPED_TRACE(arguments.toStdString());
        const bool interrupt = arguments.startsWith("SIGINT|");
        CliProcess cli(arguments.split('|').mid(interrupt ? 1 : 0));
        if (interrupt) {
            ASSERT_TRUE(cli.waitForErrorLine(QStringLiteral("NDI runtime:"), 20000));
            cli.signal(SIGINT);
        }
        EXPECT_EQ(cli.finish(10000), status); // promptly, or it is killed
        // A run that succeeds writes nothing on standard error but the NDI runtime it uses; a
        // failure writes one line of its own there and nothing on standard output.
        const QStringList own = cli.errorLines().filter("veltrin-cli: "), errors = cli.errorLines();
        EXPECT_TRUE(status == kExitOk ? errors.filter("NDI runtime: built-in") == errors
                                      : own.size() == 1 && cli.outputLines().isEmpty())
            << cli.output(true);
        EXPECT_TRUE((status == kExitOk ? cli.outputLines().join('\n') : own.join('\n'))
                        .contains(QRegularExpression(pattern)))
            << cli.output() << cli.output(true);
    }
}

// A duplex stream carries tones both ways with its gain, channel map, meter and figures, while
// sources --watch sees its source come and go. The audio server then dies under it and comes
// back: it says once that its device went away and keeps running, its source stays on the
// network carrying silence; it says when the device is back and carries its tones again with no
// restart of its NDI side. It says when the source it plays goes and comes back; SIGTERM ends it.
// It runs last, on a server of its own that it kills and starts again: programs started from
// then on go to that server.
TEST(Cli, DuplexCarriesTonesAndOutlivesItsAudioServer)
{
    JackServer server;
    ASSERT_TRUE(server.running());
    auto sender = std::make_unique<ToneSender>("cli source", 440.0, 0.5f);
    const std::string published = "CLI-TEST (cli duplex)";
    const QString source = "CLI-TEST (cli source)", client = "cli-duplex";
    CliProcess watch({"sources", "--watch", "--json"});
    const QString appeared = R"x("event":"appeared","name":"CLI-TEST \(cli duplex\)")x",
                  gone = R"x("event":"gone","name":"CLI-TEST \(cli duplex\)")x";

    CliProcess cli({"duplex", "--device", "system", "--name", "cli duplex", "--source", source,
                    "--wait", "20", "--in-gain", "-6", "--map", "1:2", "--meter", "--stats-json",
                    "--jack-name", client});
    // The machine name comes from the user's configuration file, read as it is.
    ASSERT_TRUE(cli.waitForErrorLine(": sending as \"CLI-TEST (cli duplex)\", playing", 30000))
        << cli.output(true);
    EXPECT_TRUE(waitForOutput(watch, appeared)) << watch.output();

    // The probe's 1 kHz goes out at -6 dB; the source's 440 Hz plays on the second output, at
    // least ten blocks of 2048 frames and half of all of two seconds, the first one silent.
    const auto carryTones = [&](const char *when) {
        JackProbe probe("cli-probe-" + client.toStdString(), 2);
        probe.setSignal([](long long f, int) { return float(0.5 * std::sin(M_PI * f / 24)); });
        ASSERT_TRUE(probe.wire(client.toStdString(), 2, 2));
        probe.clearRecording();
        const long long until = probe.framesElapsed() + 2 * kRate;
        EXPECT_TRUE(hearTone(published, 1000.0, 0.2506, 10, 30000)) << when; // -6 dB
        while (probe.framesElapsed() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::vector<float> played = probe.recorded(1), other = probe.recorded(0);
        const int blocks = tonecheck::matchingWindows(played, {{440.0, 0.5f}}, 2048, kRate);
        EXPECT_TRUE(blocks >= 10 && blocks * 2 >= int(played.size() / 2048)) << when << blocks;
        EXPECT_EQ(std::count(other.begin(), other.end(), 0.0f), long(other.size())) << when;
    };
    carryTones("before");

    // The meter shows the capture before the gain, a 0.5 sine within half a decibel on both
    // channels. The figures come once a second as JSON, and a summary on SIGUSR1 (counted at
    // the end).
    const QString rms = "(-8\\.[5-9]|-9\\.[0-5])", peak = "(-5\\.[6-9]|-6\\.[0-5])";
    EXPECT_TRUE(waitForOutput(cli, "^in +rms " + rms + " " + rms + "  peak " + peak + " " + peak))
        << cli.output();
    EXPECT_TRUE(waitForOutput(
        cli,
        R"x(^\{"clock":"(copying|resampling)","connections":1,.*"datagramsReceived":[1-9]\d\d+)x"
        R"x(,.*"latencyMs":(0\.\d*[1-9]|[1-9]\d?(\.\d+)?),"name":"CLI-TEST \(cli source\)",)x"
        R"x(.*"stream":"receive",.*"xruns":\d+\}$)x",
        2))
        << cli.output();
    const QString summary = R"x("stream":"receive","summary":true,)x";
    cli.signal(SIGUSR1);

    // Away, the source carries silence; it never leaves the network.
    server.kill();
    const QString away = QStringLiteral("device \"system\" went away");
    EXPECT_TRUE(cli.waitForErrorLine(away, 10000)) << cli.output(true);
    EXPECT_TRUE(hearTone(published, 1000.0, 0.0, 10, 15000));
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(cli.waitForErrorLine(QStringLiteral("device \"system\" is back"), 15000));
    carryTones("after");
    EXPECT_FALSE(waitForOutput(watch, gone, 1, 0)) << watch.output();
    sender.reset();
    const QString theSource = "the source \"" + source + "\" is ";
    EXPECT_TRUE(cli.waitForErrorLine(theSource + "gone; playing silence", 15000));
    sender = std::make_unique<ToneSender>("cli source", 440.0, 0.5f);
    EXPECT_TRUE(cli.waitForErrorLine(theSource + "back", 15000));

    cli.signal(SIGTERM);
    EXPECT_EQ(cli.finish(5000), 0) << cli.output(true);
    EXPECT_EQ(cli.errorLines().filter(away).size(), 1);
    // The NDI side was never restarted: the runtime was chosen once.
    EXPECT_EQ(cli.errorLines().filter(QStringLiteral("NDI runtime:")).size(), 1);
    EXPECT_EQ(cli.errorLines().filter("veltrin-cli: ").last(), "veltrin-cli: stopped");
    EXPECT_EQ(cli.outputLines().filter(summary).size(), 2);
    EXPECT_TRUE(waitForOutput(watch, gone)) << watch.output();
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.finish(10000), 0);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // A home of the test's own with an NDI configuration that the programs must honour; the
    // test's own runtime reads it too.
    QTemporaryDir home;
    if (!home.isValid() || useNdiHome(home.path(), kConfigText).isEmpty())
        return 1;
    JackServer server;
    if (!server.running() || !NDIlib_initialize())
        return 1;
    const int result = RUN_ALL_TESTS();
    NDIlib_destroy();
    return result;
}
