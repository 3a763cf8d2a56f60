// One side of Veltrin's bridge for the bridge benchmark, as a process of its own so that its CPU
// time can be read from /proc and so that it has its own PortAudio JACK client:
//   veltrin_bridge_peer send <client> <frames per buffer> <rate> <NDI name> [device]
//   veltrin_bridge_peer recv <client> <frames per buffer> <rate> <NDI name> [device]
// "send" captures the device (the JACK device "system" unless named) with process_input and
// publishes it under the name; "recv" plays that source with process_output. Both run until
// SIGTERM or SIGINT.
#include "Audio.Capture.Playback.h"
#include "AudioRoute.h"
#include "Discovery.h"
#include "JackHarness.h"
#include "NdiLib.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s send|recv <client> <frames> <rate> <NDI name> [device]\n",
                     argv[0]);
        return 2;
    }
    // As the programs do: this may run the peer again on PipeWire's JACK library.
    veltrin::audio::chooseAudioRoute(argv);
    std::fprintf(stderr, "%s\n", veltrin::audio::audioRoute().note.c_str());
    const std::string device = argc == 7 ? argv[6] : "system";
    const std::string role = argv[1];
    const auto frames = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const auto rate = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
    const std::string name = argv[5];

    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    if (!NDIlib_initialize()) {
        std::fprintf(stderr, "the NDI runtime cannot start\n");
        return 1;
    }
    setPortAudioJackClientName(argv[2]);
    int result = 0;
    std::thread stream;
    if (role == "send") {
        stream = std::thread([&] { result = process_input(device, name, 0.0f, frames, rate); });
    } else {
        const std::string source =
            veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name);
        stream = std::thread(
            [&, source] { result = process_output(device, source, 0.0f, frames, rate); });
    }
    int signal = 0;
    sigwait(&stop, &signal);
    if (role == "send")
        stopAudioInput();
    else
        stopAudioOutput();
    stream.join();
    NDIlib_destroy();
    return result == 1 ? 0 : 1;
}
