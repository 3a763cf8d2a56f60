// Test program: receives an NDI source by name through the NDI interface and pulls it like a
// sound card would (absolute schedule), checking the test signal.
//   veltrin_rt_signal_receiver NAME SECONDS [RATE CHANNELS BLOCK]
// Prints, every second, "t=<s> exact=<n> wrong=<n> silent=<n>" (counts over that second).
#include "NdiLib.h"
#include "TestSignal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const std::string name = argv[1];
    const double seconds = std::atof(argv[2]);
    const int rate = argc > 3 ? std::atoi(argv[3]) : 48000;
    const int channels = argc > 4 ? std::atoi(argv[4]) : 2;
    const int block = argc > 5 ? std::atoi(argv[5]) : 256;
    if (!NDIlib_initialize())
        return 1;
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = name.c_str();
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v3(&settings);
    NDIlib_framesync_instance_t sync = NDIlib_framesync_create(receiver);
    veltrin::test::SignalChecker checker(channels);
    const auto start = std::chrono::steady_clock::now();
    int64_t frame = 0;
    int reported = 0;
    while (double(frame) / rate < seconds) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(double(frame) / rate));
        NDIlib_audio_frame_v2_t audio;
        NDIlib_framesync_capture_audio(sync, &audio, rate, channels, block);
        checker.feed(audio.p_data, audio.channel_stride_in_bytes / 4, audio.no_samples);
        NDIlib_framesync_free_audio(sync, &audio);
        frame += block;
        if (frame / rate > reported) {
            reported = int(frame / rate);
            std::printf("t=%d exact=%lld wrong=%lld silent=%lld\n", reported,
                        static_cast<long long>(checker.exact()),
                        static_cast<long long>(checker.wrong()),
                        static_cast<long long>(checker.silent()));
            std::fflush(stdout);
            checker.reset();
        }
    }
    NDIlib_framesync_destroy(sync);
    NDIlib_recv_destroy(receiver);
    NDIlib_destroy();
    return 0;
}
