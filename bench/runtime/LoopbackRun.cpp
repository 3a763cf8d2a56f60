// Whole-path run on loopback: a sender paced like a sound card, a receiver and a frame
// synchroniser pulled like a sound card, all in this process over real sockets. Prints the CPU
// this process used (share of one core), and every loss counter, at the end and every 10 s.
// With "figures", a thread also reads both ends' figures once a second and makes the text
// line of each, as veltrin-cli --stats does, so that two runs show what reading them costs.
//   veltrin_loopback_run RATE CHANNELS SECONDS [PULL_RATE] [BLOCK] [figures]
#include "FiguresText.h"
#include "FrameSync.h"
#include "Receiver.h"
#include "Sender.h"
#include "StreamFigures.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace veltrin::rt;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s RATE CHANNELS SECONDS [PULL_RATE] [BLOCK]\n", argv[0]);
        return 2;
    }
    const int rate = std::atoi(argv[1]);
    const int channels = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    const int pullRate = argc > 4 ? std::atoi(argv[4]) : rate;
    const int block = argc > 5 ? std::atoi(argv[5]) : 256;
    const bool figures = argc > 6 && std::strcmp(argv[6], "figures") == 0;

    Sender sender(true);
    Receiver receiver("", "127.0.0.1:" + std::to_string(sender.port()));
    FrameSync sync;
    receiver.attach(&sync);
    std::atomic<bool> stop{false};

    std::thread source([&] {
        std::vector<float> planar(size_t(block) * size_t(channels));
        const auto start = Clock::now();
        int64_t frame = 0;
        while (!stop.load()) {
            std::this_thread::sleep_until(start
                                          + std::chrono::duration<double>(double(frame) / rate));
            for (int c = 0; c < channels; ++c)
                for (int i = 0; i < block; ++i)
                    planar[size_t(c) * size_t(block) + size_t(i)] =
                        0.25f * float(std::sin(double(frame + i) * 0.05 + c));
            NDIlib_audio_frame_v2_t audio;
            audio.sample_rate = rate;
            audio.no_channels = channels;
            audio.no_samples = block;
            audio.p_data = planar.data();
            audio.channel_stride_in_bytes = block * 4;
            sender.sendAudio(audio);
            frame += block;
        }
    });

    size_t figureBytes = 0;
    std::thread reader([&] {
        auto next = Clock::now();
        while (figures && !stop.load()) {
            next += std::chrono::seconds(1);
            std::this_thread::sleep_until(next);
            const VeltrinNdiFigures r = receiverFigures("receiver", receiver.stats(), &sync);
            const VeltrinNdiFigures s = senderFigures("sender", sender.stats());
            figureBytes += veltrin::ndi::figuresText(r, 0).size();
            figureBytes += veltrin::ndi::figuresText(s, 0).size();
        }
    });

    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    int64_t frame = 0;
    int64_t silentBlocks = 0;
    double nextReport = 10;
    while (double(frame) / pullRate < seconds) {
        std::this_thread::sleep_until(start
                                      + std::chrono::duration<double>(double(frame) / pullRate));
        NDIlib_audio_frame_v2_t audio;
        sync.capture(audio, pullRate, channels, block);
        bool silent = true;
        for (int i = 0; i < block && silent; ++i)
            silent = audio.p_data[i] == 0.f;
        silentBlocks += silent;
        frame += block;
        const double t = double(frame) / pullRate;
        if (t >= nextReport) {
            nextReport += 10;
            const auto st = sync.stats();
            std::printf("t=%.0f s cpu=%.1f %% underruns=%llu overruns=%llu resyncs=%llu "
                        "fill=%.2f ms target=%.2f ms\n",
                        t, 100 * (cpuSeconds() - cpuStart) / t,
                        static_cast<unsigned long long>(st.underruns),
                        static_cast<unsigned long long>(st.overruns),
                        static_cast<unsigned long long>(st.resyncs), st.fillMs, st.targetMs);
            std::fflush(stdout);
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;
    stop = true;
    source.join();
    reader.join();
    receiver.detach(&sync);
    const auto st = sync.stats();
    const auto ss = sender.stats();
    const auto rs = receiver.stats();
    std::printf(
        "%d ch at %d Hz pulled at %d Hz, %d-frame blocks, %.0f s: cpu %.1f %% of one core; "
        "silent blocks %lld (start-up included); underruns %llu, overruns %llu, resyncs %llu; "
        "sender drops %llu, receiver connections %llu, bad peers %llu; resampling %s; "
        "figures read once a second: %s\n",
        channels, rate, pullRate, block, wall, 100 * cpu / wall,
        static_cast<long long>(silentBlocks), static_cast<unsigned long long>(st.underruns),
        static_cast<unsigned long long>(st.overruns), static_cast<unsigned long long>(st.resyncs),
        static_cast<unsigned long long>(ss.framesDropped + ss.sendErrors),
        static_cast<unsigned long long>(rs.connections),
        static_cast<unsigned long long>(rs.badPeers), st.resampling ? "yes" : "no",
        figures ? "yes" : "no");
    return 0;
}
