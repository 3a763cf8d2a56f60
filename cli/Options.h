// The command line of veltrin-cli: one command and its options, checked and converted, or the
// one-line reason why not. Pure: no I/O, no global state, so any thread may parse.
#pragma once

#include "ChannelMap.h"

#include <optional>
#include <string>
#include <vector>

namespace veltrin::cli {

// Exit status of the program. The values are documented in --help and the manual page, and
// services and scripts test them, so they never change meaning.
enum ExitCode : int {
    kExitOk = 0,             // listed, or streamed until SIGINT/SIGTERM and stopped in order
    kExitStreamFailed = 1,   // the engine could not start the stream, or it did not stop in time
    kExitUsage = 2,          // the command line is wrong (or names a channel the device lacks)
    kExitNoDevice = 3,       // no audio device matches --device (for the stream's direction)
    kExitDeviceRefused = 4,  // the device is busy or refuses the rate or channel count
    kExitNoSource = 5,       // the NDI source did not appear within --wait seconds
    kExitNdiUnavailable = 6, // the NDI runtime could not be initialised
    kExitDeviceLost = 7,     // the device went away and --exit-on-loss was given
};

enum class Command { Help, Version, Devices, Sources, Send, Play, Duplex };

// Defaults and limits of the stream options. Block sizes and rates are those the window offers.
struct Limits {
    static constexpr unsigned kDefaultFrames = 256;
    static constexpr unsigned kMinFrames = 32;
    static constexpr unsigned kMaxFrames = 2048;
    static constexpr unsigned kMinRate = 8000;
    static constexpr unsigned kMaxRate = 192000;
    // Beyond +40 dB a full-scale input clips by three orders of magnitude; below -120 dB a
    // 32-bit float signal is silence already.
    static constexpr double kMinGainDb = -120.0;
    static constexpr double kMaxGainDb = 40.0;
    static constexpr double kDefaultSourcesWait = 2.0; // seconds: mDNS answers come within one
    static constexpr double kDefaultSourceWait = 5.0;  // seconds: a source being started too
    static constexpr double kMaxWait = 3600.0;
    static constexpr const char *kDefaultJackName = "veltrin-cli";
};

struct Options {
    Command command = Command::Help;

    bool json = false;
    bool meter = false;
    bool exitOnLoss = false; // end the stream when its device goes away, instead of waiting
    bool stats = false;      // one line of stream figures a second
    bool statsJson = false;  // the same as one JSON object a line
    bool watch = false;      // sources: print each source that appears or goes, until stopped
    bool verbose = false;
    double waitSeconds = 0.0; // set from the command's default when not given

    std::string device; // PortAudio name, "HostAPI  Device" entry text, or 1-based ordinal
    std::string name;   // NDI name to publish (send, duplex)
    std::string source; // full NDI source name "HOST (name)" to play (play, duplex)
    unsigned frames = Limits::kDefaultFrames;
    std::optional<unsigned> rate; // none: the device's default rate
    double inputGainDb = 0.0;     // applied to what is sent
    double outputGainDb = 0.0;    // applied to what is played
    std::string jackName = Limits::kDefaultJackName;
    ChannelMap inputMap;  // device inputs sent (send, duplex); empty: all of them
    ChannelMap outputMap; // device outputs played on (play, duplex); empty: all of them
    std::string inputMapOption, outputMapOption; // the options that gave them, for messages
};

struct ParseResult {
    std::optional<Options> options;
    std::string error; // one line, without the program prefix, when options is empty
};

// `arguments` are the program's arguments without the program name.
ParseResult parseArguments(const std::vector<std::string> &arguments);

// The command word as typed ("send"), for messages.
const char *commandWord(Command command);

// The whole help text, which doubles as the manual: synopsis, commands, options, output
// formats and exit codes.
std::string helpText();

} // namespace veltrin::cli
