// The engine against device tables and faults that no real audio server produces: lookup rules,
// channel clamping, failure messages and clean-up, gains and block layouts, and repeated runs.
#include "CallLog.h"
#include "DeviceLookup.h"
#include "EngineTestSupport.h"
#include "FakePortAudio.h"
#include "NdiRecorder.h"
#include "PortAudioSession.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
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

struct Outcome {
    int result = -1;
    std::string printed;
    std::vector<fakepa::OpenedStream> streams;
};

// Runs one entry on the table until it streams (or returns), stops it and reports what happened.
Outcome run(Entry entry, const std::string &deviceParam, float gainDb = 0.0f, uint32_t frames = 256,
            uint32_t rate = 48000, const std::function<void()> &whileRunning = {},
            const ChannelMap &inMap = {}, const ChannelMap &outMap = {})
{
    Outcome o;
    testing::internal::CaptureStdout();
    {
        RunningEntry running([&] {
            switch (entry) {
            case Entry::Input:
                return process_input(deviceParam, "Studio A", gainDb, frames, rate, inMap);
            case Entry::Output:
                return process_output(deviceParam, "HOST (Studio B)", gainDb, frames, rate, outMap);
            case Entry::Duplex:
                return process_duplex(deviceParam, "Studio A", "HOST (Studio B)", gainDb, gainDb,
                                      frames, rate, inMap, outMap);
            }
            return -1;
        });
        auto &c = fakepa::counters();
        const bool streaming =
            waitFor([&] { return running.returned(0) || c.callbacks >= 4 || c.writes >= 4; });
        EXPECT_TRUE(streaming);
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

// The same studio with device 2 as the default of both directions everywhere.
fakepa::Table sharedDefaultTable()
{
    fakepa::Table t = studioTable();
    t.defaultInputDevice = t.defaultOutputDevice = 2;
    for (fakepa::HostApi &api : t.hostApis)
        api.defaultInputDevice = api.defaultOutputDevice = 2;
    return t;
}

class EngineFake : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakepa::setTable(studioTable());
        ndirec::reset();
    }
    // After any run, PortAudio is terminated and no NDI object is left.
    void expectReleased()
    {
        EXPECT_EQ(fakepa::initializeDepth(), 0);
        const ndirec::Counts n = ndirec::counts();
        EXPECT_EQ(n.sendersCreated, n.sendersDestroyed);
        EXPECT_EQ(n.receiversCreated, n.receiversDestroyed);
        EXPECT_EQ(n.framesyncsCreated, n.framesyncsDestroyed);
    }
};

// Which device each entry opens, as a table of the lookup: by name (any letter case, any
// direction), by 1-based ordinal among the devices of its direction (strtol rules), else the
// lowest device that is a default of PortAudio or of its host API; duplex only when both
// defaults are one device.
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
    struct Case {
        Entry entry;
        std::string param;
        std::function<void(fakepa::Table &)> table;
        int expected; // device index opened; -1: none (the entry fails)
    };
    const Case cases[] = {
        {Entry::Input, "usb interface", studio, 2},
        {Entry::Input, "2", studio, 2},       // the second device with inputs
        {Entry::Input, "  +4xyz", studio, 5}, // strtol: blanks, sign, trailing text
        {Entry::Input, "0", studio, 0},
        {Entry::Input, "", studio, 0},
        {Entry::Input, "Studio Mic", studio, 0}, // no such name, not a number
        {Entry::Input, "7", studio, 0},          // more than all devices
        {Entry::Input, "5", studio, 0},          // within all devices, beyond the 4 inputs
        {Entry::Input, "-1", studio, 0},
        {Entry::Input, "hda intel: speakers", studio, 1}, // a name wins over the direction
        {Entry::Input, "", apiDefault, 2},
        {Entry::Output, "3", studio, 3}, // the third device with outputs
        {Entry::Output, "HDMI", studio, 4},
        {Entry::Output, "", studio, 1},
        {Entry::Duplex, "2", shared, 3}, // the second device with both directions
        {Entry::Duplex, "CONSOLE", shared, 3},
        {Entry::Duplex, "", duplexZero, -1}, // default input 0, default output 1
        {Entry::Duplex, "", duplexZeroDefault, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("device parameter '" + c.param + "'");
        fakepa::Table t = studioTable();
        c.table(t);
        fakepa::setTable(t);
        const veltrin::audio::PortAudioSession session;
        const DeviceDirection direction = c.entry == Entry::Input    ? DeviceDirection::Input
                                          : c.entry == Entry::Output ? DeviceDirection::Output
                                                                     : DeviceDirection::Duplex;
        EXPECT_EQ(findDevice(session, c.param, session.deviceCount(), direction), c.expected);
    }
    // An entry opens what the lookup chose, and says so when it chose nothing.
    fakepa::setTable(sharedDefaultTable());
    Outcome o = run(Entry::Duplex, "console");
    ASSERT_EQ(o.streams.size(), 1u);
    EXPECT_EQ(o.streams[0].input.device, 3);
    EXPECT_EQ(o.streams[0].output.device, 3);
    fakepa::Table t = studioTable();
    t.devices[0].maxOutputChannels = 2;
    fakepa::setTable(t);
    o = run(Entry::Duplex, "");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.printed, "ERROR : Unable to find duplex mode supported audio devices.\n");
    EXPECT_TRUE(o.streams.empty());
    expectReleased();
}

