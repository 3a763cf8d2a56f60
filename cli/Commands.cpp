#include "Commands.h"

#include "Audio.Capture.Playback.h"
#include "AudioRoute.h"
#include "Console.h"
#include "DeviceTable.h"
#include "Discovery.h"
#include "LevelMeter.h"
#include "NdiLoader.h"
#include "NdiSession.h"
#include "Options.h"
#include "ScanDevice.h"
#include "SourceWatch.h"
#include "StopSignals.h"
#include "StreamRunner.h"
#include "StreamStats.h"
#include "SummarySignal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <strings.h>

namespace veltrin::cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the stream loop looks at the signals, the level taps and the engine.
constexpr milliseconds kMeterPoll{20};
constexpr milliseconds kIdlePoll{100};
constexpr auto kMeterPeriod = std::chrono::seconds(1);
constexpr auto kSourceCheckPeriod = std::chrono::seconds(1);
// The engine gives up a stop after 1.5 s, and a duplex stream pauses one second before it
// stops: past this the stream's thread is stuck somewhere else, and the program leaves.
constexpr milliseconds kStopTimeout{2800};

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

Clock::time_point after(double seconds)
{
    return Clock::now()
           + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// ---- devices ----

QJsonArray deviceArray(const QStringList &entries, const QStringList &channels,
                       const QList<double> &rates)
{
    QJsonArray array;
    for (int i = 0; i < entries.size(); ++i) {
        const QString &entry = entries.at(i);
        const int split = entry.indexOf(QLatin1String(ScanDevice::kEntrySeparator));
        QJsonObject device;
        device.insert(QStringLiteral("number"), i + 1);
        device.insert(QStringLiteral("entry"), entry);
        device.insert(QStringLiteral("hostApi"), split < 0 ? QString() : entry.left(split));
        device.insert(QStringLiteral("name"), split < 0 ? entry : entry.mid(split + 2));
        device.insert(QStringLiteral("channels"), channels.value(i).toInt());
        device.insert(QStringLiteral("defaultSampleRate"), rates.value(i));
        array.append(device);
    }
    return array;
}

std::string deviceLines(const QStringList &entries, const QStringList &channels,
                        const QList<double> &rates)
{
    if (entries.isEmpty())
        return "   none\n";
    int width = 0;
    for (const QString &entry : entries)
        width = std::max(width, static_cast<int>(entry.toStdString().size()));
    std::string lines;
    for (int i = 0; i < entries.size(); ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%4d  ", i + 1);
        std::string entry = entries.at(i).toStdString();
        entry.resize(static_cast<size_t>(width), ' ');
        lines += line + entry + "  " + channels.value(i).toStdString() + " ch  "
                 + std::to_string(std::llround(rates.value(i))) + " Hz\n";
    }
    return lines;
}

int listDevices(const Options &options, Console &console)
{
    setJackClientName(options.jackName);
    if (audio::audioRoute().warning)
        Console::message(audio::audioRoute().note);
    // The lists the window's device menus show, from the window's own scan.
    ScanDevice scan;
    const ScannedDevices d = collectScan(scan);
    std::string text;
    if (options.json) {
        QJsonArray duplex;
        for (int i = 0; i < d.duplex.size(); ++i)
            duplex.append(QJsonObject{{QStringLiteral("number"), i + 1},
                                      {QStringLiteral("name"), d.duplex.at(i)}});
        const QJsonObject root{
            {QStringLiteral("input"), deviceArray(d.inputs, d.inputChannels, d.inputRates)},
            {QStringLiteral("output"), deviceArray(d.outputs, d.outputChannels, d.outputRates)},
            {QStringLiteral("duplex"), duplex}};
        text = QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
        text.pop_back(); // data() ends the line
    } else {
        text = "Input devices (send):\n" + deviceLines(d.inputs, d.inputChannels, d.inputRates)
               + "Output devices (play):\n"
               + deviceLines(d.outputs, d.outputChannels, d.outputRates)
               + "Duplex devices (duplex):\n";
        if (d.duplex.isEmpty())
            text += "   none\n";
        for (int i = 0; i < d.duplex.size(); ++i) {
            char number[16];
            std::snprintf(number, sizeof number, "%4d  ", i + 1);
            text += number + d.duplex.at(i).toStdString() + "\n";
        }
        text.pop_back();
    }
    return console.data(text) ? kExitOk : kExitStreamFailed;
}

// ---- sources ----

int listSources(const Options &options, Console &console, StopSignals &stops)
{
    if (options.watch)
        return watchSources(options.json, console, stops);
    FinderSession session;
    if (const std::string problem = session.problem(); !problem.empty()) {
        Console::message(problem);
        return kExitNdiUnavailable;
    }
    std::vector<NdiSource> found =
        session.finder().listUntil(after(options.waitSeconds), [&] { return stops.received(); });
    std::sort(found.begin(), found.end(),
              [](const NdiSource &a, const NdiSource &b) { return a.name < b.name; });

    std::string text;
    if (options.json) {
        QJsonArray sources;
        for (const NdiSource &s : found)
            sources.append(
                QJsonObject{{QStringLiteral("name"), QString::fromStdString(s.name)},
                            {QStringLiteral("address"), QString::fromStdString(s.address)}});
        const QJsonObject root{
            {QStringLiteral("runtime"), QString::fromStdString(NdiRuntime::description())},
            {QStringLiteral("sources"), sources}};
        text = QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
        text.pop_back();
    } else {
        if (found.empty()) {
            Console::message("no NDI sources found within " + secondsText(options.waitSeconds)
                             + " s");
            return kExitOk;
        }
        size_t width = 0;
        for (const NdiSource &s : found)
            width = std::max(width, s.name.size());
        for (const NdiSource &s : found) {
            std::string name = s.name;
            name.resize(width, ' ');
            text += name + "  " + s.address + "\n";
        }
        text.pop_back();
    }
    return console.data(text) ? kExitOk : kExitStreamFailed;
}

// ---- send, play, duplex ----

Direction directionOf(Command command)
{
    switch (command) {
    case Command::Send:
        return Direction::Input;
    case Command::Play:
        return Direction::Output;
    default:
        return Direction::Duplex;
    }
}

// What the stream will be opened with, once the device has been chosen and checked.
struct StreamPlan {
    AudioDevice device;
    std::string engineDevice; // the device parameter for the engine entry
    unsigned rate = 0;
    int inputs = 0, outputs = 0; // channels the engine opens
};

unsigned defaultRate(const AudioDevice &device)
{
    const long long rate = std::llround(device.defaultRate);
    return rate >= Limits::kMinRate && rate <= Limits::kMaxRate ? static_cast<unsigned>(rate)
                                                                : 48000u;
}

// Checks the channel maps against the device and counts the channels the stream moves.
int planChannels(const Options &options, StreamPlan &plan)
{
    const struct {
        const ChannelMap &map;
        const std::string &option;
        int &channels;
    } sides[] = {{options.inputMap, options.inputMapOption, plan.inputs},
                 {options.outputMap, options.outputMapOption, plan.outputs}};
    for (const auto &side : sides) {
        if (side.map.empty())
            continue;
        if (const std::string error = side.map.checkDevice(side.channels, side.option);
            !error.empty()) {
            Console::message(error + " (see 'veltrin-cli devices')");
            return kExitUsage;
        }
        side.channels = static_cast<int>(side.map.routes.size());
    }
    return kExitOk;
}

// Chooses and checks the device; on failure says why and returns the exit status.
int planStream(const Options &options, Direction direction, StreamPlan &plan)
{
    const audio::PortAudioSession portAudio;
    if (!portAudio.ok()) {
        Console::message("the audio devices cannot be reached: " + portAudio.errorText());
        return kExitNoDevice;
    }
    const std::vector<AudioDevice> all = portAudio.devices();
    const DeviceChoice choice = chooseDevice(all, options.device, direction);
    if (!choice.device) {
        Console::message(choice.error);
        return kExitNoDevice;
    }
    plan.device = *choice.device;
    plan.engineDevice = engineDeviceParameter(all, plan.device, direction);
    if (plan.engineDevice.empty()) {
        Console::message(quoted(plan.device.name)
                         + " cannot be told apart from a device named like its number");
        return kExitNoDevice;
    }
    plan.rate = options.rate.value_or(defaultRate(plan.device));
    plan.inputs = direction == Direction::Output ? 0 : engineChannels(plan.device.inputs);
    plan.outputs = direction == Direction::Input ? 0 : engineChannels(plan.device.outputs);
    if (const int status = planChannels(options, plan); status != kExitOk)
        return status;
    const FormatCheck check = checkFormat(portAudio, plan.device, direction, plan.rate);
    if (check.code != kExitOk) {
        Console::message(check.error);
        return check.code;
    }
    return kExitOk;
}

// A source the user probably meant by `typed`: the same name in other letter case, or the
// source published under that name by some machine ("HOST (typed)"). Empty when none is.
std::string similarSource(const std::vector<NdiSource> &sources, const std::string &typed)
{
    const std::string published = " (" + typed + ")";
    for (const NdiSource &s : sources) {
        const bool endsWith =
            s.name.size() > published.size()
            && s.name.compare(s.name.size() - published.size(), published.size(), published) == 0;
        if (endsWith || strcasecmp(s.name.c_str(), typed.c_str()) == 0)
            return s.name;
    }
    return {};
}

// The full name receivers see for a sender named `name`. The built-in runtime's naming is
// known here; another runtime names it after its own idea of this machine.
std::string publishedName(const std::string &name)
{
    if (NdiRuntime::description().rfind("built-in", 0) == 0)
        return quoted(rt::sourceName(rt::DiscoveryConfig::load(), name));
    return quoted(name);
}

std::string runningLine(const Options &options, const StreamPlan &plan)
{
    const std::string device = quoted(plan.device.name);
    // The gains are shown only when they change something.
    const auto gain = [](const char *what, double db) {
        char text[48];
        std::snprintf(text, sizeof text, ", %s%+.1f dB", what, db);
        return db != 0.0 ? std::string(text) : std::string();
    };
    std::string format =
        std::to_string(plan.rate) + " Hz, " + std::to_string(options.frames) + " frames";
    if (options.command == Command::Send)
        format += gain("gain ", options.inputGainDb);
    else if (options.command == Command::Play)
        format += gain("gain ", options.outputGainDb);
    else
        format += gain("in gain ", options.inputGainDb) + gain("out gain ", options.outputGainDb);
    switch (options.command) {
    case Command::Send:
        return "sending " + device + " (" + plan.device.hostApi + ", " + std::to_string(plan.inputs)
               + " channels, " + format + ") as " + publishedName(options.name);
    case Command::Play:
        return "playing " + quoted(options.source) + " on " + device + " (" + plan.device.hostApi
               + ", " + std::to_string(plan.outputs) + " channels, " + format + ")";
    default:
        return "duplex on " + device + " (" + plan.device.hostApi + ", "
               + std::to_string(plan.inputs) + " in, " + std::to_string(plan.outputs) + " out, "
               + format + "): sending as " + publishedName(options.name) + ", playing "
               + quoted(options.source);
    }
}

std::unique_ptr<StreamRunner> startStream(const Options &o, const StreamPlan &plan)
{
    const std::string device = plan.engineDevice;
    const uint32_t frames = o.frames, rate = plan.rate;
    const float inGain = static_cast<float>(o.inputGainDb);
    const float outGain = static_cast<float>(o.outputGainDb);
    switch (o.command) {
    case Command::Send:
        return std::make_unique<StreamRunner>(
            [=] { return process_input(device, o.name, inGain, frames, rate, o.inputMap); },
            stopAudioInput);
    case Command::Play:
        return std::make_unique<StreamRunner>(
            [=] { return process_output(device, o.source, outGain, frames, rate, o.outputMap); },
            stopAudioOutput);
    default:
        return std::make_unique<StreamRunner>(
            [=] {
                return process_duplex(device, o.name, o.source, inGain, outGain, frames, rate,
                                      o.inputMap, o.outputMap);
            },
            stopAudioDuplex);
    }
}

// The engine's level taps of the directions the stream has, with their meters. Read on the
// command's thread; the taps are the engine's seqlocks, written by the audio threads, so a
// snapshot is always one whole block.
class StreamTaps
{
public:
    explicit StreamTaps(Direction direction)
    {
        if (direction != Direction::Output)
            m_taps.push_back({&input_aud, "in ", {}});
        if (direction != Direction::Input)
            m_taps.push_back({&output_aud, "out", {}});
    }

    // True once every direction has exchanged a block with the device.
    bool allFlowing()
    {
        return std::all_of(m_taps.begin(), m_taps.end(), [this](const Tap &t) {
            t.tap->snapshot(m_block);
            return m_block.frames > 0;
        });
    }

    void sample()
    {
        for (Tap &t : m_taps) {
            t.tap->snapshot(m_block);
            const int frames = std::min<int>(
                m_block.frames, m_block.channels > 0
                                    ? static_cast<int>(m_block.samples.size()) / m_block.channels
                                    : 0);
            t.meter.add(m_block.samples.data(), m_block.channels, frames);
        }
    }

    std::vector<std::string> takeLines()
    {
        std::vector<std::string> lines;
        for (Tap &t : m_taps)
            lines.push_back(t.meter.takeLine(t.label));
        return lines;
    }

private:
    struct Tap {
        const LevelTap *tap;
        std::string label;
        LevelMeter meter;
    };
    std::vector<Tap> m_taps;
    LevelTap::Block m_block;
};

// The engine's device xrun counter of the command's entry.
const std::atomic<uint64_t> &xrunsOf(Command command)
{
    return command == Command::Send   ? input_xruns
           : command == Command::Play ? output_xruns
                                      : duplex_xruns;
}

int runStream(const Options &options, Console &console, StopSignals &stops,
              SummarySignal &summaries)
{
    const Direction direction = directionOf(options.command);
    setJackClientName(options.jackName);
    if (audio::audioRoute().warning)
        Console::message(audio::audioRoute().note);
    StreamPlan plan;
    if (const int status = planStream(options, direction, plan); status != kExitOk)
        return status;
    if (stops.received())
        return kExitOk;

    // Declared before the stream so that they outlive it: the engine's senders and receivers
    // need the runtime until the stream has ended.
    NdiRuntime runtime;
    if (!runtime.ok()) {
        Console::message(runtimeUnavailable());
        return kExitNdiUnavailable;
    }
    const bool receives = direction != Direction::Input;
    std::optional<SourceFinder> finder;
    if (receives) {
        finder.emplace();
        if (!finder->ok()) {
            Console::message(finderUnavailable());
            return kExitNdiUnavailable;
        }
        const bool found = finder->waitFor(options.source, after(options.waitSeconds),
                                           [&] { return stops.received(); });
        if (stops.received())
            return kExitOk;
        if (!found) {
            const std::string near = similarSource(finder->sources(), options.source);
            Console::message("no NDI source named " + quoted(options.source) + " appeared within "
                             + secondsText(options.waitSeconds) + " s "
                             + (near.empty() ? "(see 'veltrin-cli sources')"
                                             : "(did you mean " + quoted(near) + "?)"));
            return kExitNoSource;
        }
    }

    const std::unique_ptr<StreamRunner> runner = startStream(options, plan);
    const StreamHealth &health = direction == Direction::Input    ? inputHealth
                                 : direction == Direction::Output ? outputHealth
                                                                  : duplexHealth;
    bool deviceLost = false;
    StatsReport report(xrunsOf(options.command), options.stats, options.statsJson, console,
                       summaries);
    StreamTaps taps(direction);
    bool announced = false;
    bool sourcePresent = true;
    auto nextMeter = Clock::now() + kMeterPeriod;
    auto nextSourceCheck = Clock::now() + kSourceCheckPeriod;
    while (!stops.wait(options.meter ? kMeterPoll : kIdlePoll)) {
        if (runner->finished())
            break;
        // The engine itself reports the loss and the return on standard error.
        if (options.exitOnLoss && health.lost.load()) {
            deviceLost = true;
            break;
        }
        if (!announced && taps.allFlowing()) {
            announced = true;
            Console::message(runningLine(options, plan));
            nextMeter = Clock::now() + kMeterPeriod;
        }
        const auto now = Clock::now();
        if (options.meter && announced) {
            taps.sample();
            if (now >= nextMeter) {
                // One line a second; after a stall, start the count again rather than catch up.
                nextMeter = std::max(nextMeter + kMeterPeriod, now);
                bool written = true;
                for (const std::string &line : taps.takeLines())
                    written = written && console.data(line);
                if (!written)
                    break; // nobody reads the meters any more: stop as for a signal
            }
        }
        if (announced && !report.poll())
            break;
        if (finder && now >= nextSourceCheck) {
            nextSourceCheck = now + kSourceCheckPeriod;
            const bool present = finder->has(options.source);
            if (present != sourcePresent)
                Console::message(present ? "the source " + quoted(options.source) + " is back"
                                         : "the source " + quoted(options.source)
                                               + " is gone; playing silence until it returns");
            sourcePresent = present;
        }
    }

    if (!runner->stop(kStopTimeout)) {
        Console::message("the stream did not stop within "
                         + secondsText(kStopTimeout.count() / 1000.0) + " s");
        std::fflush(nullptr);
        // The stream's thread is stuck inside the engine: leave without unwinding under it.
        std::_Exit(kExitStreamFailed);
    }
    // Only a stop request makes an entry return 1: anything else is a stream that did not start.
    if (runner->result() != 1) {
        Console::message("the stream on " + quoted(plan.device.name)
                         + " could not start (the engine's message is above)");
        return kExitStreamFailed;
    }
    report.finish();
    if (deviceLost) {
        Console::message("stopped: the device went away (--exit-on-loss)");
        return kExitDeviceLost;
    }
    Console::message("stopped");
    return kExitOk;
}

} // namespace

int run(const std::vector<std::string> &arguments)
{
    // Before any thread exists, so that every thread inherits the blocked stop signals.
    StopSignals stops;
    SummarySignal summaries;
    const ParseResult parsed = parseArguments(arguments);
    if (!parsed.options) {
        Console::message(parsed.error);
        return kExitUsage;
    }
    const Options &options = *parsed.options;
    switch (options.command) {
    case Command::Help:
        std::fputs(helpText().c_str(), stdout);
        return kExitOk;
    case Command::Version: {
        // The loader names its choice on file descriptor 1, which the console turns aside.
        Console console(false);
        const bool written = console.data(std::string("veltrin-cli ") + VELTRIN_VERSION)
                             && console.data("NDI runtime " + ndi::runtimeVersionText());
        return written ? kExitOk : kExitStreamFailed;
    }
    default:
        break;
    }

    Console console(options.verbose);
    switch (options.command) {
    case Command::Devices:
        return listDevices(options, console);
    case Command::Sources:
        return listSources(options, console, stops);
    default:
        return runStream(options, console, stops, summaries);
    }
}

} // namespace veltrin::cli
