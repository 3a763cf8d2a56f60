// PipeWire as a platform, on private PipeWires (with WirePlumber) that run virtual devices:
//   - the ALSA route, as a PortAudio program reaches PipeWire through PortAudio's ALSA host API:
//     the "pipewire" device of PipeWire's ALSA plug-in is listed, a stereo tone that pw-play
//     plays into the virtual source arrives on the network through process_input and carries on
//     after PipeWire restarts, and a scan does not unload PipeWire's client library;
//   - the desktop route: veltrin-cli started plainly on a desktop's PipeWire (its own clock
//     settings) with a stand-in sound card, no JACK server; it lists the card by name with its
//     channels at the graph's rate, asks the graph for its block size, and a tone passes from
//     the card's input to the network.
// Besides, on a virtual clock, the watch that takes a device whose callbacks stopped for gone.
// Tones are recognised by level and frequency in half a second's worth of windows anywhere in
// what arrives, so a slow start or a lost period changes nothing.
#include "AudioRoute.h"
#include "DeviceLink.h"
#include "DeviceScanLists.h"
#include "EngineTestSupport.h"
#include "NdiLib.h"
#include "PipeWireHarness.h"
#include "ToneCheck.h"

#include <chrono>
#include <cmath>
#include <dlfcn.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

using pwtest::PipeWireSession;
using tonecheck::Tone;

namespace {

constexpr int kRate = 48000;
// Left and right differ in frequency and level, so a swap or a mix of the two shows.
const std::vector<Tone> kStereo{{1000.0, 0.5}, {1500.0, 0.25}};
// Windows of 50 ms; ten of them are half a second of both tones.
constexpr size_t kWindow = kRate / 20;
constexpr int kWanted = 10;
constexpr int kWaitMs = 30000;

PipeWireSession *g_session = nullptr;
std::string g_alsaUnavailable;

// 30 seconds of the stereo tone, as a 32-bit float WAV file.
std::string writeToneWav(const std::string &path)
{
    const uint32_t frames = 30 * kRate, bytes = frames * 8;
    // RIFF, WAVE, a format chunk (IEEE float, 2 channels, 32 bits) and the data chunk's head.
    const uint32_t header[] = {0x46464952, 36 + bytes, 0x45564157,   0x20746d66, 16,   3 | 2 << 16,
                               kRate,      kRate * 8,  8 | 32 << 16, 0x61746164, bytes};
    std::vector<float> samples(size_t(frames) * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            float(kStereo[i % 2].amplitude
                  * std::sin(2.0 * M_PI * kStereo[i % 2].frequency * double(i / 2) / kRate));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(header), sizeof header);
    out.write(reinterpret_cast<const char *>(samples.data()), std::streamsize(bytes));
    return path;
}

// pw-play playing the tone file into the input ports of `node`; null when it cannot be linked.
std::unique_ptr<pwtest::ChildProgram> playTone(const PipeWireSession &session,
                                               const std::string &node)
{
    static const std::string file = writeToneWav(session.directory() + "/tone.wav");
    auto player = session.start(
        {"pw-play", "--target", "0", "-P", "node.name=veltrin-test-tone", file}, "pw-play");
    const bool linked = session.link("veltrin-test-tone:output_FL", node + ":input_FL")
                        && session.link("veltrin-test-tone:output_FR", node + ":input_FR");
    return linked ? std::move(player) : nullptr;
}

// Whether the source published as `name` is listed and, pulled through a frame synchroniser at
// about real time on `channels` channels, carries the stereo tone with every further channel
// silent.
bool hearsTone(const std::string &name, int channels, std::string &mismatch)
{
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
    const std::regex listed(".+ \\(" + name + "\\)");
    std::string source;
    for (int i = 0; i < kWaitMs / 200 && source.empty(); ++i) {
        NDIlib_find_wait_for_sources(finder, 200);
        uint32_t count = 0;
        const NDIlib_source_t *sources = NDIlib_find_get_current_sources(finder, &count);
        for (uint32_t k = 0; k < count; ++k)
            if (std::regex_match(sources[k].p_ndi_name, listed))
                source = sources[k].p_ndi_name;
    }
    NDIlib_find_destroy(finder);
    mismatch = source.empty() ? "the source " + name + " was never listed"
                              : "nothing arrived from " + source;
    if (source.empty())
        return false;
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = source.c_str();
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v3(&settings);
    NDIlib_framesync_instance_t sync = NDIlib_framesync_create(receiver);
    std::vector<Tone> expected = kStereo;
    expected.resize(size_t(channels));
    std::vector<float> heard;
    bool found = false;
    const auto start = std::chrono::steady_clock::now();
    for (long long frame = 0; !found && frame < kRate * (kWaitMs / 1000); frame += kWindow) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(frame * 1000000 / kRate));
        NDIlib_audio_frame_v2_t audio;
        NDIlib_framesync_capture_audio(sync, &audio, kRate, channels, int(kWindow));
        const int stride = audio.channel_stride_in_bytes / int(sizeof(float));
        for (int i = 0; i < audio.no_samples && audio.p_data != nullptr; ++i)
            for (int c = 0; c < channels; ++c)
                heard.push_back(audio.p_data[c * stride + i]);
        NDIlib_framesync_free_audio(sync, &audio);
        found = tonecheck::matchingWindows(heard, expected, kWindow, kRate, &mismatch) >= kWanted;
    }
    NDIlib_framesync_destroy(sync);
    NDIlib_recv_destroy(receiver);
    return found;
}

