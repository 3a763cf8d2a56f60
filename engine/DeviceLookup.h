// Which PortAudio device a stream entry opens for the device text it was given: a lookup of
// the device list, kept apart from the entries so that it is tested as a table. Called by the
// entries on their worker threads with the session they hold.
#pragma once

#include <string>

namespace veltrin::audio {
class PortAudioSession;
}

enum class DeviceDirection { Input, Output, Duplex };

// By name (case-insensitive, any direction), then by 1-based ordinal among the `deviceCount`
// devices of the direction (strtol rules), then the lowest device that is a default of
// PortAudio or of its own host API; duplex only when both defaults are one device. -1 when
// nothing is chosen.
int findDevice(const veltrin::audio::PortAudioSession &portAudio, const std::string &device,
               int deviceCount, DeviceDirection direction);
