// The audio devices as PortAudio reports them, and the choice of one from what a user types.
//
// The choosing is pure (a table in, a device or a reason out) so that it is the same for every
// caller; reading the table and checking a format talk to PortAudio and run on the caller's
// thread inside a PortAudioSession.
#pragma once

#include "Options.h"

#include <optional>
#include <string>
#include <vector>

namespace veltrin::cli {

enum class Direction { Input, Output, Duplex };

struct AudioDevice {
    int index = -1; // PortAudio's device index
    std::string hostApi;
    std::string name;
    int inputs = 0;  // maximum input channels
    int outputs = 0; // maximum output channels
    double defaultRate = 0.0;
    double inputLatency = 0.0;  // default low input latency, seconds
    double outputLatency = 0.0; // default low output latency, seconds
};

// The engine opens at most this many channels per direction.
constexpr int kEngineMaxChannels = 64;

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

// Pa_Initialize for the life of the object, balanced by Pa_Terminate when it succeeded.
class PortAudioSession
{
public:
    PortAudioSession();
    ~PortAudioSession();
    PortAudioSession(const PortAudioSession &) = delete;
    PortAudioSession &operator=(const PortAudioSession &) = delete;

    bool ok() const { return m_error == 0; }
    std::string errorText() const;

private:
    int m_error;
};

// Every device PortAudio lists, in index order. Needs a session.
std::vector<AudioDevice> readDevices();

struct FormatCheck {
    ExitCode code = kExitOk;
    std::string error; // one line, when code is not kExitOk
};

// Asks PortAudio whether `device` opens for `direction` at `rate` with the channels and
// latencies the engine will ask for. Needs a session. A device another program holds, a rate
// or a channel count it refuses give kExitDeviceRefused and the reason.
FormatCheck checkFormat(const AudioDevice &device, Direction direction, unsigned rate);

} // namespace veltrin::cli
