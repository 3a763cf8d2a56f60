#include "CliTestSupport.h"

#include "ToneCheck.h"

#include <QDir>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace clitest {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

CliProcess::CliProcess(const QStringList &arguments)
    : ChildProgram([&] {
          std::vector<std::string> argv{VELTRIN_CLI};
          for (const QString &argument : arguments)
              argv.push_back(argument.toStdString());
          return argv;
      }())
{
}

ToneSender::ToneSender(const std::string &name, double frequency, float amplitude)
    : m_thread([this, name, frequency, amplitude] {
          NDIlib_send_create_t settings;
          settings.p_ndi_name = name.c_str();
          settings.clock_audio = false; // paced here
          NDIlib_send_instance_t sender = NDIlib_send_create(&settings);
          constexpr int kBlock = 256;
          std::vector<float> planar(2 * kBlock);
          const auto start = Clock::now();
          for (long long frame = 0; sender != nullptr && !m_stop.load(); frame += kBlock) {
              std::this_thread::sleep_until(start + microseconds(frame * 1000000 / kRate));
              for (int i = 0; i < 2 * kBlock; ++i)
                  planar[size_t(i)] = amplitude
                                      * float(std::sin(2.0 * M_PI * frequency
                                                       * double(frame + i % kBlock) / kRate));
              NDIlib_audio_frame_v2_t audio; // 48 kHz stereo
              audio.no_samples = kBlock;
              audio.p_data = planar.data();
              audio.channel_stride_in_bytes = kBlock * int(sizeof(float));
              NDIlib_send_send_audio_v2(sender, &audio);
          }
          if (sender != nullptr)
              NDIlib_send_destroy(sender);
      })
{
}

ToneSender::~ToneSender()
{
    m_stop = true;
    m_thread.join();
}

bool hearTone(const std::string &source, double frequency, double amplitude, int count,
              int timeoutMs)
{
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = source.c_str();
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v3(&settings);
    NDIlib_framesync_instance_t sync = NDIlib_framesync_create(receiver);
    constexpr int kBlock = 2048;
    const auto start = Clock::now(), deadline = start + std::chrono::milliseconds(timeoutMs);
    int run = 0;
    for (long long frame = 0; run < count && Clock::now() < deadline; frame += kBlock) {
        std::this_thread::sleep_until(start + microseconds(frame * 1000000 / kRate));
        NDIlib_audio_frame_v2_t audio;
        NDIlib_framesync_capture_audio(sync, &audio, kRate, 2, kBlock);
        const size_t stride = size_t(audio.channel_stride_in_bytes) / sizeof(float);
        const bool full = audio.p_data != nullptr && audio.no_samples == kBlock;
        bool tone = full || amplitude == 0.0;
        for (size_t channel = 0; full && tone && channel < 2; ++channel)
            tone = tonecheck::matches(
                tonecheck::measure(audio.p_data + channel * stride, kBlock, 1, kRate),
                {frequency, amplitude});
        NDIlib_framesync_free_audio(sync, &audio);
        run = tone ? run + 1 : 0;
    }
    NDIlib_framesync_destroy(sync);
    NDIlib_recv_destroy(receiver);
    return run >= count;
}

QString useNdiHome(const QString &home, const QByteArray &config)
{
    QFile file(QDir(home).filePath(QStringLiteral(".ndi/ndi-config.v1.json")));
    if (!QDir(home).mkpath(QStringLiteral(".ndi")) || !file.open(QIODevice::WriteOnly)
        || file.write(config) != config.size())
        return {};
    setenv("HOME", home.toUtf8().constData(), 1);
    return file.fileName();
}

} // namespace clitest