TEST_F(EngineFake, StreamParametersClampChannelsTo64AndUseTheLowLatencies)
{
    fakepa::Table t = sharedDefaultTable();
    t.devices[2].maxInputChannels = 128;
    t.devices[2].maxOutputChannels = 80;
    t.devices[2].defaultLowInputLatency = 0.0031;
    t.devices[2].defaultLowOutputLatency = 0.0047;
    fakepa::setTable(t);

    Outcome o = run(Entry::Input, "USB Interface", 0.0f, 128, 96000);
    ASSERT_EQ(o.streams.size(), 1u);
    const fakepa::OpenedStream &in = o.streams[0];
    EXPECT_EQ(in.input.channelCount, 64);
    EXPECT_EQ(in.input.sampleFormat, paFloat32);
    EXPECT_DOUBLE_EQ(in.input.suggestedLatency, 0.0031);
    EXPECT_FALSE(in.hasOutput);
    EXPECT_TRUE(in.callback);
    EXPECT_EQ(in.flags, paNoFlag);
    EXPECT_DOUBLE_EQ(in.sampleRate, 96000.0);
    EXPECT_EQ(in.framesPerBuffer, 128u);

    fakepa::setTable(t);
    o = run(Entry::Duplex, "");
    ASSERT_EQ(o.streams.size(), 1u);
    EXPECT_EQ(o.streams[0].input.channelCount, 64);
    EXPECT_EQ(o.streams[0].output.channelCount, 64);
    EXPECT_DOUBLE_EQ(o.streams[0].output.suggestedLatency, 0.0047);
    EXPECT_EQ(o.streams[0].flags, paDitherOff);
    EXPECT_TRUE(o.streams[0].callback);
}

// The lifecycle calls of the PortAudio and NDI doubles, in the order the engine makes them.
using Calls = std::vector<std::string>;
const std::string kInit = "Pa_Initialize", kTerm = "Pa_Terminate", kOpen = "Pa_OpenStream",
                  kStart = "Pa_StartStream", kStop = "Pa_StopStream", kSleep = "Pa_Sleep",
                  kSendNew = "NDIlib_send_create", kSendEnd = "NDIlib_send_destroy",
                  kRecvNew = "NDIlib_recv_create_v3", kRecvEnd = "NDIlib_recv_destroy",
                  kSyncNew = "NDIlib_framesync_create", kSyncEnd = "NDIlib_framesync_destroy";

