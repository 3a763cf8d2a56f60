// Test program: publishes the test signal as an NDI source through the NDI interface, paced
// like a sound card, until SIGTERM or until time runs out.
//   veltrin_rt_signal_sender NAME SECONDS RATE CHANNELS BLOCK
// Prints "sending" once the sender exists.
#include "NdiLib.h"
#include "TestSignal.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {
volatile std::sig_atomic_t stopped = 0;
}

int main(int argc, char **argv)
{
    if (argc < 6 || !NDIlib_initialize())
        return 2;
    std::signal(SIGTERM, [](int) { stopped = 1; });
    NDIlib_send_create_t settings;
    settings.p_ndi_name = argv[1];
    NDIlib_send_instance_t sender = NDIlib_send_create(&settings);
    if (sender == nullptr)
        return 1;
    std::printf("sending\n");
    std::fflush(stdout);
    const int rate = std::atoi(argv[3]), channels = std::atoi(argv[4]), block = std::atoi(argv[5]);
    std::vector<float> planar(size_t(block) * size_t(channels));
    const auto start = std::chrono::steady_clock::now();
    for (int64_t frame = 0; frame < std::atof(argv[2]) * rate && !stopped; frame += block) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(double(frame) / rate));
        const auto audio = veltrin::test::signalBlock(rate, channels, block, frame, planar);
        NDIlib_send_send_audio_v2(sender, &audio);
    }
    NDIlib_send_destroy(sender);
    NDIlib_destroy();
    return 0;
}
