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
#include "EngineTestSupport.h"
#include "NdiLib.h"
#include "PipeWireHarness.h"
#include "ScanDevice.h"
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

// Plays the stereo tone with pw-play into the input ports of `node`. Empty when the source
// published as `name` is then listed and, pulled through a frame synchroniser at about real time
// on `channels` channels, carries the tone with every further channel silent; else what was
// missing.
std::string missingTone(const PipeWireSession &session, const std::string &node,
                        const std::string &name, int channels)
{
    const std::string file = writeToneWav(session.directory() + "/tone.wav");
    const auto player = session.start(
        {"pw-play", "--target", "0", "-P", "node.name=veltrin-test-tone", file}, "pw-play");
    if (!session.link("veltrin-test-tone:output_FL", node + ":input_FL")
        || !session.link("veltrin-test-tone:output_FR", node + ":input_FR"))
        return "the tone could not be linked to " + node + ": " + session.logTail("pw-play");
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
    if (source.empty())
        return "the source " + name + " was never listed";
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = source.c_str();
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v3(&settings);
    NDIlib_framesync_instance_t sync = NDIlib_framesync_create(receiver);
    std::vector<Tone> expected = kStereo;
    expected.resize(size_t(channels));
    std::vector<float> heard;
    std::string mismatch = "nothing arrived from " + source;
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
    return found ? "" : mismatch;
}

// The watch on a stream's callbacks, on a virtual clock polled every 20 ms as the engine does:
// three seconds of calls are never silence; then the calls stop (or never began) and the stream
// is gone just after its limit: two seconds without a first call, else 16 periods but never
// less than 750 ms.
TEST(SilenceWatch, AStreamIsGoneJustAfterItsCallsStopForTheLimit)
{
    using namespace std::chrono_literals;
    for (const auto &[frames, called, limit] :
         {std::tuple{256u, false, 2000ms}, {256u, true, 750ms}, {4096u, true, 1365ms}}) {
        SCOPED_TRACE(limit.count());
        SilenceWatch watch;
        auto now = SilenceWatch::Clock::time_point{};
        uint64_t calls = 0;
        watch.start(calls, now, frames, 48000);
        for (; called && now < SilenceWatch::Clock::time_point{3s}; now += 20ms)
            ASSERT_FALSE(watch.silent(calls += 4, now));
        // From the last poll that saw the count move (or the start), silent only past the limit.
        const auto last = called ? now - 20ms : now;
        for (; now <= last + limit; now += 20ms)
            ASSERT_FALSE(watch.silent(calls, now));
        EXPECT_TRUE(watch.silent(calls, now));
    }
}

// On a session of its own, the ALSA device is listed both ways; a tone played into the virtual
// source arrives on the network on the device's first two channels, the further ones silent.
// PipeWire restarting under the capture is one loss and one return; the source stays on the
// network, and once the graph is back the device is reopened and the tone arrives again, with the
// stream's stop still in order.
TEST(PipeWireAlsa, ACaptureCarriesOnWhenPipeWireRestarts)
{
    PipeWireSession session(pwtest::PipeWireConfig{});
    std::string why = session.error();
    if (!session.running() || !pwtest::usePipeWireAlsaPlugin(session.directory(), why))
        GTEST_SKIP() << "PipeWire's ALSA plug-in cannot be loaded: " << why;
    ScanDevice scanner;
    const ScannedDevices s = collectScan(scanner);
    const int in = s.inputs.indexOf(QStringLiteral("ALSA  pipewire"));
    const int out = s.outputs.indexOf(QStringLiteral("ALSA  pipewire"));
    ASSERT_TRUE(in >= 0 && out >= 0 && s.duplex.contains(QStringLiteral("pipewire")))
        << s.inputs.join('|').toStdString() << " / " << s.outputs.join('|').toStdString();
    EXPECT_TRUE(s.inputChannels.at(in).toInt() >= 2 && s.outputChannels.at(out).toInt() >= 2);
    // The scan's Pa_Terminate unloaded PipeWire's ALSA plug-in, but not libpipewire: the plug-in
    // sets up its process-wide state and never releases it, so every scan that unloaded the
    // library would strand another copy (about 17 KB).
    const std::unique_ptr<void, int (*)(void *)> client(
        dlopen("libpipewire-0.3.so.0", RTLD_LAZY | RTLD_NOLOAD), dlclose);
    EXPECT_NE(client, nullptr);

    const std::string name = "PipeWire ALSA Capture";
    enginetest::RunningEntry entry(
        [&] { return process_input("pipewire", name, 0.0f, 256, kRate); });
    // The device is opened with 64 channels; two beyond the tone's must stay silent.
    EXPECT_EQ(missingTone(session, "veltrin-test-source", name, 4), "");

    ASSERT_TRUE(session.restart()) << session.error();
    EXPECT_EQ(missingTone(session, "veltrin-test-source", name, 2), "");

    stopAudioInput();
    ASSERT_TRUE(entry.returned(10000));
    EXPECT_EQ(entry.result(), 1);
    EXPECT_EQ(inputHealth.losses.load(), 1u);
    EXPECT_EQ(inputHealth.returns.load(), 1u);
}

// A desktop's PipeWire and veltrin-cli started as from a shell: the program finds PipeWire's
// JACK library by itself, lists the stand-in card by name, asks the graph for its block size,
// and a tone played into the card's input is published on the network.
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

    const auto send = desktop.start(
        {VELTRIN_CLI, "send", "--device", "Studio Card In", "--name", "Desktop", "--frames", "512"},
        "send");
    EXPECT_EQ(missingTone(desktop, "studio-card-in", "Desktop", 2), "") << desktop.logTail("send");

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
    if (!NDIlib_initialize())
        return 1;
    const int result = RUN_ALL_TESTS();
    NDIlib_destroy();
    return result;
}
