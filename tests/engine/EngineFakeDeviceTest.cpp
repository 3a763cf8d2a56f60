// The engine against device tables and faults that no real audio server produces: which device
// an entry opens, failures and the order things are released in, the audio each entry moves
// (gains, layouts, channel maps, meters, xruns), and a device that goes away and comes back.
#include "CallLog.h"
#include "DeviceLookup.h"
#include "EngineTestSupport.h"
#include "FakePortAudio.h"
#include "NdiRecorder.h"
#include "PortAudioSession.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <tuple>

using enginetest::RunningEntry;
using enginetest::waitFor;

namespace {

enum class Entry { Input, Output, Duplex };

// Two host APIs; inputs at 0, 2, 3, 5; outputs at 1, 2, 3, 4; duplex at 2 and 3.
fakepa::Table studioTable()
{
    fakepa::Table t;
    t.hostApis = {{"ALSA", 0, 1}, {"JACK Audio Connection Kit", 2, 3}};
    using fakepa::device;
    t.devices = {device("HDA Intel: Mic", 0, 2, 0), device("HDA Intel: Speakers", 0, 0, 2),
                 device("USB Interface", 1, 8, 8),  device("Console", 1, 4, 6),
                 device("HDMI", 0, 0, 8),           device("Line In", 0, 2, 0)};
    t.defaultInputDevice = 0;
    t.defaultOutputDevice = 1;
    return t;
}

// The same studio with device 2 as the default of both directions everywhere.
fakepa::Table sharedDefaultTable()
{
    fakepa::Table t = studioTable();
    t.defaultInputDevice = t.defaultOutputDevice = 2;
    for (fakepa::HostApi &api : t.hostApis)
        api.defaultInputDevice = api.defaultOutputDevice = 2;
    return t;
}

struct Outcome {
    int result = -1;
    std::string printed;
    std::vector<fakepa::OpenedStream> streams;
};

// Runs one entry on the table until it streams (or returns), runs `whileRunning`, stops it and
// reports what happened.
Outcome run(Entry entry, const std::string &deviceParam, float gainDb = 0.0f, uint32_t frames = 256,
            const std::function<void()> &whileRunning = {}, const ChannelMap &inMap = {},
            const ChannelMap &outMap = {})
{
    Outcome o;
    testing::internal::CaptureStdout();
    {
        RunningEntry running([&] {
            switch (entry) {
            case Entry::Input:
                return process_input(deviceParam, "Studio A", gainDb, frames, 48000, inMap);
            case Entry::Output:
                return process_output(deviceParam, "HOST (Studio B)", gainDb, frames, 48000,
                                      outMap);
            case Entry::Duplex:
                return process_duplex(deviceParam, "Studio A", "HOST (Studio B)", gainDb, gainDb,
                                      frames, 48000, inMap, outMap);
            }
            return -1;
        });
        EXPECT_TRUE(
            waitFor([&] { return running.returned(0) || fakepa::counters().callbacks >= 4; }));
        if (!running.returned(0) && whileRunning)
            whileRunning();
        // Repeated: a request made before the entry has cleared its flag (a slow start) is lost.
        const auto stop = entry == Entry::Input    ? stopAudioInput
                          : entry == Entry::Output ? stopAudioOutput
                                                   : stopAudioDuplex;
        for (int i = 0; i < 100; ++i) {
            stop();
            if (running.returned(100))
                break;
        }
        EXPECT_TRUE(running.returned(0));
        o.result = running.result();
    }
    o.printed = testing::internal::GetCapturedStdout();
    o.streams = fakepa::openedStreams();
    return o;
}

class EngineFake : public ::testing::Test
{
protected:
    void SetUp() override { ndirec::reset(); }
    // After any run, PortAudio is terminated and no NDI object is left.
    static void expectReleased()
    {
        EXPECT_EQ(fakepa::initializeDepth(), 0);
        const ndirec::Counts n = ndirec::counts();
        EXPECT_EQ(n.sendersCreated, n.sendersDestroyed);
        EXPECT_EQ(n.receiversCreated, n.receiversDestroyed);
        EXPECT_EQ(n.framesyncsCreated, n.framesyncsDestroyed);
    }
};

// The lookup: by name (any letter case, any direction), by 1-based ordinal among the devices of
// its direction (strtol rules), else the lowest device that is a default of PortAudio or of its
// host API; duplex only when both defaults are one device.
TEST_F(EngineFake, DeviceParameterChoosesByNameOrdinalOrDefault)
{
    const auto studio = [](fakepa::Table &) {};
    const auto shared = [](fakepa::Table &t) { t = sharedDefaultTable(); };
    const auto apiDefault = [](fakepa::Table &t) {
        t.defaultInputDevice = t.hostApis[0].defaultInputDevice = 5;
        t.hostApis[1].defaultInputDevice = 2; // device 2 belongs to host API 1
    };
    const auto duplexZero = [](fakepa::Table &t) { t.devices[0].maxOutputChannels = 2; };
    const auto duplexZeroDefault = [](fakepa::Table &t) {
        t.devices[0].maxOutputChannels = 2;
        t.defaultOutputDevice = 0;
    };
    const struct {
        DeviceDirection direction;
        std::string param;
        std::function<void(fakepa::Table &)> table;
        int expected; // device index; -1: none
    } cases[] = {
        {DeviceDirection::Input, "usb interface", studio, 2},
        {DeviceDirection::Input, "2", studio, 2},       // the second device with inputs
        {DeviceDirection::Input, "  +4xyz", studio, 5}, // strtol: blanks, sign, trailing text
        {DeviceDirection::Input, "0", studio, 0},
        {DeviceDirection::Input, "", studio, 0},
        {DeviceDirection::Input, "Studio Mic", studio, 0}, // no such name, not a number
        {DeviceDirection::Input, "7", studio, 0},          // more than all devices
        {DeviceDirection::Input, "5", studio, 0},          // within all devices, beyond the inputs
        {DeviceDirection::Input, "-1", studio, 0},
        {DeviceDirection::Input, "hda intel: speakers", studio, 1}, // a name wins
        {DeviceDirection::Input, "", apiDefault, 2},
        {DeviceDirection::Output, "3", studio, 3}, // the third device with outputs
        {DeviceDirection::Output, "HDMI", studio, 4},
        {DeviceDirection::Output, "", studio, 1},
        {DeviceDirection::Duplex, "2", shared, 3}, // the second device with both directions
        {DeviceDirection::Duplex, "CONSOLE", shared, 3},
        {DeviceDirection::Duplex, "", duplexZero, -1}, // default input 0, default output 1
        {DeviceDirection::Duplex, "", duplexZeroDefault, 0},
    };
    for (const auto &c : cases) {
        fakepa::Table t = studioTable();
        c.table(t);
        fakepa::setTable(t);
        const veltrin::audio::PortAudioSession session;
        EXPECT_EQ(findDevice(session, c.param, session.deviceCount(), c.direction), c.expected)
            << "'" << c.param << "'";
    }
}

// The lifecycle calls of the PortAudio and NDI doubles since the last call, in the order the
// engine made them, in short: init term open start stop sleep, and +send -send +recv -recv
// +sync -sync for the NDI objects made and destroyed.
std::string takeCalls()
{
    static const std::map<std::string, std::string> shortName = {
        {"Pa_Initialize", "init"},
        {"Pa_Terminate", "term"},
        {"Pa_OpenStream", "open"},
        {"Pa_StartStream", "start"},
        {"Pa_StopStream", "stop"},
        {"Pa_Sleep", "sleep"},
        {"NDIlib_send_create", "+send"},
        {"NDIlib_send_destroy", "-send"},
        {"NDIlib_recv_create_v3", "+recv"},
        {"NDIlib_recv_destroy", "-recv"},
        {"NDIlib_framesync_create", "+sync"},
        {"NDIlib_framesync_destroy", "-sync"}};
    std::string calls;
    for (const std::string &call : calllog::take()) {
        const auto it = shortName.find(call);
        calls += (calls.empty() ? "" : " ") + (it != shortName.end() ? it->second : call);
    }
    return calls;
}

// Every failure while starting prints its message and releases what was made, in a fixed order:
// the one-way capture side and the duplex records after PortAudio terminates, the one-way
// receiving side before it. An orderly stop stops the stream and terminates PortAudio before
// any NDI object goes, so no callback runs on a released record.
TEST_F(EngineFake, StartsAndStopsPrintAndReleaseInOrder)
{
    using Fault = std::function<void(fakepa::Table &)>;
    const Fault none = [](fakepa::Table &) {};
    const Fault initialize = [](fakepa::Table &t) { t.initializeError = paInternalError; };
    const Fault noDevices = [](fakepa::Table &t) { t.devices.clear(); };
    const Fault negativeCount = [](fakepa::Table &t) {
        t.overrideDeviceCount = true;
        t.deviceCount = -1;
    };
    const auto open = [](PaError e) { return [e](fakepa::Table &t) { t.openStreamError = e; }; };
    const auto start = [](PaError e) { return [e](fakepa::Table &t) { t.startStreamError = e; }; };
    const Fault format = [](fakepa::Table &t) {
        t.isFormatSupported = [](const PaStreamParameters *, const PaStreamParameters *, double) {
            return paInvalidSampleRate;
        };
    };
    enum NdiFault { NoNdiFault, NoSender, NoReceiver, NoFramesync };
    const std::string initText = "ERROR : Unable to initialize audio devices.\n",
                      openRate = "Unable to open stream.\nPortAudio error: Invalid sample rate\n",
                      busy = "stream.\nPortAudio error: Device unavailable\n",
                      noSync = "ERROR : Unable to create the NDI frame synchroniser.\n",
                      noSender = "ERROR : Unable to create the NDI sender.\n",
                      latencies = "SampleRate: 48000.000000  In Latency: 0.005000 Out Latency: "
                                  "0.005000\n";
    const struct {
        Entry entry;
        Fault fault;
        NdiFault ndiFault;
        int result;
        std::string printed, calls;
    } cases[] = {
        {Entry::Input, initialize, NoNdiFault, 0, initText, "init"},
        {Entry::Duplex, initialize, NoNdiFault, 0, initText, "init"},
        {Entry::Input, negativeCount, NoNdiFault, 0,
         "ERROR : Unable to get audio devices.\nERROR : Unable to find audio input devices.\n",
         "init term"},
        {Entry::Output, noDevices, NoNdiFault, 0, "", "init term"},
        {Entry::Duplex, noDevices, NoNdiFault, 0,
         "ERROR : Unable to find duplex mode supported audio devices.\n", "init term"},
        {Entry::Input, open(paInvalidSampleRate), NoNdiFault, 0, openRate,
         "init +send open term -send"},
        {Entry::Input, start(paDeviceUnavailable), NoNdiFault, 0, "Unable to start " + busy,
         "init +send open start term -send"},
        {Entry::Output, open(paDeviceUnavailable), NoNdiFault, 0, "Unable to open " + busy,
         "init +recv +sync open -sync -recv term"},
        {Entry::Output, start(paDeviceUnavailable), NoNdiFault, 0, "Unable to start " + busy,
         "init +recv +sync open start -sync -recv term"},
        {Entry::Duplex, open(paInvalidSampleRate), NoNdiFault, 0, openRate,
         "init +recv +sync +send open term -send -sync -recv"},
        {Entry::Duplex, start(paInsufficientMemory), NoNdiFault, 0,
         "Unable to start stream.\nPortAudio error: Insufficient memory\n",
         "init +recv +sync +send open start term -send -sync -recv"},
        {Entry::Duplex, format, NoNdiFault, 0, "48000 Format Is not Supported \n",
         "init +recv +sync +send open start term -send -sync -recv"},
        {Entry::Input, none, NoSender, 0, noSender, "init +send term"},
        {Entry::Output, none, NoReceiver, 0, "ERROR : Unable to create the NDI receiver.\n",
         "init +recv term"},
        {Entry::Output, none, NoFramesync, 0, noSync, "init +recv +sync -recv term"},
        {Entry::Duplex, none, NoSender, 0, noSender, "init +recv +sync +send term -sync -recv"},
        {Entry::Input, none, NoNdiFault, 1, "", "init +send open start stop term -send"},
        {Entry::Output, none, NoNdiFault, 1, "",
         "init +recv +sync open start stop term -sync -recv"},
        {Entry::Duplex, none, NoNdiFault, 1,
         "48000 Format Is Supported \nDefault Device:  \n              " + latencies
             + "Stream Info:  \n            " + latencies,
         "init +recv +sync +send open start sleep stop term -send -sync -recv"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.printed);
        fakepa::Table t = sharedDefaultTable();
        c.fault(t);
        fakepa::setTable(t);
        ndirec::reset();
        ndirec::setFailCreate(c.ndiFault == NoSender, c.ndiFault == NoReceiver,
                              c.ndiFault == NoFramesync);
        calllog::take();
        const Outcome o = run(c.entry, "");
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.printed, c.printed);
        EXPECT_EQ(takeCalls(), c.calls);
        // The duplex format is checked with the stream already started (a callback may have
        // run); every other failure comes before the start.
        if (c.result == 0 && c.printed.find("Format Is not") == std::string::npos) {
            EXPECT_EQ(fakepa::counters().callbacks.load(), 0);
        }
        expectReleased();
    }
}