// The watch on a stream's callbacks, on a virtual clock polled every 20 ms as the engine does:
// three seconds of calls are never silence; then the calls stop (or never began) and the stream
// is gone just after its limit: two seconds without a first call, else 16 periods but never
// less than 750 ms.
TEST(SilenceWatch, AStreamIsGoneJustAfterItsCallsStopForTheLimit)
{
    using namespace std::chrono_literals;
    struct Case {
        uint32_t frames;
        bool called;
        std::chrono::milliseconds limit;
    };
    for (const Case c : {Case{256, false, 2000ms}, {256, true, 750ms}, {4096, true, 1365ms}}) {
        SCOPED_TRACE(c.limit.count());
        SilenceWatch watch;
        auto now = SilenceWatch::Clock::time_point{};
        uint64_t calls = 0;
        watch.start(calls, now, c.frames, 48000);
        for (; c.called && now < SilenceWatch::Clock::time_point{3s}; now += 20ms)
            ASSERT_FALSE(watch.silent(calls += 4, now));
        // From the last poll that saw the count move (or the start), silent only past the limit.
        const auto last = c.called ? now - 20ms : now;
        for (; now <= last + c.limit; now += 20ms)
            ASSERT_FALSE(watch.silent(calls, now));
        EXPECT_TRUE(watch.silent(calls, now));
    }
}

