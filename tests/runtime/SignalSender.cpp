// Test program: publishes the test signal as an NDI source through the NDI interface, paced
// like a sound card, until SIGTERM or until time runs out.
//   veltrin_rt_signal_sender NAME SECONDS [RATE CHANNELS BLOCK]
// Prints "sending" once the sender exists.
#include "NdiLib.h"
#include "TestSignal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
volatile std::sig_atomic_t stopped = 0;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const std::string name = argv[1];
    const double seconds = std::atof(argv[2]);
    std::signal(SIGTERM, [](int) { stopped = 1; });
    if (!NDIlib_initialize())
        return 1;
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name.c_str();
    NDIlib_send_instance_t sender = NDIlib_send_create(&settings);
    if (sender == nullptr)
        return 1;
    std::printf("sending\n");
    std::fflush(stdout);
    auto more = [&](double elapsed) { return elapsed < seconds && !stopped; };
    veltrin::test::sendPaced(
        argc > 3 ? std::atoi(argv[3]) : 48000, argc > 4 ? std::atoi(argv[4]) : 2,
        argc > 5 ? std::atoi(argv[5]) : 256, more,
        [&](const NDIlib_audio_frame_v2_t &audio) { NDIlib_send_send_audio_v2(sender, &audio); });
    NDIlib_send_destroy(sender);
    NDIlib_destroy();
    return 0;
}