TEST_F(EngineFake, ProbesOnAnotherThreadNeverOverlapAnEntrysPortAudioCalls)
{
    fakepa::Table t = sharedDefaultTable();
    t.callMicroseconds = 100;
    const PaStreamParameters input = veltrin::audio::streamParameters(2, 8, 0.0);
    for (Entry entry : {Entry::Input, Entry::Output, Entry::Duplex}) {
        fakepa::setTable(t);
        std::atomic<bool> probing{true};
        std::atomic<int> probes{0};
        std::thread prober([&] {
            for (; probing; ++probes) {
                veltrin::audio::PortAudioSession portAudio;
                EXPECT_EQ(portAudio.isFormatSupported(&input, nullptr, 48000.0),
                          paFormatIsSupported);
                // A pause between probes, as between a user's clicks, leaves the entry room.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        // A quick machine may finish an entry between two probes: run it until the prober has
        // made at least five.
        for (int runs = 0; runs < 200 && probes.load() < 5; ++runs)
            EXPECT_EQ(run(entry, "").result, 1);
        probing = false;
        prober.join();
        EXPECT_EQ(fakepa::counters().overlapping.load(), 0);
        expectReleased();
    }
}

// The audio each entry moves, checked against the signals fed in: captured blocks sent as they
// came (planar, times the gain, at most 64 channels), pulled blocks played (interleaved, times
// the gain), a duplex call doing both; a map opens the device with the channels it needs and
// moves only those, the other outputs silent. The input meter shows a block before the gain,
// the output meter one after it; flagged callbacks count as xruns of the entry.
TEST_F(EngineFake, EntriesMoveTheirAudioTimesTheGainThroughTheirMaps)
{
    const auto input = [](long long f, int c) { return float(f % 1000) + 1000.0f * c; };
    const auto source = [](long long f, int c) { return -float(f % 500) - 1000.0f * c; };
    const auto map = [](const std::string &text) {
        ChannelMap m;
        const std::string error = text.empty() ? ""
                                  : text.find(':') == std::string::npos
                                      ? ChannelMap::parseList(text, "-c", m)
                                      : ChannelMap::parsePairs(text, "-m", m);
        EXPECT_EQ(error, "");
        return m;
    };
    const struct {
        Entry entry;
        std::string device, inMap, outMap;
        float gainDb;
        uint32_t frames;
        int inputs, outputs; // channels opened
    } cases[] = {
        {Entry::Input, "USB Interface", "", "", -20.0f, 0, 64, 0}, // 128 inputs, block sizes vary
        {Entry::Output, "HDMI", "", "", -6.0f, 256, 0, 8},
        {Entry::Duplex, "Console", "", "", -6.0f, 128, 4, 6},
        {Entry::Input, "USB Interface", "3,1", "", 0.0f, 256, 3, 0},
        {Entry::Output, "HDMI", "", "1:4,2:2", 0.0f, 256, 0, 4},
        {Entry::Duplex, "Console", "2", "2:1", 0.0f, 256, 2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.device + " " + c.inMap + " " + c.outMap);
        fakepa::Table t = studioTable();
        t.devices[2].maxInputChannels = 128;
        t.devices[2].defaultLowInputLatency = 0.0031;
        t.variableBlockSizes = {64, 512, 100, 2048};
        t.inputSignal = input;
        t.callbackFlags = [](long long call) {
            return call % 2 == 0 ? paInputOverflow | paOutputUnderflow : 0;
        };
        fakepa::setTable(t);
        ndirec::reset();
        ndirec::setFramesyncSignal(source);
        const ChannelMap inMap = map(c.inMap), outMap = map(c.outMap);
        std::atomic<uint64_t> &xruns = c.entry == Entry::Input    ? input_xruns
                                       : c.entry == Entry::Output ? output_xruns
                                                                  : duplex_xruns;
        const uint64_t xrunsBefore = xruns.load();
        LevelTap::Block in, out;
        const Outcome o = run(
            c.entry, c.device, c.gainDb, c.frames,
            [&] {
                input_aud.snapshot(in);
                output_aud.snapshot(out);
            },
            inMap, outMap);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(xruns.load() - xrunsBefore, uint64_t(fakepa::counters().callbacks + 1) / 2);
        ASSERT_EQ(o.streams.size(), 1u);
        const fakepa::OpenedStream &s = o.streams[0];
        EXPECT_EQ(std::make_tuple(s.input.channelCount, s.output.channelCount, s.framesPerBuffer,
                                  s.flags, s.callback),
                  std::make_tuple(c.inputs, c.outputs, static_cast<unsigned long>(c.frames),
                                  c.entry == Entry::Duplex ? paDitherOff : paNoFlag, true));
        const float gain = static_cast<float>(db_to_ratio(c.gainDb));

        const auto sent = ndirec::sentFrames();
        EXPECT_TRUE(c.inputs == 0 ? sent.empty() : sent.size() >= 3);
        long long frame = 0;
        for (size_t k = 0; k < sent.size(); ++k) {
            const ndirec::SentFrame &f = sent[k];
            const int n = c.frames ? int(c.frames) : int(t.variableBlockSizes[k % 4]);
            const int channels = inMap.empty() ? c.inputs : inMap.streamChannels();
            ASSERT_EQ(std::tie(f.sender, f.channels, f.samples, f.sampleRate, f.timecode,
                               f.channelStrideBytes),
                      std::make_tuple("Studio A", channels, n, 48000, INT64_MAX, n * 4));
            for (int ch = 0; ch < channels; ++ch)
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(f.planar[size_t(ch * n + i)],
                              input(frame + i, inMap.empty() ? ch : inMap.routes[size_t(ch)].device)
                                  * gain);
            frame += n;
        }
        const auto played = fakepa::playedSamples();
        EXPECT_TRUE(c.outputs == 0 ? played.empty()
                                   : played.size() >= 3u * c.frames * size_t(c.outputs));
        for (size_t i = 0; i < played.size(); ++i) {
            const int d = int(i % size_t(c.outputs));
            int from = outMap.empty() ? d : -1;
            for (const ChannelRoute &r : outMap.routes)
                from = r.device == d ? r.stream : from;
            ASSERT_EQ(played[i],
                      from < 0 ? 0.0f : source(static_cast<long long>(i) / c.outputs, from) * gain)
                << i;
        }
        if (c.inputs > 0) {
            ASSERT_EQ(in.channels, c.inputs);
            EXPECT_FLOAT_EQ(in.samples[1] - in.samples[0], 1000.0f);
        }
        if (c.outputs > 1 && outMap.empty()) {
            ASSERT_EQ(out.channels, c.outputs);
            EXPECT_FLOAT_EQ(out.samples[1] - out.samples[0], -1000.0f * gain);
        }
        expectReleased();
    }
    const auto senders = ndirec::senderSettings();
    ASSERT_EQ(senders.size(), 1u);
    EXPECT_EQ(
        std::tie(senders[0].name, senders[0].groups, senders[0].clockVideo, senders[0].clockAudio),
        std::make_tuple("Studio A", "", true, true));
    const auto receivers = ndirec::receiverSettings();
    ASSERT_EQ(receivers.size(), 1u);
    const ndirec::ReceiverSettings &r = receivers[0];
    EXPECT_EQ(std::tie(r.source, r.url, r.colorFormat, r.bandwidth, r.allowVideoFields),
              std::make_tuple("HOST (Studio B)", "", 1, 10, true));
    for (const auto &q : ndirec::captureRequests())
        ASSERT_EQ(std::tie(q.sampleRate, q.channels, q.samples), std::make_tuple(48000, 2, 256));

    const Outcome refused = run(Entry::Output, "HDMI", 0.0f, 256, {}, {}, map("1:9"));
    EXPECT_EQ(refused.result, 0);
    EXPECT_NE(refused.printed.find("device channel 9, but the device has 8 channels"),
              std::string::npos);
}

StreamHealth &healthOf(Entry entry)
{
    return entry == Entry::Input    ? inputHealth
           : entry == Entry::Output ? outputHealth
                                    : duplexHealth;
}

size_t occurrences(const std::string &text, const std::string &line)
{
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++n;
    return n;
}

// A stop asked before an entry starts is lost. A device that goes away mid-stream, whether its
// host stops the stream or (output here) it merely stops calling back, is reported once; the
// NDI side keeps its pace (silence sent, the receiver pulled) with the same sender and
// receiver; the device is reopened by name once it is listed again. Switched off while its
// device is away, a stream ends in order and waits for no device.
TEST_F(EngineFake, ADeviceThatGoesAwayIsReportedOnceAndReopenedWhenBack)
{
    const std::string away = "device \"USB Interface\" went away; waiting for it to return\n";
    const std::string back = "device \"USB Interface\" is back\n";
    for (Entry entry : {Entry::Input, Entry::Output, Entry::Duplex}) {
        SCOPED_TRACE(static_cast<int>(entry));
        fakepa::Table t = studioTable();
        t.inputSignal = [](long long, int) { return 0.5f; };
        fakepa::setTable(t);
        ndirec::reset();
        StreamHealth &health = healthOf(entry);
        stopAudioInput();
        stopAudioOutput();
        stopAudioDuplex();
        const Outcome o = run(entry, "USB Interface", 0.0f, 256, [&] {
            fakepa::unplug("USB Interface", entry == Entry::Output);
            ASSERT_TRUE(waitFor([&] { return health.lost.load(); }, 3000));
            LevelTap::Block meter;
            (entry == Entry::Output ? output_aud : input_aud).snapshot(meter);
            EXPECT_EQ(meter.frames, 0);
            // Away for longer than a reopen period: the NDI side keeps going meanwhile.
            const size_t sent = ndirec::sentFrameCount();
            const size_t pulled = ndirec::captureRequests().size();
            std::this_thread::sleep_for(std::chrono::milliseconds(1300));
            EXPECT_TRUE(health.lost.load());
            if (entry != Entry::Output) {
                EXPECT_GT(ndirec::sentFrameCount(), sent + 100);
                const std::vector<ndirec::SentFrame> frames = ndirec::sentFrames();
                for (float v : frames.back().planar)
                    ASSERT_EQ(v, 0.0f);
            }
            if (entry != Entry::Input) {
                EXPECT_GT(ndirec::captureRequests().size(), pulled + 100);
            }
            const int callbacks = fakepa::counters().callbacks.load();
            fakepa::plugIn("USB Interface");
            EXPECT_TRUE(waitFor([&] { return !health.lost.load(); }, 2500));
            EXPECT_TRUE(waitFor([&] { return fakepa::counters().callbacks > callbacks + 10; }));
            if (entry != Entry::Output) {
                EXPECT_EQ(ndirec::sentFrames().back().planar.front(), 0.5f);
            }
            fakepa::unplug("USB Interface");
            EXPECT_TRUE(waitFor([&] { return health.lost.load(); }, 3000));
        });
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(occurrences(o.printed, away), 2u) << o.printed;
        EXPECT_EQ(occurrences(o.printed, back), 1u) << o.printed;
        EXPECT_EQ(std::make_tuple(health.losses.load(), health.returns.load()),
                  std::make_tuple(2u, 1u));
        EXPECT_FALSE(health.lost.load());
        const ndirec::Counts n = ndirec::counts();
        EXPECT_LE(std::max(n.sendersCreated, n.receiversCreated), 1);
        expectReleased();
    }
}

// A stop that the device never lets return is given up after the bound: the entry returns, the
// NDI objects go, and the stop function never waits for the device meanwhile.
TEST_F(EngineFake, AStopTheDeviceNeverAnswersIsGivenUp)
{
    fakepa::setTable(studioTable());
    fakepa::holdStops(true);
    const auto started = std::chrono::steady_clock::now();
    const Outcome o = run(Entry::Input, "USB Interface", 0.0f, 256, [&] {
        stopAudioInput();
        auto asked = std::async(std::launch::async, [&] {
            for (int i = 0; i < 50; ++i)
                stopAudioInput();
        });
        EXPECT_EQ(asked.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    });
    EXPECT_EQ(o.result, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, kStopBound + std::chrono::seconds(5));
    EXPECT_NE(o.printed.find("did not stop within 1500 ms; its stream was given up"),
              std::string::npos)
        << o.printed;
    EXPECT_EQ(inputHealth.abandoned.load(), 1u);
    const ndirec::Counts n = ndirec::counts();
    EXPECT_EQ(n.sendersCreated, n.sendersDestroyed);
    // Let the given-up stop return, so that PortAudio ends before the process does.
    fakepa::holdStops(false);
    EXPECT_TRUE(waitFor([] { return fakepa::initializeDepth() == 0; }));
}

} // namespace