// The ALSA device is listed both ways; a tone played into the virtual source arrives on the
// network on the device's first two channels, the further ones silent. PipeWire restarting
// under the capture is one loss; the source stays on the network, and once the graph is back
// the device is reopened and the tone arrives again, with the stream's stop still in order.
TEST(PipeWireAlsa, ACaptureCarriesOnWhenPipeWireRestarts)
{
    if (!g_alsaUnavailable.empty())
        GTEST_SKIP() << "PipeWire's ALSA plug-in cannot be loaded: " << g_alsaUnavailable;
    const ScanLists s = scanDevices();
    const int in = s.inputs.indexOf(QStringLiteral("ALSA  pipewire"));
    const int out = s.outputs.indexOf(QStringLiteral("ALSA  pipewire"));
    ASSERT_TRUE(in >= 0 && out >= 0)
        << s.inputs.join('|').toStdString() << " / " << s.outputs.join('|').toStdString();
    EXPECT_GE(s.inputChannels.at(in).toInt(), 2);
    EXPECT_GE(s.outputChannels.at(out).toInt(), 2);
    EXPECT_TRUE(s.duplex.contains(QStringLiteral("pipewire")));
    // The scan's Pa_Terminate unloaded PipeWire's ALSA plug-in, but not libpipewire: the plug-in
    // sets up its process-wide state and never releases it, so every scan that unloaded the
    // library would strand another copy (about 17 KB).
    void *client = dlopen("libpipewire-0.3.so.0", RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_NE(client, nullptr);
    if (client != nullptr)
        dlclose(client);

    auto player = playTone(*g_session, "veltrin-test-source");
    ASSERT_TRUE(player) << g_session->logTail("pw-play");
    const std::string name = "PipeWire ALSA Capture";
    enginetest::RunningEntry entry(
        [&] { return process_input("pipewire", name, 0.0f, 256, kRate); });
    std::string mismatch;
    // The device is opened with 64 channels; two beyond the tone's must stay silent.
    EXPECT_TRUE(hearsTone(name, 4, mismatch)) << mismatch;
    EXPECT_EQ(inputHealth.losses.load(), 0u);

    player.reset();
    ASSERT_TRUE(g_session->restart()) << g_session->error();
    EXPECT_TRUE(enginetest::waitFor([] { return inputHealth.losses.load() >= 1; }, 10000));
    player = playTone(*g_session, "veltrin-test-source");
    ASSERT_TRUE(player) << g_session->logTail("pw-play");
    EXPECT_TRUE(enginetest::waitFor([] { return inputHealth.returns.load() >= 1; }, 15000));
    EXPECT_TRUE(hearsTone(name, 2, mismatch)) << mismatch;

    stopAudioInput();
    ASSERT_TRUE(entry.returned(10000));
    EXPECT_EQ(entry.result(), 1);
    EXPECT_EQ(inputHealth.losses.load(), 1u);
}

// A desktop's PipeWire and veltrin-cli started as from a shell: the program finds PipeWire's
// JACK library by itself, lists the stand-in card by name, asks the graph for its block size,
// and a tone played into the card's input is published on the network. Defined last: its
// session holds PIPEWIRE_RUNTIME_DIR, which the ALSA case takes from the first session.
TEST(PipeWireDesktop, TheCardIsListedByNameAndItsToneIsPublished)
{
    pwtest::PipeWireConfig config;
    config.desktopClock = true;
    config.nodes = {{"studio-card-out", "Studio Card Out", "Audio/Sink", 2},
                    {"studio-card-in", "Studio Card In", "Audio/Source/Virtual", 2}};
    PipeWireSession desktop(config);
    if (!desktop.running())
        GTEST_SKIP() << desktop.error();
    if (veltrin::audio::pipeWireJackDir().empty())
        GTEST_SKIP() << "PipeWire's JACK library is not installed (package pipewire-jack)";

    std::string devices;
    ASSERT_EQ(desktop.run({VELTRIN_CLI, "devices"}, &devices, 20000), 0) << devices;
    for (const std::string card : {"Studio Card In", "Studio Card Out"})
        EXPECT_TRUE(std::regex_search(devices, std::regex("  " + card + " +2 ch  48000 Hz\n")))
            << devices;

    const auto player = playTone(desktop, "studio-card-in");
    ASSERT_TRUE(player) << desktop.logTail("pw-play");
    const auto send = desktop.start(
        {VELTRIN_CLI, "send", "--device", "Studio Card In", "--name", "Desktop", "--frames", "512"},
        "send");
    std::string mismatch;
    EXPECT_TRUE(hearsTone("Desktop", 2, mismatch)) << mismatch << "\n" << desktop.logTail("send");

    // The stream asked the graph for its block (not the default 256) as its quantum.
    std::string graph;
    desktop.run({"pw-dump"}, &graph, 10000);
    EXPECT_NE(graph.find("\"node.latency\": \"512/48000\""), std::string::npos);
    EXPECT_TRUE(send->stop(SIGINT, 10000));
    const std::string log = desktop.logTail("send");
    EXPECT_NE(log.find("(JACK Audio Connection Kit, 2 channels, 48000 Hz"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("pipewire-jack"), std::string::npos) << log;
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    PipeWireSession session(pwtest::PipeWireConfig{});
    g_session = &session;
    // Before the first Pa_Initialize: alsa-lib reads its configuration once.
    if (session.running())
        pwtest::usePipeWireAlsaPlugin(session.directory(), g_alsaUnavailable);
    else
        g_alsaUnavailable = session.error();
    if (!NDIlib_initialize())
        return 1;
    const int result = RUN_ALL_TESTS();
    NDIlib_destroy();
    return result;
}
