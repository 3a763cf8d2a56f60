// veltrin-cli on the PortAudio double, for the device faults a JACK server cannot produce.
//   cli_fake_device busy|open-fails|no-audio COMMAND [OPTIONS]
// One device, "Fake Card" (2 in, 2 out, 48 kHz): "busy" makes PortAudio report it unavailable
// when asked about a format (as ALSA does for a device another program holds); "open-fails"
// accepts the format but fails the stream's opening inside the engine; "no-audio" fails
// PortAudio's initialisation.
#include "Commands.h"
#include "FakePortAudio.h"

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 64;
    const std::string scenario = argv[1];
    fakepa::Table table;
    table.hostApis[0].defaultInputDevice = 0;
    table.hostApis[0].defaultOutputDevice = 0;
    table.devices.push_back({"Fake Card", 0, 2, 2, 48000.0, 0.005, 0.005});
    table.defaultInputDevice = 0;
    table.defaultOutputDevice = 0;
    if (scenario == "busy")
        table.isFormatSupported = [](const PaStreamParameters *, const PaStreamParameters *,
                                     double) { return PaError(paDeviceUnavailable); };
    else if (scenario == "open-fails")
        table.openStreamError = paDeviceUnavailable;
    else if (scenario == "no-audio")
        table.initializeError = paUnanticipatedHostError;
    else
        return 64;
    fakepa::setTable(table);
    return veltrin::cli::run(std::vector<std::string>(argv + 2, argv + argc));
}