// Every failure while starting prints its message and releases what was made, in a fixed order:
// the one-way capture side and the duplex records after PortAudio terminates, the one-way
// receiving side before it.
TEST_F(EngineFake, StartFailuresPrintTheirMessageAndReleaseInOrder)
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
                      noDuplex = "ERROR : Unable to find duplex mode supported audio devices.\n",
                      openRate = "Unable to open stream.\nPortAudio error: Invalid sample rate\n",
                      openBusy = "Unable to open stream.\nPortAudio error: Device unavailable\n",
                      startBusy = "Unable to start stream.\nPortAudio error: Device unavailable\n",
                      noSync = "ERROR : Unable to create the NDI frame synchroniser.\n",
                      noSender = "ERROR : Unable to create the NDI sender.\n";
    const Calls duplexUp{kInit, kRecvNew, kSyncNew, kSendNew, kOpen, kStart};
    const Calls duplexDown{kTerm, kSendEnd, kSyncEnd, kRecvEnd};
    const auto plus = [](Calls a, const Calls &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        Entry entry;
        Fault fault;
        NdiFault ndiFault;
        std::string printed;
        Calls calls;
    };
    const Case cases[] = {
        {Entry::Input, initialize, NoNdiFault, initText, {kInit}},
        {Entry::Duplex, initialize, NoNdiFault, initText, {kInit}},
        {Entry::Input,
         negativeCount,
         NoNdiFault,
         "ERROR : Unable to get audio devices.\nERROR : Unable to find audio input devices.\n",
         {kInit, kTerm}},
        {Entry::Output, noDevices, NoNdiFault, "", {kInit, kTerm}},
        {Entry::Duplex, noDevices, NoNdiFault, noDuplex, {kInit, kTerm}},
        {Entry::Input,
         open(paInvalidSampleRate),
         NoNdiFault,
         openRate,
         {kInit, kSendNew, kOpen, kTerm, kSendEnd}},
        {Entry::Input,
         start(paDeviceUnavailable),
         NoNdiFault,
         startBusy,
         {kInit, kSendNew, kOpen, kStart, kTerm, kSendEnd}},
        {Entry::Output,
         open(paDeviceUnavailable),
         NoNdiFault,
         openBusy,
         {kInit, kRecvNew, kSyncNew, kOpen, kSyncEnd, kRecvEnd, kTerm}},
        {Entry::Output,
         start(paDeviceUnavailable),
         NoNdiFault,
         startBusy,
         {kInit, kRecvNew, kSyncNew, kOpen, kStart, kSyncEnd, kRecvEnd, kTerm}},
        {Entry::Duplex, open(paInvalidSampleRate), NoNdiFault, openRate,
         plus({kInit, kRecvNew, kSyncNew, kSendNew, kOpen}, duplexDown)},
        {Entry::Duplex, start(paInsufficientMemory), NoNdiFault,
         "Unable to start stream.\nPortAudio error: Insufficient memory\n",
         plus(duplexUp, duplexDown)},
        {Entry::Duplex, format, NoNdiFault, "48000 Format Is not Supported \n",
         plus(duplexUp, duplexDown)},
        {Entry::Input, none, NoSender, noSender, {kInit, kSendNew, kTerm}},
        {Entry::Output,
         none,
         NoReceiver,
         "ERROR : Unable to create the NDI receiver.\n",
         {kInit, kRecvNew, kTerm}},
        {Entry::Output, none, NoFramesync, noSync, {kInit, kRecvNew, kSyncNew, kRecvEnd, kTerm}},
        {Entry::Duplex, none, NoFramesync, noSync, {kInit, kRecvNew, kSyncNew, kRecvEnd, kTerm}},
        {Entry::Duplex,
         none,
         NoSender,
         noSender,
         {kInit, kRecvNew, kSyncNew, kSendNew, kTerm, kSyncEnd, kRecvEnd}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.printed);
        fakepa::Table t = sharedDefaultTable();
        c.fault(t);
        fakepa::setTable(t);
        ndirec::reset();
        ndirec::setFailCreate(c.ndiFault == NoSender, c.ndiFault == NoReceiver,
                              c.ndiFault == NoFramesync);
        calllog::take();
        const Outcome o = run(c.entry, "");
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.printed, c.printed);
        EXPECT_EQ(calllog::take(), c.calls);
        // The duplex format is checked with the stream already started (a callback may have
        // run); every other failure comes before the start.
        if (c.printed.find("Format Is not Supported") == std::string::npos) {
            EXPECT_EQ(fakepa::counters().callbacks + fakepa::counters().writes, 0);
        }
        expectReleased();
    }
}

