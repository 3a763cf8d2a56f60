// PipeWire as a platform, on private PipeWires (with WirePlumber) that run a virtual source and
// a virtual sink:
//   - the desktop route: veltrin-cli started plainly on a desktop's PipeWire (its own clock
//     settings) with a stand-in sound card, no JACK server; it lists the card by name with its
//     channels at the graph's rate, asks the graph for its block size, and a tone passes from
//     the card's input to the network and back out of the card;
//   - the ALSA route, as a PortAudio program reaches PipeWire through PortAudio's ALSA host API:
//     the "pipewire" device of PipeWire's ALSA plug-in. The device scan lists the device; a
//     stereo tone that pw-play plays into the source arrives on the network through
//     process_input and the built-in runtime. Repeated scans do not strand copies of
//     PipeWire's client state.
// Tones are recognised by level and frequency in half a second's worth of windows anywhere in
// what arrives, so a slow start or a lost period changes nothing.
#include "AudioRoute.h"
#include "DeviceScanLists.h"
#include "EngineTestSupport.h"
#include "NdiLib.h"
#include "PipeWireHarness.h"
#include "ToneCheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <malloc.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of live allocations (GCC ships no header that declares it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using enginetest::RunningEntry;
using pwtest::PipeWireSession;
using tonecheck::Tone;

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;
// Left and right differ in frequency and level, so a swap or a mix of the two shows.
const std::vector<Tone> kStereo{{1000.0, 0.5}, {1500.0, 0.25}};
// Windows of 50 ms; ten of them are half a second of both tones.
constexpr size_t kWindow = kRate / 20;
constexpr int kWanted = 10;
constexpr int kWaitMs = 30000;

PipeWireSession *g_session = nullptr;
std::string g_alsaUnavailable;
std::string g_toneFile;

// The stereo tone for `seconds`, as a 32-bit float WAV file.
bool writeToneWav(const std::string &path, int seconds)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
    const uint32_t bytes = static_cast<uint32_t>(seconds * kRate * 2 * 4);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3); // IEEE float
    u16(2);
    u32(kRate);
    u32(kRate * 2 * 4);
    u16(2 * 4);
    u16(32);
    out.write("data", 4);
    u32(bytes);
    for (long long f = 0; f < static_cast<long long>(seconds) * kRate; ++f) {
        for (const Tone &t : kStereo) {
            const float v = static_cast<float>(
                t.amplitude * std::sin(2.0 * M_PI * t.frequency * double(f) / kRate));
            out.write(reinterpret_cast<const char *>(&v), 4);
        }
    }
    return static_cast<bool>(out);
}

// The full name ("HOST (name)") under which discovery lists the source published as `name`.
std::string findSource(const std::string &name)
{
    NDIlib_find_create_t settings;
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(&settings);
    std::string found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    const std::string suffix = " (" + name + ")";
    while (finder != nullptr && found.empty() && std::chrono::steady_clock::now() < deadline) {
        NDIlib_find_wait_for_sources(finder, 200);
        uint32_t count = 0;
        const NDIlib_source_t *sources = NDIlib_find_get_current_sources(finder, &count);
        for (uint32_t i = 0; i < count && found.empty(); ++i) {
            const std::string s = sources[i].p_ndi_name != nullptr ? sources[i].p_ndi_name : "";
            if (s.size() > suffix.size()
                && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0)
                found = s;
        }
    }
    if (finder != nullptr)
        NDIlib_find_destroy(finder);
    return found;
}

// Pulls a source through a frame synchroniser at about real time, `channels` channels, and
// reports whether the stereo tone arrived with every further channel silent.
class ToneListener
{
public:
    ToneListener(const std::string &source, int channels) : m_channels(channels)
    {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = source.c_str();
        settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
        m_receiver = NDIlib_recv_create_v3(&settings);
        m_sync = m_receiver != nullptr ? NDIlib_framesync_create(m_receiver) : nullptr;
    }
    ~ToneListener()
    {
        if (m_sync != nullptr)
            NDIlib_framesync_destroy(m_sync);
        if (m_receiver != nullptr)
            NDIlib_recv_destroy(m_receiver);
    }
    ToneListener(const ToneListener &) = delete;
    ToneListener &operator=(const ToneListener &) = delete;

