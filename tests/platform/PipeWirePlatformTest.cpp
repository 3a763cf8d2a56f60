// PipeWire as a platform. A private PipeWire (with WirePlumber) runs a virtual source and a
// virtual sink, reached the two ways a PortAudio program on a PipeWire desktop reaches them:
// PortAudio's ALSA host API on the "pipewire" device of PipeWire's ALSA plug-in (the ALSA
// cases), and PortAudio's JACK host API on PipeWire's libjack (the JACK cases; the program then
// runs under pw-jack). Each route: the device scan lists the devices; a stereo tone that pw-play
// plays into the source arrives on the network through process_input and the built-in runtime;
// a tone sent on the network plays into the sink through process_output, as pw-record hears it.
// Tones are recognised by level and frequency in half a second's worth of windows anywhere in
// what arrives, so a slow start or a lost period changes nothing.
#include "EngineTestSupport.h"
#include "NdiLib.h"
#include "PipeWireHarness.h"
#include "ScanDevice.h"
#include "ToneCheck.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
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
using enginetest::waitFor;
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

float stereoTone(long long frame, int channel)
{
    const Tone &t = kStereo[static_cast<size_t>(channel)];
    return static_cast<float>(t.amplitude
                              * std::sin(2.0 * M_PI * t.frequency * double(frame) / kRate));
}

// A 32-bit float WAV file of `frames` frames; `sample(frame, channel)` gives the values.
bool writeWav(const std::string &path, int rate, int channels, long long frames,
              const std::function<float(long long, int)> &sample)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
    const uint32_t bytes = static_cast<uint32_t>(frames * channels * 4);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3); // IEEE float
    u16(static_cast<uint16_t>(channels));
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate * channels * 4));
    u16(static_cast<uint16_t>(channels * 4));
    u16(32);
    out.write("data", 4);
    u32(bytes);
    std::vector<float> frame(static_cast<size_t>(channels));
    for (long long f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c)
            frame[static_cast<size_t>(c)] = sample(f, c);
        out.write(reinterpret_cast<const char *>(frame.data()),
                  static_cast<std::streamsize>(frame.size() * 4));
    }
    return static_cast<bool>(out);
}

// The interleaved samples of a 32-bit float WAV file, also of one that is still being written
// (its sizes not final): everything after the data chunk's header, whole frames only.
std::vector<float> readWavSamples(const std::string &path, int channels)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Walk the chunks after "RIFF....WAVE" up to "data"; its size field may not be final yet.
    size_t at = 12;
    while (at + 8 <= bytes.size() && bytes.compare(at, 4, "data") != 0) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        at += 8 + size + (size & 1);
    }
    if (at + 8 > bytes.size() || channels <= 0)
        return {};
    at += 8;
    const size_t frameBytes = static_cast<size_t>(channels) * 4;
    const size_t frames = (bytes.size() - at) / frameBytes;
    std::vector<float> samples(frames * static_cast<size_t>(channels));
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data() + at, samples.size() * 4);
    return samples;
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

// Publishes the stereo tone as an NDI source, paced like a sound card, until destroyed.
class ToneSender
{
public:
    explicit ToneSender(const std::string &name)
    {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = name.c_str();
        m_sender = NDIlib_send_create(&settings);
        m_thread = std::thread([this] { run(); });
    }
    ~ToneSender()
    {
        m_stop = true;
        m_thread.join();
        if (m_sender != nullptr)
            NDIlib_send_destroy(m_sender);
    }
    ToneSender(const ToneSender &) = delete;
    ToneSender &operator=(const ToneSender &) = delete;

private:
    void run()
    {
        std::vector<float> planar(2 * kBlock);
        const auto start = std::chrono::steady_clock::now();
        for (long long frame = 0; !m_stop && m_sender != nullptr; frame += kBlock) {
            std::this_thread::sleep_until(start
                                          + std::chrono::microseconds(frame * 1000000 / kRate));
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < kBlock; ++i)
                    planar[size_t(c * kBlock + i)] = stereoTone(frame + i, c);
            NDIlib_audio_frame_v2_t audio;
            audio.sample_rate = kRate;
            audio.no_channels = 2;
            audio.no_samples = kBlock;
            audio.p_data = planar.data();
            audio.channel_stride_in_bytes = kBlock * int(sizeof(float));
            NDIlib_send_send_audio_v2(m_sender, &audio);
        }
    }

    NDIlib_send_instance_t m_sender = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct ScanLists {
    QStringList in, out, chin, chout, inOut;
    QList<double> inRates, outRates;
};

ScanLists scanDevices()
{
    ScanDevice scanner;
    ScanLists s;
    QObject::connect(
        &scanner, &ScanDevice::toDevList,
        [&s](const QStringList &in, const QStringList &out, const QStringList &chin,
             const QStringList &chout, const QList<double> &inRates,
             const QList<double> &outRates) { s = {in, out, chin, chout, {}, inRates, outRates}; });
    QObject::connect(&scanner, &ScanDevice::toInOutDev,
                     [&s](const QStringList &inOut) { s.inOut = inOut; });
    scanner.scan();
    return s;
}

// One way from PortAudio to PipeWire.
struct Route {
    std::string name;
    std::string hostApi;
    std::string captureDevice, playbackDevice;
};

std::ostream &operator<<(std::ostream &out, const Route &r)
{
    return out << r.name;
}

