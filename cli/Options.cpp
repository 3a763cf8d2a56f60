#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace veltrin::cli {

namespace {

// Which commands accept an option, as a bit per command.
constexpr unsigned bit(Command c)
{
    return 1u << static_cast<unsigned>(c);
}
constexpr unsigned kListings = bit(Command::Devices) | bit(Command::Sources);
constexpr unsigned kStreams = bit(Command::Send) | bit(Command::Play) | bit(Command::Duplex);
constexpr unsigned kReceivers = bit(Command::Play) | bit(Command::Duplex);
constexpr unsigned kSenders = bit(Command::Send) | bit(Command::Duplex);
constexpr unsigned kAll = kListings | kStreams;

// What the parser tracks beyond the options themselves.
struct State {
    Options options;
    bool waitGiven = false;
    std::optional<double> gain, inGain, outGain;
};

struct OptionRule {
    const char *name;
    bool takesValue;
    unsigned commands;
    // Stores the value; returns an error line, empty when the value is good.
    std::function<std::string(State &, const std::string &)> apply;
};

bool parseWhole(const std::string &text, long long &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
}

bool parseNumber(const std::string &text, double &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

std::string wholeIn(const std::string &option, const std::string &text, long long low,
                    long long high, unsigned &out)
{
    long long value = 0;
    if (!parseWhole(text, value) || value < low || value > high)
        return option + " takes a whole number from " + std::to_string(low) + " to "
               + std::to_string(high) + ", not \"" + text + "\"";
    out = static_cast<unsigned>(value);
    return {};
}

std::string gainIn(const std::string &option, const std::string &text, std::optional<double> &out)
{
    double value = 0.0;
    if (!parseNumber(text, value) || value < Limits::kMinGainDb || value > Limits::kMaxGainDb)
        return option + " takes decibels from -120 to 40, not \"" + text + "\"";
    out = value;
    return {};
}

std::string nonEmpty(const std::string &option, const std::string &text, std::string &out)
{
    if (text.empty())
        return option + " needs a non-empty value";
    out = text;
    return {};
}

// --channels, --in-channels, --out-channels and --map: one map per direction, given once.
std::string channelsOption(State &s, const std::string &option, const std::string &text, bool input,
                           bool pairs)
{
    std::string &given = input ? s.options.inputMapOption : s.options.outputMapOption;
    if (!given.empty())
        return option + " and " + given + " both choose the channels "
               + (input ? "sent" : "played");
    ChannelMap &map = input ? s.options.inputMap : s.options.outputMap;
    std::string error = pairs ? ChannelMap::parsePairs(text, option, map)
                              : ChannelMap::parseList(text, option, map);
    if (error.empty())
        given = option;
    return error;
}

const std::vector<OptionRule> &optionRules()
{
    static const std::vector<OptionRule> rules = {
        {"--json", false, kListings,
         [](State &s, const std::string &) {
             s.options.json = true;
             return std::string();
         }},
        {"--meter", false, kStreams,
         [](State &s, const std::string &) {
             s.options.meter = true;
             return std::string();
         }},
        {"--exit-on-loss", false, kStreams,
         [](State &s, const std::string &) {
             s.options.exitOnLoss = true;
             return std::string();
         }},
        {"--stats", false, kStreams,
         [](State &s, const std::string &) {
             s.options.stats = true;
             return std::string();
         }},
        {"--stats-json", false, kStreams,
         [](State &s, const std::string &) {
             s.options.statsJson = true;
             return std::string();
         }},
        {"--watch", false, bit(Command::Sources),
         [](State &s, const std::string &) {
             s.options.watch = true;
             return std::string();
         }},
        {"--channels", true, bit(Command::Send) | bit(Command::Play),
         [](State &s, const std::string &v) {
             const bool send = s.options.command == Command::Send;
             return channelsOption(s, "--channels", v, send, false);
         }},
        {"--in-channels", true, bit(Command::Duplex),
         [](State &s, const std::string &v) {
             return channelsOption(s, "--in-channels", v, true, false);
         }},
        {"--out-channels", true, bit(Command::Duplex),
         [](State &s, const std::string &v) {
             return channelsOption(s, "--out-channels", v, false, false);
         }},
        {"--map", true, kReceivers,
         [](State &s, const std::string &v) { return channelsOption(s, "--map", v, false, true); }},
        {"--verbose", false, kAll,
         [](State &s, const std::string &) {
             s.options.verbose = true;
             return std::string();
         }},
        {"--wait", true, bit(Command::Sources) | kReceivers,
         [](State &s, const std::string &v) {
             double seconds = 0.0;
             if (!parseNumber(v, seconds) || seconds < 0.0 || seconds > Limits::kMaxWait)
                 return "--wait takes seconds from 0 to 3600, not \"" + v + "\"";
             s.options.waitSeconds = seconds;
             s.waitGiven = true;
             return std::string();
         }},
        {"--device", true, kStreams,
         [](State &s, const std::string &v) { return nonEmpty("--device", v, s.options.device); }},
        {"--name", true, kSenders,
         [](State &s, const std::string &v) { return nonEmpty("--name", v, s.options.name); }},
        {"--source", true, kReceivers,
         [](State &s, const std::string &v) { return nonEmpty("--source", v, s.options.source); }},
        {"--jack-name", true, kStreams,
         [](State &s, const std::string &v) {
             return nonEmpty("--jack-name", v, s.options.jackName);
         }},
        {"--frames", true, kStreams,
         [](State &s, const std::string &v) {
             return wholeIn("--frames", v, Limits::kMinFrames, Limits::kMaxFrames,
                            s.options.frames);
         }},
        {"--rate", true, kStreams,
         [](State &s, const std::string &v) {
             unsigned rate = 0;
             std::string error = wholeIn("--rate", v, Limits::kMinRate, Limits::kMaxRate, rate);
             if (error.empty())
                 s.options.rate = rate;
             return error;
         }},
        {"--gain", true, kStreams,
         [](State &s, const std::string &v) { return gainIn("--gain", v, s.gain); }},
        {"--in-gain", true, bit(Command::Duplex),
         [](State &s, const std::string &v) { return gainIn("--in-gain", v, s.inGain); }},
        {"--out-gain", true, bit(Command::Duplex),
         [](State &s, const std::string &v) { return gainIn("--out-gain", v, s.outGain); }},
    };
    return rules;
}

std::optional<Command> commandNamed(const std::string &word)
{
    for (Command c :
         {Command::Devices, Command::Sources, Command::Send, Command::Play, Command::Duplex})
        if (word == commandWord(c))
            return c;
    return std::nullopt;
}

ParseResult failure(std::string error)
{
    return {std::nullopt, std::move(error) + " (see 'veltrin-cli --help')"};
}

// The options each stream command cannot do without, in the order the usage line gives them.
std::string missingRequired(const Options &o)
{
    const auto need = [](const std::string &value, const char *option) {
        return value.empty() ? std::string(option) : std::string();
    };
    std::string missing;
    switch (o.command) {
    case Command::Send:
        missing = need(o.device, "--device");
        if (missing.empty())
            missing = need(o.name, "--name");
        break;
    case Command::Play:
        missing = need(o.source, "--source");
        if (missing.empty())
            missing = need(o.device, "--device");
        break;
    case Command::Duplex:
        missing = need(o.device, "--device");
        if (missing.empty())
            missing = need(o.name, "--name");
        if (missing.empty())
            missing = need(o.source, "--source");
        break;
    default:
        break;
    }
    return missing;
}

} // namespace

const char *commandWord(Command command)
{
    switch (command) {
    case Command::Help:
        return "help";
    case Command::Version:
        return "version";
    case Command::Devices:
        return "devices";
    case Command::Sources:
        return "sources";
    case Command::Send:
        return "send";
    case Command::Play:
        return "play";
    case Command::Duplex:
        return "duplex";
    }
    return "";
}

ParseResult parseArguments(const std::vector<std::string> &arguments)
{
    if (arguments.empty())
        return failure("no command given");

    State state;
    const std::string &first = arguments.front();
    if (first == "--help" || first == "-h" || first == "help") {
        state.options.command = Command::Help;
        return {state.options, {}};
    }
    if (first == "--version" || first == "-V" || first == "version") {
        state.options.command = Command::Version;
        return {state.options, {}};
    }
    const std::optional<Command> command = commandNamed(first);
    if (!command)
        return failure(first.rfind('-', 0) == 0 ? "a command must come first, not \"" + first + "\""
                                                : "unknown command \"" + first + "\"");
    state.options.command = *command;
    const std::string word = commandWord(*command);

    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            Options help;
            help.command = Command::Help;
            return {help, {}};
        }
        std::string name = argument == "-v" ? "--verbose" : argument;
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name.rfind('-', 0) != 0 || name == "-")
            return failure("unexpected argument \"" + argument + "\" for '" + word + "'");

        const OptionRule *rule = nullptr;
        for (const OptionRule &candidate : optionRules())
            if (name == candidate.name)
                rule = &candidate;
        if (rule == nullptr || (rule->commands & bit(*command)) == 0)
            return failure("'" + word + "' has no option " + name);

        std::string value;
        if (rule->takesValue) {
            if (inlineValue)
                value = *inlineValue;
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            else
                return failure(name + " needs a value");
        } else if (inlineValue) {
            return failure(name + " takes no value");
        }
        if (std::string error = rule->apply(state, value); !error.empty())
            return failure(error);
    }

    Options &o = state.options;
    if (const std::string missing = missingRequired(o); !missing.empty())
        return failure("'" + word + "' needs " + missing);
    if (!state.waitGiven)
        o.waitSeconds = o.command == Command::Sources ? Limits::kDefaultSourcesWait
                                                      : Limits::kDefaultSourceWait;
    // --gain is the gain of the one direction a one-way stream has, and of both in duplex;
    // --in-gain and --out-gain override it whatever their order.
    const double gain = state.gain.value_or(0.0);
    o.inputGainDb = state.inGain.value_or(gain);
    o.outputGainDb = state.outGain.value_or(gain);
    return {o, {}};
}

} // namespace veltrin::cli