    // Listens until the tones have played for long enough, or the time is up.
    bool hearsTone(std::string &mismatch)
    {
        std::vector<Tone> expected = kStereo;
        expected.resize(static_cast<size_t>(m_channels));
        std::vector<float> heard;
        const auto start = std::chrono::steady_clock::now();
        for (long long frame = 0; frame < kRate * (kWaitMs / 1000); frame += kWindow) {
            std::this_thread::sleep_until(start
                                          + std::chrono::microseconds(frame * 1000000 / kRate));
            NDIlib_audio_frame_v2_t audio;
            NDIlib_framesync_capture_audio(m_sync, &audio, kRate, m_channels, int(kWindow));
            const int stride = audio.channel_stride_in_bytes / int(sizeof(float));
            for (int i = 0; i < audio.no_samples && audio.p_data != nullptr; ++i)
                for (int c = 0; c < m_channels; ++c)
                    heard.push_back(audio.p_data[c * stride + i]);
            NDIlib_framesync_free_audio(m_sync, &audio);
            if (tonecheck::matchingWindows(heard, expected, kWindow, kRate, &mismatch) >= kWanted)
                return true;
        }
        return false;
    }

private:
    int m_channels;
    NDIlib_recv_instance_t m_receiver = nullptr;
    NDIlib_framesync_instance_t m_sync = nullptr;
};

// The ALSA device lists both directions, and a tone played into the virtual source arrives on
// the network on the device's first two channels, the further ones silent.
TEST(PipeWireAlsa, ScanListsTheDeviceAndTheCapturedToneArrivesOnTheNetwork)
{
    if (!g_alsaUnavailable.empty())
        GTEST_SKIP() << "PipeWire's ALSA plug-in cannot be loaded: " << g_alsaUnavailable;
    const ScanLists s = scanDevices();
    const int in = s.inputs.indexOf(QStringLiteral("ALSA  pipewire"));
    const int out = s.outputs.indexOf(QStringLiteral("ALSA  pipewire"));
    ASSERT_GE(in, 0) << s.inputs.join(QLatin1Char('|')).toStdString();
    ASSERT_GE(out, 0) << s.outputs.join(QLatin1Char('|')).toStdString();
    EXPECT_GE(s.inputChannels.at(in).toInt(), 2);
    EXPECT_GE(s.outputChannels.at(out).toInt(), 2);
    EXPECT_TRUE(s.duplex.contains(QStringLiteral("pipewire")));

    const auto player = g_session->start(
        {"pw-play", "--target", "0", "-P", "node.name=veltrin-test-tone", g_toneFile}, "pw-play");
    const std::string source = PipeWireSession::kSourceNode;
    ASSERT_TRUE(g_session->link("veltrin-test-tone:output_FL", source + ":input_FL"))
        << g_session->logTail("pw-play");
    ASSERT_TRUE(g_session->link("veltrin-test-tone:output_FR", source + ":input_FR"));

    const std::string name = "PipeWire ALSA Capture";
    RunningEntry entry([&] { return process_input("pipewire", name, 0.0f, kBlock, kRate); });
    const std::string full = findSource(name);
    ASSERT_FALSE(full.empty()) << "the source " << name << " was never listed";
    {
        // The device is opened with 64 channels; two beyond the tone's must stay silent.
        ToneListener listener(full, 4);
        std::string mismatch;
        EXPECT_TRUE(listener.hearsTone(mismatch)) << mismatch;
    }
    stopAudioInput();
    ASSERT_TRUE(entry.returned(10000));
    EXPECT_EQ(entry.result(), 1);
}

