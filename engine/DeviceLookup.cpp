#include "DeviceLookup.h"

#include "PortAudioSession.h"

#include <cstdlib>

using veltrin::audio::PortAudioSession;

namespace {

bool passesFilter(const PaDeviceInfo *info, DeviceDirection direction)
{
    if (info == nullptr)
        return false;
    switch (direction) {
    case DeviceDirection::Input:
        return info->maxInputChannels > 0;
    case DeviceDirection::Output:
        return info->maxOutputChannels > 0;
    case DeviceDirection::Duplex:
        return info->maxInputChannels > 0 && info->maxOutputChannels > 0;
    }
    return false;
}

// The lowest-numbered device that is the default of PortAudio as a whole or of its own host API.
int defaultDevice(const PortAudioSession &portAudio, DeviceDirection direction)
{
    const int count = portAudio.deviceCount();
    if (count < 1)
        return -1;
    const PaDeviceIndex global = direction == DeviceDirection::Input
                                     ? portAudio.defaultInputDevice()
                                     : portAudio.defaultOutputDevice();
    for (int i = 0; i < count; ++i) {
        if (i == global)
            return i;
        const PaDeviceInfo *info = portAudio.deviceInfo(i);
        if (info == nullptr)
            continue;
        const PaHostApiInfo *api = portAudio.hostApiInfo(info->hostApi);
        if (api == nullptr)
            continue;
        const PaDeviceIndex apiDefault = direction == DeviceDirection::Input
                                             ? api->defaultInputDevice
                                             : api->defaultOutputDevice;
        if (i == apiDefault)
            return i;
    }
    return -1;
}

int get_default_pa_input_device(const PortAudioSession &portAudio)
{
    return defaultDevice(portAudio, DeviceDirection::Input);
}

int get_default_pa_output_device(const PortAudioSession &portAudio)
{
    return defaultDevice(portAudio, DeviceDirection::Output);
}

} // namespace

// By name (case-insensitive, any direction), then by 1-based ordinal among the devices of the
// direction, then the default device. Returns -1 when nothing is chosen.
int findDevice(const PortAudioSession &portAudio, const std::string &device, int deviceCount,
               DeviceDirection direction)
{
    const PaDeviceIndex named = portAudio.findByName(device);
    if (named != paNoDevice)
        return named;

    const int k = static_cast<int>(std::strtol(device.c_str(), nullptr, 10));
    if (k != 0 && k <= deviceCount && deviceCount > 0) {
        int seen = 0;
        for (int i = 0; i < deviceCount; ++i) {
            if (passesFilter(portAudio.deviceInfo(i), direction) && ++seen == k)
                return i;
        }
    }

    switch (direction) {
    case DeviceDirection::Input:
        return get_default_pa_input_device(portAudio);
    case DeviceDirection::Output:
        return get_default_pa_output_device(portAudio);
    case DeviceDirection::Duplex: {
        const int in = get_default_pa_input_device(portAudio);
        const int out = get_default_pa_output_device(portAudio);
        return in == out && in >= 0 ? in : -1;
    }
    }
    return -1;
}
