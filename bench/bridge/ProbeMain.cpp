// One probe of the bridge benchmark as a process of its own, on one JACK server:
//   veltrin_bridge_probe --client NAME --log FILE [--server NAME] [--channels 2]
//                        [--role both|emit|listen] [--spacing-ms 50] [--tone-hz 1000]
// Prints "ready" once its ports exist and its client runs, then records until SIGINT or
// SIGTERM and exits after writing out the rest of its log. The ports are NAME:out_k (emit)
// and NAME:in_k (listen); whoever starts it connects them.
#include "ImpulseProbe.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    veltrin::bench::ProbeConfig config;
    std::string role = "both";
    bool valid = true;
    for (int i = 1; i < argc && valid; ++i) {
        const std::string option = argv[i];
        const char *value = i + 1 < argc ? argv[++i] : nullptr;
        if (value == nullptr)
            valid = false;
        else if (option == "--client")
            config.name = value;
        else if (option == "--server")
            config.server = value;
        else if (option == "--log")
            config.logPath = value;
        else if (option == "--channels")
            config.channels = std::atoi(value);
        else if (option == "--role")
            role = value;
        else if (option == "--spacing-ms")
            config.spacingSeconds = std::atof(value) / 1000;
        else if (option == "--tone-hz")
            config.toneHz = std::atof(value);
        else
            valid = false;
    }
    config.emit = role == "both" || role == "emit";
    config.listen = role == "both" || role == "listen";
    if (!valid || config.name.empty() || config.logPath.empty() || config.channels < 1
        || config.channels > 256 || !(config.emit || config.listen) || !(config.spacingSeconds > 0)
        || !(config.toneHz > 0)) {
        std::fprintf(stderr,
                     "usage: %s --client NAME --log FILE [--server NAME] [--channels 2]\n"
                     "       [--role both|emit|listen] [--spacing-ms 50] [--tone-hz 1000]\n",
                     argv[0]);
        return 2;
    }

    // Taken by sigwait below; JACK's threads, started from here, inherit the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    veltrin::bench::ImpulseProbe probe(config);
    if (!probe.ok()) {
        std::fprintf(stderr, "the probe cannot join JACK server '%s' or write '%s'\n",
                     config.server.c_str(), config.logPath.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