// PipeWire restarting under a capture on its ALSA device: the loss is reported, the source
// stays on the network, and once the graph is back the device is reopened and the tone arrives
// again, with the stream's stop still in order.
TEST(PipeWireAlsa, ACaptureCarriesOnWhenPipeWireRestarts)
{
    if (!g_alsaUnavailable.empty())
        GTEST_SKIP() << "PipeWire's ALSA plug-in cannot be loaded: " << g_alsaUnavailable;
    const std::string source = PipeWireSession::kSourceNode;
    const auto playTone = [&] {
        auto player = g_session->start(
            {"pw-play", "--target", "0", "-P", "node.name=veltrin-test-tone", g_toneFile},
            "pw-play");
        const bool linked = g_session->link("veltrin-test-tone:output_FL", source + ":input_FL")
                            && g_session->link("veltrin-test-tone:output_FR", source + ":input_FR");
        return linked ? std::move(player) : nullptr;
    };
    auto player = playTone();
    ASSERT_TRUE(player) << g_session->logTail("pw-play");

    const std::string name = "PipeWire ALSA Restart";
    RunningEntry entry([&] { return process_input("pipewire", name, 0.0f, kBlock, kRate); });
    const std::string full = findSource(name);
    ASSERT_FALSE(full.empty()) << "the source " << name << " was never listed";
    std::string mismatch;
    EXPECT_TRUE(ToneListener(full, 2).hearsTone(mismatch)) << mismatch;

    player.reset();
    ASSERT_TRUE(g_session->restart()) << g_session->error();
    EXPECT_TRUE(enginetest::waitFor([] { return inputHealth.losses.load() >= 1; }, 10000));
    player = playTone();
    ASSERT_TRUE(player) << g_session->logTail("pw-play");
    EXPECT_TRUE(enginetest::waitFor([] { return inputHealth.returns.load() >= 1; }, 15000));
    EXPECT_FALSE(findSource(name).empty());
    EXPECT_TRUE(ToneListener(full, 2).hearsTone(mismatch)) << mismatch;

    stopAudioInput();
    ASSERT_TRUE(entry.returned(10000));
    EXPECT_EQ(entry.result(), 1);
    EXPECT_EQ(inputHealth.losses.load(), 1u);
}

// The interleaved float samples of a WAV file that pw-record wrote (its data chunk up to the end
// of the file, whatever length its header claims).
std::vector<float> readFloatWav(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0) {
            samples.resize((bytes.size() - at - 8) / sizeof(float));
            std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * sizeof(float));
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

// The device named `name` in one list of `devices --json`, or an empty object.
QJsonObject listed(const std::string &json, const char *list, const char *name)
{
    const size_t first = json.find('{'), last = json.rfind('}');
    if (first == std::string::npos || last == std::string::npos)
        return {};
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.substr(first, last - first + 1)))
            .object();
    for (const QJsonValue &d : root.value(QLatin1String(list)).toArray())
        if (d.toObject().value(QStringLiteral("name")).toString() == QLatin1String(name))
            return d.toObject();
    return {};
}

