// The engine against device tables and faults that no real audio server produces: which device
// an entry opens, failures and the order things are released in, the audio each callback moves
// (gains, channel maps, meters, xruns), and a device that goes away and comes back.
#include "CallLog.h"
#include "DeviceLookup.h"
#include "EngineTestSupport.h"
#include "FakePortAudio.h"
#include "NdiRecorder.h"
#include "PortAudioSession.h"

#include <functional>
#include <gtest/gtest.h>
#include <tuple>

using enginetest::waitFor;

namespace {

enum class Entry { Input, Output, Duplex };

// Two host APIs; inputs at 0, 2, 3, 5; outputs at 1, 2, 3, 4; duplex at 2 and 3. `shared`:
// device 2 is the default of both directions everywhere.
fakepa::Table studioTable(bool shared = false)
{
    fakepa::Table t;
    t.hostApis = {{"ALSA", shared ? 2 : 0, shared ? 2 : 1}, {"JACK", 2, shared ? 2 : 3}};
    t.devices = {{"HDA Intel: Mic", 0, 2, 0}, {"HDA Intel: Speakers", 0, 0, 2},
                 {"USB Interface", 1, 8, 8},  {"Console", 1, 4, 6},
                 {"HDMI", 0, 0, 8},           {"Line In", 0, 2, 0}};
    t.defaultInputDevice = shared ? 2 : 0;
    t.defaultOutputDevice = shared ? 2 : 1;
    return t;
}

// A channel list ("3,1") or pairs ("1:4,2:2"); empty text, the empty map.
ChannelMap channelMap(const std::string &text)
{
    ChannelMap m;
    EXPECT_EQ(text.empty()                          ? ""
              : text.find(':') == std::string::npos ? ChannelMap::parseList(text, "-c", m)
                                                    : ChannelMap::parsePairs(text, "-m", m),
              "");
    return m;
}

// Runs one entry (256 frames at 48 kHz, 0 dB) until it streams (or returns), runs
// `whileRunning`, stops it and returns its result and what it printed.
std::pair<int, std::string> run(Entry entry, const std::string &device,
                                const std::function<void()> &whileRunning = {},
                                const std::string &inMap = "", const std::string &outMap = "")
{
    testing::internal::CaptureStdout();
    const char *send = "Studio A", *from = "HOST (Studio B)";
    enginetest::RunningEntry running([&, in = channelMap(inMap), out = channelMap(outMap)] {
        return entry == Entry::Input ? process_input(device, send, 0.0f, 256, 48000, in)
               : entry == Entry::Output
                   ? process_output(device, from, 0.0f, 256, 48000, out)
                   : process_duplex(device, send, from, 0, 0, 256, 48000, in, out);
    });
    EXPECT_TRUE(waitFor([&] { return running.returned(0) || fakepa::counters().callbacks >= 4; }));
    if (!running.returned(0) && whileRunning)
        whileRunning();
    // Repeated: a request made before the entry has cleared its flag (a slow start) is lost.
    void (*stops[])() = {stopAudioInput, stopAudioOutput, stopAudioDuplex};
    for (int i = 0; i < 100 && (stops[int(entry)](), !running.returned(100)); ++i) {
    }
    EXPECT_TRUE(running.returned(0));
    return {running.result(), testing::internal::GetCapturedStdout()}; // in this order
}

// The lookup: by name (any letter case, any direction), by 1-based ordinal among the devices of
// its direction (strtol rules), else the lowest device that is a default of PortAudio or of its
// host API; duplex only when both defaults are one device.
TEST(EngineFake, DeviceParameterChoosesByNameOrdinalOrDefault)
{
    using D = DeviceDirection;
    enum Variant { Studio, Shared, ApiDefault, DuplexZero, DuplexZeroDefault };
    // The direction, the text, the table and the device chosen (-1: none).
    // "2": the second device with inputs; "  +4xyz": strtol's blanks, sign and trailing text;
    // "7" is beyond all devices, "5" beyond the inputs; a name wins over its direction; with
    // ApiDefault host API 0's default input is 5, API 1's is 2; DuplexZero's defaults differ.
    const std::tuple<D, std::string, Variant, int> cases[] = {
        {D::Input, "usb interface", Studio, 2},
        {D::Input, "2", Studio, 2},
        {D::Input, "  +4xyz", Studio, 5},
        {D::Input, "7", Studio, 0},
        {D::Input, "5", Studio, 0},
        {D::Input, "hda intel: speakers", Studio, 1},
        {D::Input, "", ApiDefault, 2},
        {D::Output, "3", Studio, 3},
        {D::Duplex, "2", Shared, 3},
        {D::Duplex, "", DuplexZero, -1},
        {D::Duplex, "", DuplexZeroDefault, 0},
    };
    for (const auto &[direction, param, table, expected] : cases) {
        fakepa::Table t = studioTable(table == Shared);
        t.devices[0].maxOutputChannels = table >= DuplexZero ? 2 : 0;
        t.defaultOutputDevice = table == DuplexZeroDefault ? 0 : t.defaultOutputDevice;
        if (table == ApiDefault)
            t.defaultInputDevice = t.hostApis[0].defaultInputDevice = 5;
        fakepa::setTable(t);
        const veltrin::audio::PortAudioSession session;
        EXPECT_EQ(findDevice(session, param, session.deviceCount(), direction), expected)
            << "'" << param << "'";
    }
}

// Every failure while starting prints its message and releases what was made, in a fixed order:
// the one-way capture side and the duplex records after PortAudio terminates, the one-way
// receiving side before it. An orderly stop stops the stream and terminates PortAudio before
// any NDI object goes, so no callback runs on a released record.
TEST(EngineFake, StartsAndStopsPrintAndReleaseInOrder)
{
    const std::string latencies = "SampleRate: 48000.000000  In Latency: 0.005000 Out Latency: "
                                  "0.005000\n";
    // The entry, its fault, what it prints and the calls it makes.
    const std::tuple<Entry, std::string, std::string, std::string> cases[] = {
        {Entry::Input, "init", "ERROR : Unable to initialize audio devices.\n", "init"},
        {Entry::Output, "map 1:9",
         "ERROR : The channel map names device channel 9, but the device has 8 channels\n",
         "init term"},
        {Entry::Input, "open", "Unable to open stream.\nPortAudio error: Invalid sample rate\n",
         "init +send open term -send"},
        {Entry::Output, "start", "Unable to start stream.\nPortAudio error: Device unavailable\n",
         "init +recv +framesync open start -framesync -recv term"},
        {Entry::Duplex, "format", "48000 Format Is not Supported \n",
         "init +recv +framesync +send open start term -send -framesync -recv"},
        {Entry::Output, "no framesync", "ERROR : Unable to create the NDI frame synchroniser.\n",
         "init +recv +framesync -recv term"},
        {Entry::Duplex, "no sender", "ERROR : Unable to create the NDI sender.\n",
         "init +recv +framesync +send term -framesync -recv"},
        {Entry::Input, "", "", "init +send open start stop term -send"},
        // A stop that never returns is given up after its bound: the entry returns all the same.
        {Entry::Input, "hold stops",
         "device \"USB Interface\" did not stop within 1500 ms; its stream was given up\n",
         "init +send open start stop -send"},
        {Entry::Output, "", "", "init +recv +framesync open start stop term -framesync -recv"},
        {Entry::Duplex, "",
         "48000 Format Is Supported \nDefault Device:  \n              " + latencies
             + "Stream Info:  \n            " + latencies,
         "init +recv +framesync +send open start sleep stop term -send -framesync -recv"},
    };
    for (const auto &[entry, fault, printed, calls] : cases) {
        fakepa::Table t = studioTable(true);
        t.initializeError = fault == "init" ? paInternalError : paNoError;
        t.openStreamError = fault == "open" ? paInvalidSampleRate : paNoError;
        t.startStreamError = fault == "start" ? paDeviceUnavailable : paNoError;
        if (fault == "format")
            t.isFormatSupported = [](auto, auto, auto) { return PaError(paInvalidSampleRate); };
        fakepa::setTable(t);
        ndirec::reset({{}, fault == "no sender", fault == "no framesync"});
        fakepa::holdStops = fault == "hold stops";
        calllog::take();
        const auto [result, out] = run(entry, "", {}, "", fault == "map 1:9" ? "1:9" : "");
        EXPECT_EQ(std::make_pair(result, out),
                  std::make_pair(fault.empty() || fault == "hold stops" ? 1 : 0, printed));
        std::string made;
        for (const std::string &call : calllog::take())
            made += (made.empty() ? "" : " ") + call;
        EXPECT_EQ(made, calls);
        // A probe made meanwhile from another thread, as the window makes them, waits for a stop
        // still held: never two calls into PortAudio at once.
        std::thread probe([] { veltrin::audio::PortAudioSession(); });
        fakepa::holdStops = false;
        probe.join();
        EXPECT_EQ(fakepa::counters().overlapping.load(), 0);
        EXPECT_TRUE(waitFor([] { return fakepa::counters().initializeDepth == 0; }));
        StreamHealth *health[] = {&inputHealth, &outputHealth, &duplexHealth};
        EXPECT_EQ(health[int(entry)]->abandoned.load(), fault == "hold stops" ? 1u : 0u);
    }
}

// Each callback on one block: the captured block is sent planar times the gain through the
// input map, the input meter showing it before the gain; the pulled block is played interleaved
// times the gain through the output map (unmapped outputs silent), the output meter showing it
// after the gain; a block flagged on the callback's own side counts as an xrun of its entry.
// Behind a closed gate the callback asks to stop and touches nothing.
TEST(EngineFake, CallbacksMoveTheirBlocksTimesTheGainThroughTheirMaps)
{
    using veltrin::ndi::NdiFrameSync, veltrin::ndi::NdiSender;
    EXPECT_NEAR(db_to_ratio(-20.0), 0.1, 1e-12);
    const auto input = [](long long f, int c) { return float(f % 1000) + 1000.0f * c; };
    const auto source = [](long long f, int c) { return -float(f % 500) - 1000.0f * c; };
    // The entry, its maps, the device's channels, the frames, the block's flags and the xruns.
    using Flags = PaStreamCallbackFlags;
    const std::tuple<Entry, std::string, std::string, int, int, int, Flags, uint64_t> cases[] = {
        {Entry::Input, "3,1", "", 4, 0, 100, paInputOverflow, 1},
        {Entry::Output, "", "1:4,2:2", 0, 4, 100, paInputOverflow, 0},
        {Entry::Duplex, "", "", 4, 6, 256, paOutputOverflow, 1},
        {Entry::Duplex, "2", "2:1", 2, 1, 100, paInputOverflow, 1},
    };
    for (const auto &[entry, inText, outText, inputs, outputs, n, flags, xrun] : cases) {
        SCOPED_TRACE(inputs * 100 + outputs);
        ndirec::reset({source});
        const NDIlib_send_create_t settings{"Studio A"};
        const ChannelMap inMap = channelMap(inText), outMap = channelMap(outText);
        audio_capture_t capture{
            NdiSender(NDIlib_send_create(&settings)), 0.1f, inputs, 48000, {}, inMap};
        audio_playback_t playback{
            {}, NdiFrameSync(NDIlib_framesync_create(0)), 0.5f, outputs, 48000, outMap};
        duplex_records_t both{&playback, &capture};
        void *records[] = {&capture, &playback, &both};
        CallbackLink link;
        link.records = records[int(entry)];
        PaStreamCallback *callbacks[] = {input_callback, output_callback, duplex_callback};
        std::atomic<uint64_t> *xruns[] = {&input_xruns, &output_xruns, &duplex_xruns};
        const uint64_t xrunsBefore = xruns[int(entry)]->load();
        std::vector<float> captured(size_t(n * inputs)), played(size_t(n * outputs), 1e9f);
        for (size_t i = 0; i < captured.size(); ++i)
            captured[i] = input(long(i) / inputs, int(i % size_t(inputs)));
        input_aud.clear();
        output_aud.clear();
        const auto call = std::bind(callbacks[int(entry)], captured.data(), played.data(),
                                    unsigned(n), nullptr, flags, &link);
        ASSERT_EQ(call(), paContinue);
        std::vector<float> sent, heard;
        const int channels = inMap.empty() ? inputs : inMap.streamChannels();
        for (int i = 0; i < n * channels; ++i)
            sent.push_back(input(i % n, inMap.empty() ? i / n : inMap.routes[size_t(i / n)].device)
                           * 0.1f);
        for (size_t i = 0; i < played.size(); ++i) {
            int from = outMap.empty() ? int(i % size_t(outputs)) : -1;
            for (const ChannelRoute &r : outMap.routes)
                from = size_t(r.device) == i % size_t(outputs) ? r.stream : from;
            heard.push_back(from < 0 ? 0.0f : source(long(i) / outputs, from) * 0.5f);
        }
        EXPECT_EQ(played, heard);
        const auto frames = ndirec::sentFrames();
        ASSERT_EQ(frames.size(), inputs == 0 ? 0u : 1u);
        for (const ndirec::SentFrame &f : frames)
            EXPECT_EQ(std::tie(f.sender, f.channels, f.samples, f.sampleRate, f.timecode,
                               f.channelStrideBytes, f.planar),
                      std::make_tuple("Studio A", channels, n, 48000, INT64_MAX, n * 4, sent));
        LevelTap::Block inMeter, outMeter;
        input_aud.snapshot(inMeter);
        output_aud.snapshot(outMeter);
        EXPECT_EQ(std::tie(inMeter.samples, outMeter.samples), std::tie(captured, played));
        EXPECT_EQ(xruns[int(entry)]->load() - xrunsBefore, xrun);
        link.gate.close();
        EXPECT_EQ(call(), paAbort);
        EXPECT_EQ(std::make_tuple(ndirec::sentFrames().size(), link.calls.load()),
                  std::make_tuple(frames.size(), 1u));
    }
}

// A device that goes away mid-stream, whether it merely stops calling back or its host stops
// the stream, is reported once; the NDI side keeps its pace meanwhile (silence sent, the
// receiver pulled); the device is reopened by name, with the channels and flags of the first
// start (64 of its 128 inputs, the 4 outputs the map names), once it is listed again. Switched
// off while its device is away, a stream ends in order and waits for no device.
TEST(EngineFake, ADeviceThatGoesAwayIsReportedOnceAndReopenedWhenBack)
{
    fakepa::Table t = studioTable();
    t.devices[2].maxInputChannels = 128;
    t.inputLevel = 0.5f;
    fakepa::setTable(t);
    ndirec::reset();
    calllog::take();
    const auto [result, printed] = run(
        Entry::Duplex, "USB Interface",
        [&] {
            fakepa::unplug("USB Interface", true);
            ASSERT_TRUE(waitFor([&] { return duplexHealth.lost.load(); }, 3000));
            // Away for longer than a reopen period: the NDI side keeps going meanwhile.
            const size_t sent = ndirec::sentFrames().size();
            const size_t pulled = ndirec::captureRequests().size();
            std::this_thread::sleep_for(std::chrono::milliseconds(1300));
            EXPECT_TRUE(duplexHealth.lost.load());
            EXPECT_GE(ndirec::sentFrames().size(), sent + 101);
            EXPECT_GE(ndirec::captureRequests().size(), pulled + 101);
            const std::vector<float> silence = ndirec::sentFrames().back().planar;
            EXPECT_EQ(silence, std::vector<float>(silence.size(), 0.0f));
            const int callbacks = fakepa::counters().callbacks.load();
            fakepa::plugIn("USB Interface");
            EXPECT_TRUE(waitFor([&] { return !duplexHealth.lost.load(); }, 2500));
            EXPECT_TRUE(waitFor([&] { return fakepa::counters().callbacks > callbacks + 10; }));
            EXPECT_EQ(ndirec::sentFrames().back().planar.front(), 0.5f);
            fakepa::unplug("USB Interface");
            EXPECT_TRUE(waitFor([&] { return duplexHealth.lost.load(); }, 3000));
        },
        "", "1:4,2:2");
    EXPECT_EQ(result, 1);
    const std::string away = "device \"USB Interface\" went away; waiting for it to return\n";
    EXPECT_EQ(printed.substr(printed.find("device \"")),
              away + "device \"USB Interface\" is back\n" + away);
    EXPECT_EQ(std::make_tuple(duplexHealth.losses.load(), duplexHealth.returns.load(),
                              duplexHealth.lost.load()),
              std::make_tuple(2u, 1u, false));
    const auto opened = fakepa::openedStreams();
    EXPECT_EQ(opened.size(), 2u);
    for (const fakepa::OpenedStream &s : opened)
        EXPECT_EQ(std::make_tuple(s.input.channelCount, s.output.channelCount, s.framesPerBuffer,
                                  s.flags),
                  std::make_tuple(64, 4, 256ul, paDitherOff));
    for (const auto &q : ndirec::captureRequests())
        ASSERT_EQ(std::tie(q.sampleRate, q.channels, q.samples), std::make_tuple(48000, 2, 256));
    // One receiver, frame synchroniser and sender for the whole run, all released at its end,
    // and PortAudio terminated.
    std::string made;
    for (const std::string &call : calllog::take())
        made += call[0] == '+' || call[0] == '-' ? call + " " : "";
    EXPECT_EQ(made + std::to_string(fakepa::counters().initializeDepth),
              "+recv +framesync +send -send -framesync -recv 0");
}

} // namespace