// An orderly stop stops the stream and terminates PortAudio before any NDI object goes, so no
// callback or block thread runs on a released record.
TEST_F(EngineFake, AStopReleasesInOrder)
{
    const std::pair<Entry, Calls> cases[] = {
        {Entry::Input, {kInit, kSendNew, kOpen, kStart, kStop, kTerm, kSendEnd}},
        {Entry::Output,
         {kInit, kRecvNew, kSyncNew, kOpen, kStart, kStop, kTerm, kSyncEnd, kRecvEnd}},
        {Entry::Duplex,
         {kInit, kRecvNew, kSyncNew, kSendNew, kOpen, kStart, kSleep, kStop, kTerm, kSendEnd,
          kSyncEnd, kRecvEnd}},
    };
    for (const auto &[entry, calls] : cases) {
        fakepa::setTable(sharedDefaultTable());
        calllog::take();
        EXPECT_EQ(run(entry, "").result, 1);
        EXPECT_EQ(calllog::take(), calls);
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
            while (probing) {
                {
                    veltrin::audio::PortAudioSession portAudio;
                    EXPECT_EQ(portAudio.isFormatSupported(&input, nullptr, 48000.0),
                              paFormatIsSupported);
                }
                ++probes;
                // A pause between probes, as between a user's clicks, leaves the entry room.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        // A quick machine may finish an entry between two probes: run it again until the
        // prober has made at least five.
        for (int runs = 0; runs < 200 && probes.load() < 5; ++runs)
            EXPECT_EQ(run(entry, "").result, 1);
        probing = false;
        prober.join();
        EXPECT_GE(probes.load(), 5);
        EXPECT_EQ(fakepa::counters().overlapping.load(), 0);
        expectReleased();
    }
    calllog::take();
}

TEST_F(EngineFake, CaptureSendsPlanarBlocksTimesGainWhileTheMeterShowsTheUnscaledBlock)
{
    fakepa::Table t = studioTable();
    // Channel c carries the frame's position in a 1000-frame ramp, offset by c.
    t.inputSignal = [](long long f, int c) { return static_cast<float>(f % 1000) / 1000.0f + c; };
    fakepa::setTable(t);
    LevelTap::Block meter;
    const Outcome o =
        run(Entry::Input, "Line In", -20.0f, 256, 48000, [&] { input_aud.snapshot(meter); });
    EXPECT_EQ(o.result, 1);

    const float gain = static_cast<float>(db_to_ratio(-20.0));
    EXPECT_NEAR(gain, 0.1f, 1e-7);
    const auto sent = ndirec::sentFrames();
    ASSERT_GE(sent.size(), 4u);
    long long frame = 0;
    for (const auto &f : sent) {
        ASSERT_EQ(std::tie(f.sender, f.channels, f.samples, f.sampleRate, f.timecode,
                           f.channelStrideBytes),
                  std::make_tuple("Studio A", 2, 256, 48000, INT64_MAX, 256 * 4));
        for (int c = 0; c < 2; ++c)
            for (int n = 0; n < 256; ++n)
                ASSERT_EQ(f.planar[static_cast<size_t>(c * 256 + n)],
                          (static_cast<float>((frame + n) % 1000) / 1000.0f + c) * gain);
        frame += 256;
    }
    const auto senders = ndirec::senderSettings();
    ASSERT_EQ(senders.size(), 1u);
    EXPECT_EQ(
        std::tie(senders[0].name, senders[0].groups, senders[0].clockVideo, senders[0].clockAudio),
        std::make_tuple("Studio A", "", true, true));

    // The meter saw an interleaved block before the gain: channel 1 is channel 0 plus one.
    ASSERT_EQ(std::tie(meter.channels, meter.frames), std::make_tuple(2, 256));
    EXPECT_FLOAT_EQ(meter.samples[511] - meter.samples[510], 1.0f);
    input_aud.snapshot(meter);
    EXPECT_EQ(meter.frames, 0);
}

TEST_F(EngineFake, CaptureWithUnspecifiedBlockSizeSendsEachBlockAsItCame)
{
    fakepa::Table t = studioTable();
    t.variableBlockSizes = {64, 512, 100, 2048};
    t.inputSignal = [](long long f, int c) { return static_cast<float>(f * 2 + c); };
    fakepa::setTable(t);
    const Outcome o = run(Entry::Input, "1", 0.0f, 0, 44100);
    EXPECT_EQ(o.result, 1);
    const auto sent = ndirec::sentFrames();
    ASSERT_GE(sent.size(), 4u);
    long long frame = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        const int expected = static_cast<int>(t.variableBlockSizes[i % 4]);
        ASSERT_EQ(std::tie(sent[i].samples, sent[i].channelStrideBytes),
                  std::make_tuple(expected, expected * 4));
        EXPECT_EQ(sent[i].planar.front(), static_cast<float>(frame * 2));
        EXPECT_EQ(sent[i].planar[static_cast<size_t>(expected)], static_cast<float>(frame * 2 + 1));
        frame += expected;
    }
}