class PipeWireRoute : public ::testing::TestWithParam<Route>
{
protected:
    void SetUp() override
    {
        if (!g_session->running())
            GTEST_SKIP() << g_session->error();
        if (GetParam().name == "ALSA" && !g_alsaUnavailable.empty())
            GTEST_SKIP() << "PipeWire's ALSA plug-in cannot be loaded: " << g_alsaUnavailable;
        std::string libjack;
        if (GetParam().name == "JACK" && !pwtest::pipeWireJackLoaded(libjack))
            GTEST_SKIP() << "this program does not run on PipeWire's libjack (loaded: "
                         << (libjack.empty() ? "none" : libjack)
                         << "); run it under pw-jack from pipewire-jack";
    }
};

TEST_P(PipeWireRoute, DeviceScanListsTheVirtualDevices)
{
    const Route &r = GetParam();
    const ScanLists s = scanDevices();
    const QString api = QString::fromStdString(r.hostApi) + QStringLiteral("  ");
    const QString capture = api + QString::fromStdString(r.captureDevice);
    const QString playback = api + QString::fromStdString(r.playbackDevice);
    const int in = s.in.indexOf(capture), out = s.out.indexOf(playback);
    ASSERT_GE(in, 0) << s.in.join(QLatin1Char('|')).toStdString();
    ASSERT_GE(out, 0) << s.out.join(QLatin1Char('|')).toStdString();
    // At least the virtual devices' two channels; the ALSA device offers more and maps the first
    // two to the devices' left and right.
    EXPECT_GE(s.chin.at(in).toInt(), 2);
    EXPECT_GE(s.chout.at(out).toInt(), 2);
    if (r.name == "JACK") {
        // Through JACK the devices run at the graph's rate.
        EXPECT_EQ(s.inRates.at(in), kRate);
        EXPECT_EQ(s.outRates.at(out), kRate);
    } else {
        // One ALSA device does both directions, so it is offered for the duplex page too.
        EXPECT_TRUE(s.inOut.contains(QString::fromStdString(r.captureDevice)));
    }
}

TEST_P(PipeWireRoute, CapturedToneArrivesOnTheNetwork)
{
    const Route &r = GetParam();
    const auto player = g_session->start(
        {"pw-play", "--target", "0", "-P", "node.name=veltrin-test-tone", g_toneFile}, "pw-play");
    const std::string source = PipeWireSession::kSourceNode;
    ASSERT_TRUE(g_session->link("veltrin-test-tone:output_FL", source + ":input_FL"))
        << g_session->logTail("pw-play");
    ASSERT_TRUE(g_session->link("veltrin-test-tone:output_FR", source + ":input_FR"));

    const std::string name = "PipeWire " + r.name + " Capture";
    RunningEntry entry([&] { return process_input(r.captureDevice, name, 0.0f, kBlock, kRate); });
    const std::string full = findSource(name);
    ASSERT_FALSE(full.empty()) << "the source " << name << " was never listed";
    {
        // Four channels: the two of the tone and two that must stay silent (the ALSA device is
        // opened with 64 channels, JACK's with the source's two).
        ToneListener listener(full, 4);
        std::string mismatch;
        EXPECT_TRUE(listener.hearsTone(mismatch)) << mismatch;
    }
    stopAudioInput();
    ASSERT_TRUE(entry.returned(10000));
    EXPECT_EQ(entry.result(), 1);
}

TEST_P(PipeWireRoute, ReceivedTonePlaysIntoTheSink)
{
    const Route &r = GetParam();
    const std::string recording = g_session->directory() + "/sink-" + r.name + ".wav";
    const auto recorder = g_session->start(
        {"pw-record", "--target", PipeWireSession::kSinkNode, "-P", "stream.capture.sink=true",
         "--rate", std::to_string(kRate), "--channels", "2", "--format", "f32", recording},
        "pw-record");
    const std::string name = "PipeWire " + r.name + " Tone";
    ToneSender sender(name);
    const std::string full = findSource(name);
    ASSERT_FALSE(full.empty()) << "the source " << name << " was never listed";

    RunningEntry entry([&] { return process_output(r.playbackDevice, full, 0.0f, kBlock, kRate); });
    std::string mismatch;
    const bool heard = waitFor(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return tonecheck::matchingWindows(readWavSamples(recording, 2), kStereo, kWindow, kRate,
                                              &mismatch)
                   >= kWanted;
        },
        kWaitMs);
    EXPECT_TRUE(heard) << mismatch << "\n" << g_session->logTail("pw-record");
    stopAudioOutput();
    ASSERT_TRUE(entry.returned(10000));
    EXPECT_EQ(entry.result(), 1);
}

INSTANTIATE_TEST_SUITE_P(Routes, PipeWireRoute,
                         ::testing::Values(Route{"ALSA", "ALSA", "pipewire", "pipewire"},
                                           Route{"JACK", "JACK Audio Connection Kit",
                                                 PipeWireSession::kSourceDescription,
                                                 PipeWireSession::kSinkDescription}),
                         [](const ::testing::TestParamInfo<Route> &route) {
                             return route.param.name;
                         });

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
        writeWav(g_toneFile, kRate, 2, 30LL * kRate, stereoTone);
    } else {
        g_alsaUnavailable = session.error();
    }
    if (!NDIlib_initialize())
        return 1;
    const int result = RUN_ALL_TESTS();
    NDIlib_destroy();
    return result;
}
