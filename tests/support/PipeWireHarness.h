// A private PipeWire for tests: a directory of its own for the runtime socket, configuration and
// state, a session bus of its own, the PipeWire daemon with virtual devices, and WirePlumber,
// which makes them the defaults and links new streams to them. Clients in this process
// (PipeWire's ALSA plug-in, PipeWire's libjack) reach it through PIPEWIRE_RUNTIME_DIR.
//
// Threads: everything here is driven from the thread that created the session; every child
// dies with that thread (see ChildProgram).
#pragma once

#include "ChildProgram.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pwtest {

// A virtual device of the session: a null-audio-sink node. "Audio/Sink" plays into nothing and
// offers what it plays on monitor ports; "Audio/Source/Virtual" offers on its capture ports what
// is played into its input ports. Two channels are FL and FR, more (or all, with `aux`) are
// AUX0, AUX1 ...
struct PipeWireNode {
    std::string name;        // node.name, what PipeWire's own tools and WirePlumber go by
    std::string description; // node.description, the client name PipeWire's JACK shows
    std::string mediaClass;
    int channels = 2;
    bool aux = false;
};

struct PipeWireConfig {
    int rate = 48000;
    int quantum = 256; // frames; fixed, so no client can change it
    // A desktop's clock instead: PipeWire's own quantum settings (1024 frames unless a client
    // asks for less, 16 to 2048), as on a machine that is not a virtual one; `quantum` unused.
    bool desktopClock = false;
    // A stereo sink and a stereo virtual source unless the owner says otherwise; at most one
    // sink and one source, each of which WirePlumber makes a default.
    std::vector<PipeWireNode> nodes{
        {"veltrin-test-sink", "Veltrin Test Sink", "Audio/Sink", 2},
        {"veltrin-test-source", "Veltrin Test Source", "Audio/Source/Virtual", 2}};
};

class PipeWireSession
{
public:
    explicit PipeWireSession(const PipeWireConfig &config);
    ~PipeWireSession();

    bool running() const { return m_error.empty(); }
    // Why the session could not start, with the end of the daemon's log.
    const std::string &error() const { return m_error; }
    const std::string &directory() const { return m_dir; }

    // Starts a PipeWire client program with the session's environment; its log goes to
    // <directory>/<logName>.log.
    std::unique_ptr<ChildProgram> start(const std::vector<std::string> &argv,
                                        const std::string &logName) const
    {
        return std::make_unique<ChildProgram>(argv, m_environment, m_dir + "/" + logName + ".log");
    }
    // Runs a short client program to completion; its exit status (-1 on time-out) and output.
    int run(const std::vector<std::string> &argv, std::string *output = nullptr,
            int timeoutMs = 10000) const;
    // Links two ports ("node:port"), waiting up to ten seconds for them to appear.
    bool link(const std::string &output, const std::string &input) const;

    std::string logTail(const std::string &logName) const;

    // Kills the PipeWire daemon and WirePlumber and starts them again (the bus stays): the
    // sound server restarting under its clients. True once the new graph is ready.
    bool restart();

private:
    bool startGraph();
    // Waits for `ready` while the daemons run; else the error says `what`, with the log's end.
    bool waitReady(const std::function<bool()> &ready, const std::string &what,
                   const std::string &logName);

    PipeWireConfig m_config;
    std::string m_dir, m_error;
    std::vector<std::string> m_environment;
    std::unique_ptr<ChildProgram> m_bus, m_pipewire, m_wireplumber;
};

// Whether PipeWire's ALSA plug-in (package pipewire-alsa) is installed for PortAudio to find:
// the "pipewire" PCM, and "default" routed to PipeWire. False, with the reason, when it is not.
// `scratchDir` is unused: the installed configuration needs no private one.
bool usePipeWireAlsaPlugin(const std::string &scratchDir, std::string &why);

} // namespace pwtest