// A desktop's PipeWire and veltrin-cli started as from a shell: the program finds PipeWire's
// JACK library by itself, lists the stand-in card by name, asks the graph for its block size,
// and a tone played into the card's input is published on the network, received by a second
// veltrin-cli and played out of the card.
TEST(PipeWireDesktop, TheCardIsListedByNameAndAToneGoesThroughBothWays)
{
    // The desktop's session takes PIPEWIRE_RUNTIME_DIR for a while; the other cases use the
    // first session's.
    const std::string outer = g_session->directory() + "/runtime";
    pwtest::PipeWireConfig config;
    config.rate = kRate;
    config.desktopClock = true;
    config.nodes = {{"studio-card-out", "Studio Card Out", "Audio/Sink", 2},
                    {"studio-card-in", "Studio Card In", "Audio/Source/Virtual", 2}};
    std::unique_ptr<PipeWireSession> desktop = std::make_unique<PipeWireSession>(config);
    struct Restore {
        std::string dir;
        ~Restore() { setenv("PIPEWIRE_RUNTIME_DIR", dir.c_str(), 1); }
    } restore{outer};
    if (!desktop->running())
        GTEST_SKIP() << desktop->error();
    if (veltrin::audio::pipeWireJackDir().empty())
        GTEST_SKIP() << "PipeWire's JACK library is not installed (package pipewire-jack)";

    std::string devices;
    ASSERT_EQ(desktop->run({VELTRIN_CLI, "devices", "--json"}, &devices, 20000), 0) << devices;
    const QJsonObject in = listed(devices, "input", "Studio Card In");
    const QJsonObject out = listed(devices, "output", "Studio Card Out");
    EXPECT_EQ(in.value(QStringLiteral("channels")).toInt(), 2) << devices;
    EXPECT_EQ(in.value(QStringLiteral("defaultSampleRate")).toInt(), kRate) << devices;
    EXPECT_EQ(out.value(QStringLiteral("channels")).toInt(), 2) << devices;
    EXPECT_EQ(out.value(QStringLiteral("defaultSampleRate")).toInt(), kRate) << devices;

    const auto player = desktop->start(
        {"pw-play", "--target", "0", "-P", "node.name=veltrin-test-tone", g_toneFile}, "pw-play");
    ASSERT_TRUE(desktop->link("veltrin-test-tone:output_FL", "studio-card-in:input_FL"))
        << desktop->logTail("pw-play");
    ASSERT_TRUE(desktop->link("veltrin-test-tone:output_FR", "studio-card-in:input_FR"));
    const std::string name = "Desktop Route";
    const auto send = desktop->start(
        {VELTRIN_CLI, "send", "--device", "Studio Card In", "--name", name, "--frames", "512"},
        "send");
    const std::string full = findSource(name);
    ASSERT_FALSE(full.empty()) << desktop->logTail("send");
    std::string mismatch;
    EXPECT_TRUE(ToneListener(full, 2).hearsTone(mismatch)) << mismatch;

    const auto play = desktop->start(
        {VELTRIN_CLI, "play", "--device", "Studio Card Out", "--source", full, "--frames", "512"},
        "play");
    // What the card plays, from its monitor, once the player has had time to start.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string recording = desktop->directory() + "/card-out.wav";
    {
        const auto recorder = desktop->start({"pw-record", "--target", "studio-card-out", "-P",
                                              "{ stream.capture.sink = true }", "--format", "f32",
                                              "--rate", std::to_string(kRate), "--channels", "2",
                                              recording},
                                             "pw-record");
        std::this_thread::sleep_for(std::chrono::seconds(3));
        recorder->stop(SIGINT, 5000);
    }
    EXPECT_GE(tonecheck::matchingWindows(readFloatWav(recording), kStereo, kWindow, kRate,
                                         &mismatch),
              kWanted)
        << mismatch << "\n" << desktop->logTail("play");

    // Both streams asked the graph for their block (not the default 256) as its quantum.
    std::string graph;
    desktop->run({"pw-dump"}, &graph, 10000);
    size_t asked = 0;
    for (size_t at = graph.find("\"node.latency\": \"512/48000\""); at != std::string::npos;
         at = graph.find("\"node.latency\": \"512/48000\"", at + 1))
        ++asked;
    EXPECT_EQ(asked, 2u);

    for (pwtest::ChildProgram *program : {send.get(), play.get()})
        EXPECT_TRUE(program->stop(SIGINT, 10000));
    EXPECT_NE(desktop->logTail("send").find("(JACK Audio Connection Kit, 2 channels, 48000 Hz"),
              std::string::npos)
        << desktop->logTail("send");
    EXPECT_EQ(desktop->logTail("send").find("pipewire-jack"), std::string::npos);
}

size_t heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// PipeWire's ALSA plug-in strands libpipewire's process-wide state each time alsa-lib unloads it,
// about 17 KB per Pa_Initialize/Pa_Terminate, unless the library is kept loaded.
TEST(PipeWireAlsaPlugin, RepeatedScansKeepOneCopyOfTheClientState)
{
    if (!g_alsaUnavailable.empty())
        GTEST_SKIP() << "PipeWire's ALSA plug-in cannot be loaded: " << g_alsaUnavailable;
    for (int i = 0; i < 3; ++i)
        scanDevices();
    const size_t before = heapInUse();
    constexpr int kScans = 20;
    for (int i = 0; i < kScans; ++i)
        scanDevices();
    const long long grown = static_cast<long long>(heapInUse()) - static_cast<long long>(before);
    // Stranded copies would add 340 KB here; with one copy kept the heap grew by 5 to 42 KB
    // (alsa-lib's and glibc's own one-off allocations among them).
    EXPECT_LT(grown, kScans * 5000) << grown << " bytes more after " << kScans << " scans";
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    PipeWireSession session(pwtest::PipeWireConfig::testDevices(kRate, kBlock));
    g_session = &session;
    if (session.running()) {
        // Before the first Pa_Initialize: alsa-lib reads its configuration once.
        pwtest::usePipeWireAlsaPlugin(session.directory(), g_alsaUnavailable);
        g_toneFile = session.directory() + "/tone.wav";
        writeToneWav(g_toneFile, 30);
    } else {
        g_alsaUnavailable = session.error();
    }
    if (!NDIlib_initialize())
        return 1;
    const int result = RUN_ALL_TESTS();
    NDIlib_destroy();
    return result;
}
