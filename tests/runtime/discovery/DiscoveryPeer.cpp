// A discovery peer for the multi-process tests: announces one source and, with --browse,
// prints every change of its source list as lines "SOURCES name=address;name=address;".
// It runs until SIGTERM (and then says goodbye) or until it is killed.
//
//   veltrin_discovery_peer [--announce NAME PORT] [--machine NAME] [--browse]

#include "Discovery.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

using veltrin::rt::Announcer;
using veltrin::rt::Browser;
using veltrin::rt::DiscoveryConfig;

namespace {
volatile std::sig_atomic_t stopped = 0;
}

int main(int argc, char **argv)
{
    DiscoveryConfig config;
    std::string name;
    int port = 0;
    bool browse = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--announce" && i + 2 < argc) {
            name = argv[++i];
            port = std::atoi(argv[++i]);
        } else if (arg == "--machine" && i + 1 < argc) {
            config.machineName = argv[++i];
        } else if (arg == "--browse") {
            browse = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    std::signal(SIGTERM, [](int) { stopped = 1; });
    std::unique_ptr<Announcer> announcer;
    if (!name.empty())
        announcer = std::make_unique<Announcer>(config, name, static_cast<uint16_t>(port));
    std::unique_ptr<Browser> browser;
    if (browse)
        browser = std::make_unique<Browser>(config);
    std::printf("READY\n");
    std::fflush(stdout);

    while (!stopped) {
        if (browser && browser->waitForChange(200)) {
            std::string line = "SOURCES ";
            for (const auto &source : browser->sources())
                line += source.name + '=' + source.address + ';';
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        } else if (!browser) {
            usleep(200000);
        }
    }
    return 0;
}
