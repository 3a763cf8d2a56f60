// The audio devices as PortAudio reports them, and the choice of one from what a user types.
//
// The choosing is pure (a table in, a device or a reason out) so that it is the same for every
// caller; the table is the listing of a PortAudio session (audio/), and checking a format asks
// that session, on the caller's thread.
#pragma once

#include "Options.h"
#include "PortAudioSession.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::cli {

enum class Direction { Input, Output, Duplex };

using AudioDevice = audio::Device;

// The engine opens at most this many channels per direction.
constexpr int kEngineMaxChannels = 64;
// The channels the engine opens on a side of a device that has `channels`.
constexpr int engineChannels(int channels)
{
    return std::min(channels, kEngineMaxChannels);
}

bool hasDirection(const AudioDevice &device, Direction direction);
// "HostAPI  Device", as the window's device lists show it.
std::string entryText(const AudioDevice &device);
// "input", "output", "duplex".
const char *directionWord(Direction direction);

struct DeviceChoice {
    std::optional<AudioDevice> device;
    std::string error; // one line, when no device was chosen
};

// Chooses from `all` (in PortAudio index order) the device `text` names for `direction`: an
// entry text or a device name (letter case ignored; the first match wins), else the 1-based
// number among the devices of that direction, as 'veltrin-cli devices' numbers them.
DeviceChoice chooseDevice(const std::vector<AudioDevice> &all, const std::string &text,
                          Direction direction);

// The device parameter that makes the engine open exactly `chosen`: its name when no device
// before it bears the same name, otherwise its number in the direction. Empty when neither
// would do (a device named like that number sits in the way).
std::string engineDeviceParameter(const std::vector<AudioDevice> &all, const AudioDevice &chosen,
                                  Direction direction);

struct FormatCheck {
    ExitCode code = kExitOk;
    std::string error; // one line, when code is not kExitOk
};

// Asks `portAudio` whether `device` opens for `direction` at `rate` with the channels and
// latencies the engine will ask for. A device another program holds, a rate or a channel count
// it refuses give kExitDeviceRefused and the reason.
FormatCheck checkFormat(const audio::PortAudioSession &portAudio, const AudioDevice &device,
                        Direction direction, unsigned rate);
// What PortAudio's answer `result` to that check means for the user.
FormatCheck formatVerdict(const AudioDevice &device, Direction direction, unsigned rate,
                          PaError result);

} // namespace veltrin::cli