TEST_F(EngineFake, PlaybackPlaysExactlyTheRequestedBlockTimesGain)
{
    fakepa::Table t = studioTable();
    t.devices[4].maxOutputChannels = 8;
    fakepa::setTable(t);
    ndirec::setFramesyncSignal(
        [](long long f, int c) { return static_cast<float>(f % 500) / 500.0f + 2.0f * c; });
    LevelTap::Block meter;
    const Outcome o =
        run(Entry::Output, "HDMI", -6.0f, 256, 44100, [&] { output_aud.snapshot(meter); });
    EXPECT_EQ(o.result, 1);

    const auto receivers = ndirec::receiverSettings();
    ASSERT_EQ(receivers.size(), 1u);
    const ndirec::ReceiverSettings &r = receivers[0];
    EXPECT_EQ(std::tie(r.source, r.url, r.colorFormat, r.bandwidth, r.allowVideoFields),
              std::make_tuple("HOST (Studio B)", "", 1, 10, true));
    for (const auto &q : ndirec::captureRequests())
        ASSERT_EQ(std::tie(q.sampleRate, q.channels, q.samples), std::make_tuple(44100, 8, 256));
    const ndirec::Counts n = ndirec::counts();
    EXPECT_EQ(n.captures, n.frees);
    EXPECT_GE(n.captures, 4);

    const float gain = static_cast<float>(db_to_ratio(-6.0));
    EXPECT_NEAR(gain, 0.501f, 1e-3);
    const auto played = fakepa::playedSamples();
    ASSERT_GE(played.size(), 4u * 256 * 8);
    for (size_t i = 0; i < played.size(); ++i) {
        const long long f = static_cast<long long>(i / 8);
        const int c = static_cast<int>(i % 8);
        ASSERT_EQ(played[i], (static_cast<float>(f % 500) / 500.0f + 2.0f * c) * gain) << i;
    }
    // The meter shows the block as played, after the gain.
    ASSERT_EQ(std::tie(meter.channels, meter.frames), std::make_tuple(8, 256));
    EXPECT_FLOAT_EQ(meter.samples[1] - meter.samples[0], 2.0f * gain);
    output_aud.snapshot(meter);
    EXPECT_EQ(meter.frames, 0);
}

TEST_F(EngineFake, DuplexPlaysPulledBlocksAndSendsEachCapturedBlockInTheSameCall)
{
    fakepa::Table t = studioTable();
    t.devices[3].maxInputChannels = 2;
    t.devices[3].maxOutputChannels = 4;
    t.inputSignal = [](long long f, int c) { return static_cast<float>(f + 1) + 0.5f * c; };
    fakepa::setTable(t);
    ndirec::setFramesyncSignal([](long long f, int c) { return static_cast<float>(-f - 10 * c); });
    const Outcome o = run(Entry::Duplex, "Console", -6.0f, 256, 48000);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.printed,
              "48000 Format Is Supported \nDefault Device:  \n"
              "              SampleRate: 48000.000000  In Latency: 0.005000 Out Latency: 0.005000\n"
              "Stream Info:  \n"
              "            SampleRate: 48000.000000  In Latency: 0.005000 Out Latency: 0.005000\n");

    const float gain = static_cast<float>(db_to_ratio(-6.0));
    const auto sent = ndirec::sentFrames();
    ASSERT_GE(sent.size(), 3u);
    for (const auto &f : sent)
        ASSERT_EQ(std::tie(f.channels, f.samples, f.channelStrideBytes),
                  std::make_tuple(2, 256, 1024));
    // Call k sends the block captured in call k.
    for (size_t k = 0; k < sent.size(); ++k)
        for (int c = 0; c < 2; ++c)
            for (int n = 0; n < 256; ++n) {
                const long long f = static_cast<long long>(k) * 256 + n;
                ASSERT_EQ(sent[k].planar[static_cast<size_t>(c * 256 + n)],
                          (static_cast<float>(f + 1) + 0.5f * c) * gain);
            }
    for (const auto &r : ndirec::captureRequests())
        ASSERT_EQ(std::tie(r.channels, r.samples), std::make_tuple(4, 256));
    const auto played = fakepa::playedSamples();
    ASSERT_GE(played.size(), 3u * 1024);
    for (size_t i = 0; i < played.size(); ++i)
        ASSERT_EQ(played[i],
                  static_cast<float>(-static_cast<long long>(i / 4) - 10 * static_cast<int>(i % 4))
                      * gain);
    expectReleased();
}

