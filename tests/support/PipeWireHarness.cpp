#include "PipeWireHarness.h"

#include "WaitFor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace pwtest {
namespace fs = std::filesystem;

namespace {

// A loaded machine can take seconds to start a daemon; starting daemons and links are polled
// every 20 ms.
constexpr int kStartMs = 30000, kPollMs = 20;

std::string readFile(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The graph's clock and the virtual devices, added to the machine's pipewire.conf. A fixed
// quantum: PipeWire otherwise grows it for clients that ask for more latency, and raises the
// minimum to 1024 frames when it believes it runs in a virtual machine (a desktop's clock keeps
// its minimum of 16 here, as on real hardware).
std::string dropIn(const PipeWireConfig &config)
{
    const bool desktop = config.desktopClock;
    const int least = desktop ? 16 : config.quantum;
    std::ostringstream c;
    c << "context.properties = {\n default.clock.rate = " << config.rate
      << "\n default.clock.allowed-rates = [ " << config.rate
      << " ]\n default.clock.quantum = " << (desktop ? 1024 : config.quantum)
      << "\n default.clock.min-quantum = " << least
      << "\n default.clock.max-quantum = " << (desktop ? 2048 : config.quantum)
      << "\n vm.overrides = { default.clock.min-quantum = " << least << " }\n}\n"
      << "context.objects = [\n";
    for (const PipeWireNode &n : config.nodes) {
        c << " { factory = adapter args = { factory.name = support.null-audio-sink node.name = \""
          << n.name << "\" node.description = \"" << n.description << "\" media.class = \""
          << n.mediaClass << "\" audio.channels = " << n.channels << " audio.position = [ ";
        for (int k = 0; k < n.channels; ++k)
            c << (n.channels == 2 && !n.aux ? (k == 0 ? "FL" : "FR") : "AUX" + std::to_string(k))
              << " ";
        c << "] object.linger = true } }\n";
    }
    return c.str() + "]\n";
}

} // namespace

PipeWireSession::PipeWireSession(const PipeWireConfig &config) : m_config(config)
{
    if (std::system("command -v pipewire wireplumber dbus-daemon pw-metadata pw-link pw-cat "
                    ">/dev/null")
        != 0) {
        m_error = "PipeWire is not installed (scripts/setup.sh --tests installs pipewire, "
                  "pipewire-bin, wireplumber and dbus-daemon)";
        return;
    }
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "veltrin-pipewire-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        m_error = "cannot create a directory for PipeWire in " + pattern;
        return;
    }
    m_dir = pattern;
    for (const char *sub : {"/config/pipewire/pipewire.conf.d", "/runtime", "/state", "/home"})
        fs::create_directories(m_dir + sub, error);
    fs::permissions(m_dir + "/runtime", fs::perms::owner_all, error);
    std::ofstream(m_dir + "/config/pipewire/pipewire.conf.d/veltrin-test.conf") << dropIn(config);

    // The daemons and their clients see only this session: its directories and bus, no display.
    const std::string dropped =
        " HOME XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_STATE_HOME DISPLAY WAYLAND_DISPLAY "
        "PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_NODE PIPEWIRE_LATENCY PIPEWIRE_QUANTUM "
        "DBUS_SESSION_BUS_ADDRESS JACK_DEFAULT_SERVER ";
    for (char **e = environ; *e != nullptr; ++e)
        if (dropped.find(" " + std::string(*e, std::strcspn(*e, "=")) + " ") == std::string::npos)
            m_environment.emplace_back(*e);
    for (const char *v : {"HOME=/home", "XDG_RUNTIME_DIR=/runtime", "PIPEWIRE_RUNTIME_DIR=/runtime",
                          "XDG_CONFIG_HOME=/config", "XDG_STATE_HOME=/state",
                          "DBUS_SESSION_BUS_ADDRESS=unix:path=/bus"})
        m_environment.push_back(std::string(v).insert(std::strcspn(v, "/"), m_dir));

    // WirePlumber needs a session bus.
    m_bus = start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                   "--address=unix:path=" + m_dir + "/bus"},
                  "dbus");
    if (waitReady([&] { return fs::exists(m_dir + "/bus"); }, "the session bus did not come up",
                  "dbus")
        && startGraph())
        setenv("PIPEWIRE_RUNTIME_DIR", (m_dir + "/runtime").c_str(), 1);
}

PipeWireSession::~PipeWireSession()
{
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    m_wireplumber.reset();
    m_pipewire.reset();
    m_bus.reset();
    std::error_code ignored;
    if (!m_dir.empty())
        fs::remove_all(m_dir, ignored);
}

bool PipeWireSession::restart()
{
    // Killed, as a crash or `systemctl --user restart pipewire` looks to its clients.
    m_wireplumber.reset();
    m_pipewire->stop(SIGKILL, 5000);
    for (const char *file : {"/runtime/pipewire-0", "/runtime/pipewire-0.lock"})
        fs::remove(m_dir + file);
    m_error.clear();
    return startGraph();
}

bool PipeWireSession::startGraph()
{
    m_pipewire = start({"pipewire"}, "pipewire");
    if (!waitReady([&] { return fs::exists(m_dir + "/runtime/pipewire-0"); },
                   "the daemon did not open its socket", "pipewire"))
        return false;
    // WirePlumber is ready once it has chosen the virtual devices as the defaults (the only
    // sink and the only source): from then on it links every new stream to them.
    m_wireplumber = start({"wireplumber"}, "wireplumber");
    std::string metadata;
    return waitReady(
        [&] {
            run({"pw-metadata", "0"}, &metadata, 5000);
            return std::all_of(m_config.nodes.begin(), m_config.nodes.end(), [&](const auto &n) {
                return metadata.find('"' + n.name + '"') != std::string::npos;
            });
        },
        "WirePlumber did not choose the virtual devices", "wireplumber");
}

bool PipeWireSession::waitReady(const std::function<bool()> &ready, const std::string &what,
                                const std::string &logName)
{
    const auto alive = [&] {
        return m_bus->running() && (!m_pipewire || m_pipewire->running())
               && (!m_wireplumber || m_wireplumber->running());
    };
    if (veltrin::test::waitFor([&] { return !alive() || ready(); }, kStartMs, kPollMs) && alive())
        return true;
    m_error = "PipeWire did not start: " + what + "\n" + logTail(logName);
    return false;
}

int PipeWireSession::run(const std::vector<std::string> &argv, std::string *output,
                         int timeoutMs) const
{
    fs::remove(m_dir + "/run.log");
    const int status = start(argv, "run")->wait(timeoutMs);
    if (output != nullptr)
        *output = readFile(m_dir + "/run.log");
    return status;
}

bool PipeWireSession::link(const std::string &output, const std::string &input) const
{
    return veltrin::test::waitFor(
        [&] {
            return run({"pw-link", output, input}) == 0;
        },
        10000, kPollMs);
}

std::string PipeWireSession::logTail(const std::string &logName) const
{
    const std::string log = readFile(m_dir + "/" + logName + ".log");
    return log.substr(log.size() - std::min<size_t>(log.size(), 2000));
}

bool usePipeWireAlsaPlugin(const std::string &, std::string &why)
{
    if (fs::exists("/etc/alsa/conf.d/50-pipewire.conf")
        && fs::exists("/usr/lib/" VELTRIN_LIBRARY_ARCH
                      "/alsa-lib/libasound_module_pcm_pipewire.so"))
        return true;
    why = "pipewire-alsa is not installed (scripts/setup.sh --tests installs it)";
    return false;
}

} // namespace pwtest
