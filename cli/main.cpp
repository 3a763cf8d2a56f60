// veltrin-cli: the command-line front end of Veltrin (see Commands.h and --help).
#include "AudioRoute.h"
#include "Commands.h"

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    // Before anything else: it may run the program again on PipeWire's JACK library.
    veltrin::audio::chooseAudioRoute(argv);
    return veltrin::cli::run(std::vector<std::string>(argv + 1, argv + argc));
}
