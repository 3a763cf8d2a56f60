// Test program: publishes the test signal as an NDI source through the NDI interface, paced
// like a sound card (absolute schedule), until its standard input closes or time runs out.
//   veltrin_rt_signal_sender NAME SECONDS [RATE CHANNELS BLOCK]
// Prints "sending" once the sender exists.
#include "NdiLib.h"
#include "TestSignal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name.c_str();
    NDIlib_send_instance_t sender = NDIlib_send_create(&settings);
    if (sender == nullptr)
        return 1;
    std::printf("sending\n");
    std::fflush(stdout);
    std::vector<float> planar(size_t(block) * size_t(channels));
    const auto start = std::chrono::steady_clock::now();
    int64_t frame = 0;
    for (;;) {
        const double elapsed = double(frame) / rate;
        if (elapsed >= seconds)
            break;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 0) == 1) {
            char c;
            if (read(STDIN_FILENO, &c, 1) <= 0)
                break;
        }
        std::this_thread::sleep_until(start + std::chrono::duration<double>(elapsed));
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < block; ++i)
                planar[size_t(c) * size_t(block) + size_t(i)] =
                    veltrin::test::signalValue(frame + i, c);
        NDIlib_audio_frame_v2_t audio;
        audio.sample_rate = rate;
        audio.no_channels = channels;
        audio.no_samples = block;
        audio.p_data = planar.data();
        audio.channel_stride_in_bytes = block * int(sizeof(float));
        NDIlib_send_send_audio_v2(sender, &audio);
        frame += block;
    }
    NDIlib_send_destroy(sender);
    NDIlib_destroy();
    return 0;
}