// A map opens the device with the channels it needs and moves only those: device inputs 3 and
// 1 are sent as channels 1 and 2; source channels 1 and 2 play on outputs 4 and 2, the others
// silent; a channel the device lacks fails the start with a message. Flagged callbacks count
// as device xruns.
TEST_F(EngineFake, ChannelMapsChooseTheDeviceChannelsAndXrunsAreCounted)
{
    fakepa::Table t = studioTable();
    t.inputSignal = [](long long f, int c) { return static_cast<float>(f * 10 + c); };
    t.callbackFlags = [](long long call) { return call % 2 == 0 ? paInputOverflow : 0; };
    fakepa::setTable(t);
    ChannelMap in, out;
    ASSERT_EQ(ChannelMap::parseList("3,1", "--channels", in), "");
    ASSERT_EQ(ChannelMap::parsePairs("1:4,2:2", "--map", out), "");
    const uint64_t xrunsBefore = input_xruns.load();
    const Outcome sent = run(Entry::Input, "USB Interface", 0.0f, 256, 48000, {}, in);
    EXPECT_EQ(sent.result, 1);
    ASSERT_EQ(sent.streams.size(), 1u);
    EXPECT_EQ(sent.streams[0].input.channelCount, 3);
    const uint64_t calls = uint64_t(fakepa::counters().callbacks.load());
    EXPECT_EQ(input_xruns.load() - xrunsBefore, (calls + 1) / 2);
    const auto frames = ndirec::sentFrames();
    ASSERT_GE(frames.size(), 2u);
    for (size_t k = 0; k < frames.size(); ++k) {
        ASSERT_EQ(frames[k].channels, 2);
        const float f = static_cast<float>(k * 256);
        ASSERT_EQ(frames[k].planar[0], f * 10 + 2);
        ASSERT_EQ(frames[k].planar[256], f * 10 + 0);
    }

    ndirec::setFramesyncSignal([](long long f, int c) { return static_cast<float>(f + 1000 * c); });
    const Outcome played = run(Entry::Output, "HDMI", 0.0f, 256, 48000, {}, {}, out);
    EXPECT_EQ(played.result, 1);
    EXPECT_EQ(played.streams.back().output.channelCount, 4);
    for (const auto &q : ndirec::captureRequests())
        ASSERT_EQ(q.channels, 2);
    const auto samples = fakepa::playedSamples();
    ASSERT_GE(samples.size(), 4u * 256);
    for (size_t i = 0; i < 4 * 256; ++i) {
        const float f = static_cast<float>(i / 4);
        const float expected[4] = {0.0f, f + 1000, 0.0f, f};
        ASSERT_EQ(samples[i], expected[i % 4]) << i;
    }

    ChannelMap beyond;
    ASSERT_EQ(ChannelMap::parseList("9", "--channels", beyond), "");
    const Outcome refused = run(Entry::Input, "USB Interface", 0.0f, 256, 48000, {}, beyond);
    EXPECT_EQ(refused.result, 0);
    EXPECT_NE(refused.printed.find("device channel 9, but the device has 8 channels"),
              std::string::npos);
    expectReleased();
}

TEST_F(EngineFake, StopRequestMadeBeforeTheStartIsLost)
{
    const fakepa::Table t = sharedDefaultTable();
    for (Entry entry : {Entry::Input, Entry::Output, Entry::Duplex}) {
        fakepa::setTable(t);
        ndirec::reset();
        stopAudioInput();
        stopAudioOutput();
        stopAudioDuplex();
        const Outcome o = run(entry, "", 0.0f, 256, 48000, [] {
            // Still streaming well after the early request.
            EXPECT_TRUE(waitFor([] {
                return fakepa::counters().callbacks >= 30 || fakepa::counters().writes >= 30;
            }));
        });
        EXPECT_EQ(o.result, 1);
        EXPECT_GE(std::max(fakepa::counters().callbacks.load(), fakepa::counters().writes.load()),
                  30);
        expectReleased();
    }
}

} // namespace

