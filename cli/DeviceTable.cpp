#include "DeviceTable.h"

#include "ScanDevice.h"

#include <algorithm>
#include <cmath>

namespace veltrin::cli {

namespace {

using audio::sameDeviceName;

bool namedBy(const AudioDevice &device, const std::string &text)
{
    return sameDeviceName(device.name, text) || sameDeviceName(entryText(device), text);
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

const char *const kSeeDevices = " (see 'veltrin-cli devices')";

std::string lacksDirection(const AudioDevice &device, Direction direction)
{
    switch (direction) {
    case Direction::Input:
        return quoted(device.name) + " has no input channels" + kSeeDevices;
    case Direction::Output:
        return quoted(device.name) + " has no output channels" + kSeeDevices;
    case Direction::Duplex:
        return quoted(device.name) + " cannot both record and play" + kSeeDevices;
    }
    return {};
}

std::string rateText(double rate)
{
    return std::to_string(static_cast<long long>(std::llround(rate)));
}

} // namespace

bool hasDirection(const AudioDevice &device, Direction direction)
{
    switch (direction) {
    case Direction::Input:
        return device.inputs > 0;
    case Direction::Output:
        return device.outputs > 0;
    case Direction::Duplex:
        return device.inputs > 0 && device.outputs > 0;
    }
    return false;
}

std::string entryText(const AudioDevice &device)
{
    return device.hostApi + ScanDevice::kEntrySeparator + device.name;
}

const char *directionWord(Direction direction)
{
    switch (direction) {
    case Direction::Input:
        return "input";
    case Direction::Output:
        return "output";
    case Direction::Duplex:
        return "duplex";
    }
    return "";
}

DeviceChoice chooseDevice(const std::vector<AudioDevice> &all, const std::string &text,
                          Direction direction)
{
    for (const AudioDevice &device : all)
        if (hasDirection(device, direction) && namedBy(device, text))
            return {device, {}};
    for (const AudioDevice &device : all)
        if (namedBy(device, text))
            return {std::nullopt, lacksDirection(device, direction)};

    std::vector<const AudioDevice *> ofDirection;
    for (const AudioDevice &device : all)
        if (hasDirection(device, direction))
            ofDirection.push_back(&device);
    const bool digits = !text.empty() && text.size() <= 9
                        && text.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        const size_t number = std::stoul(text);
        if (number >= 1 && number <= ofDirection.size())
            return {*ofDirection[number - 1], {}};
        return {std::nullopt, "there is no " + std::string(directionWord(direction))
                                  + " device number " + text + ": there "
                                  + (ofDirection.size() == 1 ? "is " : "are ")
                                  + std::to_string(ofDirection.size()) + kSeeDevices};
    }
    return {std::nullopt, "no " + std::string(directionWord(direction)) + " device named "
                              + quoted(text) + kSeeDevices};
}

std::string engineDeviceParameter(const std::vector<AudioDevice> &all, const AudioDevice &chosen,
                                  Direction direction)
{
    // The engine takes the first device whose name matches, whatever its direction.
    for (const AudioDevice &device : all) {
        if (sameDeviceName(device.name, chosen.name)) {
            if (device.index == chosen.index)
                return chosen.name;
            break;
        }
    }
    int number = 0;
    for (const AudioDevice &device : all) {
        if (hasDirection(device, direction))
            ++number;
        if (device.index == chosen.index)
            break;
    }
    const std::string text = std::to_string(number);
    for (const AudioDevice &device : all)
        if (sameDeviceName(device.name, text))
            return {};
    return text;
}

FormatCheck checkFormat(const audio::PortAudioSession &portAudio, const AudioDevice &device,
                        Direction direction, unsigned rate)
{
    // The parameters the engine opens the stream with.
    const auto parameters = [&](int channels, double latency) {
        return audio::streamParameters(device.index, engineChannels(channels), latency);
    };
    const PaStreamParameters in = parameters(device.inputs, device.inputLatency);
    const PaStreamParameters out = parameters(device.outputs, device.outputLatency);
    const bool input = direction != Direction::Output;
    const bool output = direction != Direction::Input;
    return formatVerdict(
        device, direction, rate,
        portAudio.isFormatSupported(input ? &in : nullptr, output ? &out : nullptr, rate));
}

FormatCheck formatVerdict(const AudioDevice &device, Direction direction, unsigned rate,
                          PaError result)
{
    if (result == paFormatIsSupported)
        return {};

    const bool input = direction != Direction::Output;
    const bool output = direction != Direction::Input;
    const std::string name = quoted(device.name);
    std::string error;
    // ALSA answers paDeviceUnavailable for a device that another program holds (EBUSY).
    if (result == paDeviceUnavailable)
        error = name + " is busy: another program is using it";
    else if (result == paInvalidSampleRate)
        error = name + " refuses " + std::to_string(rate) + " Hz (its default rate is "
                + rateText(device.defaultRate) + " Hz)";
    else if (result == paInvalidChannelCount) {
        const auto channels = [](int count, const char *side) {
            return std::to_string(engineChannels(count)) + side + " channels";
        };
        error = name + " refuses " + (input ? channels(device.inputs, " input") : "")
                + (input && output ? " with " : "")
                + (output ? channels(device.outputs, " output") : "");
    } else {
        error = name + " cannot be opened: " + Pa_GetErrorText(result);
    }
    return {kExitDeviceRefused, error};
}

} // namespace veltrin::cli