namespace {

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

// A device that goes away mid-stream, whether its host stops the stream or it merely stops
// calling back, is reported once; the NDI side keeps its pace (silence sent, the receiver
// pulled) with the same sender and receiver; the device is reopened by name once it is listed
// again, and the stream runs on until it is stopped in order.
TEST_F(EngineFake, ADeviceThatGoesAwayIsReportedOnceAndReopenedWhenBack)
{
    const std::string away = "device \"USB Interface\" went away; waiting for it to return\n";
    const std::string back = "device \"USB Interface\" is back\n";
    for (const bool hangs : {false, true})
        for (Entry entry : {Entry::Input, Entry::Output, Entry::Duplex}) {
            SCOPED_TRACE(testing::Message()
                         << "entry " << static_cast<int>(entry) << " hangs " << hangs);
            fakepa::Table t = studioTable();
            t.inputSignal = [](long long, int) { return 0.5f; };
            fakepa::setTable(t);
            ndirec::reset();
            StreamHealth &health = healthOf(entry);
            const Outcome o = run(entry, "USB Interface", 0.0f, 256, 48000, [&] {
                fakepa::unplug("USB Interface", hangs);
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
                    const auto frames = ndirec::sentFrames();
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
            });
            EXPECT_EQ(o.result, 1);
            EXPECT_EQ(occurrences(o.printed, away), 1u) << o.printed;
            EXPECT_EQ(occurrences(o.printed, back), 1u) << o.printed;
            EXPECT_EQ(std::make_tuple(health.losses.load(), health.returns.load()),
                      std::make_tuple(1u, 1u));
            const ndirec::Counts n = ndirec::counts();
            EXPECT_LE(n.sendersCreated, 1);
            EXPECT_LE(n.receiversCreated, 1);
            expectReleased();
        }
}

// A stop that the device never lets return is given up after the bound: the entry returns, the
// NDI objects go, and the stop functions never wait for the device meanwhile.
TEST_F(EngineFake, AStopTheDeviceNeverAnswersIsGivenUp)
{
    for (Entry entry : {Entry::Input, Entry::Output}) {
        fakepa::setTable(studioTable());
        ndirec::reset();
        fakepa::holdStops(true);
        const auto started = std::chrono::steady_clock::now();
        const Outcome o = run(entry, "USB Interface", 0.0f, 256, 48000, [&] {
            // The stop function returns at once even while the entry is in its stop.
            (entry == Entry::Input ? stopAudioInput : stopAudioOutput)();
            auto asked = std::async(std::launch::async, [&] {
                for (int i = 0; i < 50; ++i)
                    (entry == Entry::Input ? stopAudioInput : stopAudioOutput)();
            });
            EXPECT_EQ(asked.wait_for(std::chrono::seconds(1)), std::future_status::ready);
        });
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(o.result, 1);
        EXPECT_LT(took, kStopBound + std::chrono::seconds(5));
        EXPECT_NE(o.printed.find("did not stop within 1500 ms; its stream was given up"),
                  std::string::npos)
            << o.printed;
        EXPECT_EQ(healthOf(entry).abandoned.load(), 1u);
        const ndirec::Counts n = ndirec::counts();
        EXPECT_EQ(n.sendersCreated, n.sendersDestroyed);
        EXPECT_EQ(n.receiversCreated, n.receiversDestroyed);
        // Let the given-up stop return, so that PortAudio ends before the next case.
        fakepa::holdStops(false);
        EXPECT_TRUE(waitFor([] { return fakepa::initializeDepth() == 0; }));
    }
}

} // namespace

namespace {

// Switched off while its device is away, a stream ends in order and waits for no device.
TEST_F(EngineFake, AStreamStoppedWhileItsDeviceIsAwayEndsInOrder)
{
    for (Entry entry : {Entry::Input, Entry::Output, Entry::Duplex}) {
        fakepa::setTable(studioTable());
        ndirec::reset();
        const Outcome o = run(entry, "USB Interface", 0.0f, 256, 48000, [&] {
            fakepa::unplug("USB Interface");
            EXPECT_TRUE(waitFor([&] { return healthOf(entry).lost.load(); }, 3000));
        });
        EXPECT_EQ(o.result, 1);
        EXPECT_FALSE(healthOf(entry).lost.load());
        expectReleased();
    }
}

} // namespace
