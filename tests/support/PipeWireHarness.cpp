#include "PipeWireHarness.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace pwtest {
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

bool onPath(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

bool writeFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The graph's clock and the virtual devices, added to the machine's pipewire.conf. A fixed
// quantum: PipeWire otherwise grows it for clients that ask for more latency, and raises the
// minimum to 1024 frames when it believes it runs in a virtual machine (a desktop's clock keeps
// its minimum of 16 here, as on real hardware).
std::string dropIn(const PipeWireConfig &config)
{
    const int quantum = config.desktopClock ? 1024 : config.quantum;
    const int least = config.desktopClock ? 16 : config.quantum;
    const int most = config.desktopClock ? 2048 : config.quantum;
    std::ostringstream c;
    c << "context.properties = {\n"
      << "    default.clock.rate = " << config.rate << "\n"
      << "    default.clock.allowed-rates = [ " << config.rate << " ]\n"
      << "    default.clock.quantum = " << quantum << "\n"
      << "    default.clock.min-quantum = " << least << "\n"
      << "    default.clock.max-quantum = " << most << "\n"
      << "    vm.overrides = { default.clock.min-quantum = " << least << " }\n"
      << "}\n"
      << "context.objects = [\n";
    for (const PipeWireNode &n : config.nodes) {
        std::string positions;
        for (int k = 0; k < n.channels; ++k)
            positions += n.channels == 2 && !n.aux ? (k == 0 ? "FL " : "FR ")
                                                   : "AUX" + std::to_string(k) + " ";
        c << "    { factory = adapter args = {\n"
          << "        factory.name = support.null-audio-sink\n"
          << "        node.name = \"" << n.name << "\"\n"
          << "        node.description = \"" << n.description << "\"\n"
          << "        media.class = \"" << n.mediaClass << "\"\n"
          << "        audio.channels = " << n.channels << "\n"
          << "        audio.position = [ " << positions << "]\n"
          << "        object.linger = true\n"
          << "    } }\n";
    }
    c << "]\n";
    return c.str();
}

// The first node whose media class starts with `prefix`, or null.
const PipeWireNode *firstOf(const PipeWireConfig &config, const std::string &prefix)
{
    for (const PipeWireNode &n : config.nodes)
        if (n.mediaClass.compare(0, prefix.size(), prefix) == 0)
            return &n;
    return nullptr;
}

} // namespace

PipeWireConfig PipeWireConfig::testDevices(int rate, int quantum)
{
    PipeWireConfig c;
    c.rate = rate;
    c.quantum = quantum;
    c.nodes = {{PipeWireSession::kSinkNode, PipeWireSession::kSinkDescription, "Audio/Sink", 2},
               {PipeWireSession::kSourceNode, PipeWireSession::kSourceDescription,
                "Audio/Source/Virtual", 2}};
    return c;
}

PipeWireSession::PipeWireSession(const PipeWireConfig &config) : m_config(config)
{
    for (const char *program :
         {"pipewire", "wireplumber", "dbus-daemon", "pw-metadata", "pw-link", "pw-cat"}) {
        if (!onPath(program)) {
            m_error = std::string(program)
                      + " is not installed (scripts/setup.sh --tests installs pipewire, "
                        "pipewire-bin, wireplumber and dbus-daemon)";
            return;
        }
    }
    m_error = configure();
    if (m_error.empty() && startDaemons())
        setenv("PIPEWIRE_RUNTIME_DIR", (m_dir + "/runtime").c_str(), 1);
}

PipeWireSession::~PipeWireSession()
{
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    m_wireplumber.reset();
    m_pipewire.reset();
    m_bus.reset();
    if (!m_dir.empty()) {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }
}

namespace {

// A session's directory is named after the process that made it. One left behind by a test that
// crashed (its process gone) is removed by the next session: it holds a tone file of megabytes.
void removeStaleDirectories(const std::string &tmp)
{
    const std::string prefix = "veltrin-pipewire-";
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(tmp, error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
        if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH)
            fs::remove_all(entry.path(), error);
    }
}

} // namespace

std::string PipeWireSession::configure()
{
    const char *tmpDir = std::getenv("TMPDIR");
    const std::string tmp = tmpDir != nullptr && *tmpDir ? tmpDir : "/tmp";
    removeStaleDirectories(tmp);
    std::string pattern = tmp + "/veltrin-pipewire-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return "cannot create a directory for PipeWire in " + pattern;
    m_dir = pattern;
    std::error_code error;
    for (const char *sub : {"runtime", "config/pipewire/pipewire.conf.d", "state", "home"})
        fs::create_directories(m_dir + "/" + sub, error);
    fs::permissions(m_dir + "/runtime", fs::perms::owner_all, error);
    if (!writeFile(m_dir + "/config/pipewire/pipewire.conf.d/veltrin-test.conf", dropIn(m_config)))
        return "cannot write PipeWire's configuration in " + m_dir;

    // The daemons and their clients see only this session: its directories and bus, no display.
    const std::string dropped =
        " HOME XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_STATE_HOME DISPLAY "
        "WAYLAND_DISPLAY PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_NODE "
        "PIPEWIRE_LATENCY PIPEWIRE_QUANTUM DBUS_SESSION_BUS_ADDRESS "
        "JACK_DEFAULT_SERVER ";
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (dropped.find(" " + entry.substr(0, entry.find('=')) + " ") == std::string::npos)
            m_environment.push_back(entry);
    }
    for (const std::string &e :
         {"HOME=" + m_dir + "/home", "XDG_RUNTIME_DIR=" + m_dir + "/runtime",
          "PIPEWIRE_RUNTIME_DIR=" + m_dir + "/runtime", "XDG_CONFIG_HOME=" + m_dir + "/config",
          "XDG_STATE_HOME=" + m_dir + "/state",
          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + m_dir + "/bus"})
        m_environment.push_back(e);
    return {};
}

bool PipeWireSession::waitUntil(const std::function<bool()> &ready, int timeoutMs) const
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool PipeWireSession::fail(const std::string &what, const std::string &log)
{
    m_error = "PipeWire did not start: " + what + "\n" + logTail(log);
    return false;
}

bool PipeWireSession::alive()
{
    return (!m_bus || m_bus->running()) && (!m_pipewire || m_pipewire->running())
           && (!m_wireplumber || m_wireplumber->running());
}

bool PipeWireSession::startDaemons()
{
    // A loaded machine can take seconds to start three daemons.
    constexpr int kStartMs = 30000;

    m_bus = start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                   "--address=unix:path=" + m_dir + "/bus"},
                  "dbus");
    if (!waitUntil([&] { return !alive() || fs::exists(m_dir + "/bus"); }, kStartMs) || !alive())
        return fail("the session bus did not come up", "dbus");

    return startGraph();
}

bool PipeWireSession::restart()
{
    // Killed, as a crash or `systemctl --user restart pipewire` looks to its clients.
    m_wireplumber.reset();
    if (m_pipewire)
        m_pipewire->stop(SIGKILL, 5000);
    m_pipewire.reset();
    fs::remove(m_dir + "/runtime/pipewire-0");
    fs::remove(m_dir + "/runtime/pipewire-0.lock");
    m_error.clear();
    return startGraph();
}

bool PipeWireSession::startGraph()
{
    // A loaded machine can take seconds to start a daemon.
    constexpr int kStartMs = 30000;
    m_pipewire = start({"pipewire"}, "pipewire");
    if (!waitUntil([&] { return !alive() || fs::exists(m_dir + "/runtime/pipewire-0"); }, kStartMs)
        || !alive())
        return fail("the daemon did not open its socket", "pipewire");

    // WirePlumber is ready once it has chosen the virtual devices as the defaults: from then on
    // it links every new stream to them.
    m_wireplumber = start({"wireplumber"}, "wireplumber");
    std::vector<std::string> defaults;
    for (const char *kind : {"Audio/Sink", "Audio/Source"})
        if (const PipeWireNode *n = firstOf(m_config, kind))
            defaults.push_back("\"" + n->name + "\"");
    std::string metadata;
    const bool ready = waitUntil(
        [&] {
            if (!alive())
                return true;
            run({"pw-metadata", "0"}, &metadata, 5000);
            bool all = true;
            for (const std::string &d : defaults)
                all = all && metadata.find(d) != std::string::npos;
            return all;
        },
        kStartMs);
    if (!ready || !alive())
        return fail("WirePlumber did not choose the virtual devices; defaults: " + metadata,
                    "wireplumber");
    return true;
}

std::unique_ptr<ChildProgram> PipeWireSession::start(const std::vector<std::string> &argv,
                                                     const std::string &logName) const
{
    return std::make_unique<ChildProgram>(argv, m_environment, m_dir + "/" + logName + ".log");
}

int PipeWireSession::run(const std::vector<std::string> &argv, std::string *output,
                         int timeoutMs) const
{
    const std::string file = m_dir + "/run.log";
    unlink(file.c_str());
    ChildProgram child(argv, m_environment, file);
    const int status = child.wait(timeoutMs);
    if (status < 0)
        child.stop(SIGKILL, 5000);
    if (output != nullptr)
        *output = readFile(file);
    return status;
}

bool PipeWireSession::link(const std::string &output, const std::string &input, int timeoutMs) const
{
    return waitUntil([&] { return run({"pw-link", output, input}) == 0; }, timeoutMs);
}

std::string PipeWireSession::logTail(const std::string &logName) const
{
    const std::string log = readFile(m_dir + "/" + logName + ".log");
    constexpr size_t kTail = 2000;
    return log.size() > kTail ? log.substr(log.size() - kTail) : log;
}

bool usePipeWireAlsaPlugin(const std::string &scratchDir, std::string &why)
{
    const std::string moduleDir = std::string("/usr/lib/") + VELTRIN_LIBRARY_ARCH + "/alsa-lib/";
    if (fs::exists("/etc/alsa/conf.d/50-pipewire.conf")
        && fs::exists(moduleDir + "libasound_module_pcm_pipewire.so"))
        return true;

    const char *root = std::getenv("VELTRIN_PIPEWIRE_ALSA_ROOT");
    if (root == nullptr || *root == '\0') {
        why = "pipewire-alsa is not installed (scripts/setup.sh --tests installs it; or unpack "
              "the package with dpkg -x and name that directory in VELTRIN_PIPEWIRE_ALSA_ROOT)";
        return false;
    }
    const std::string base = root;
    const std::string pcm = base + moduleDir + "libasound_module_pcm_pipewire.so";
    const std::string ctl = base + moduleDir + "libasound_module_ctl_pipewire.so";
    const std::string confDir = base + "/usr/share/alsa/alsa.conf.d/";
    for (const std::string &f :
         {pcm, ctl, confDir + "50-pipewire.conf", confDir + "99-pipewire-default.conf"}) {
        if (!fs::exists(f)) {
            why = "VELTRIN_PIPEWIRE_ALSA_ROOT has no " + f;
            return false;
        }
    }
    // The package's own configuration, with the plug-in named by its path instead of being
    // looked for in alsa-lib's module directory.
    const std::string conf = scratchDir + "/alsa-pipewire.conf";
    if (!writeFile(conf, "pcm_type.pipewire { lib \"" + pcm + "\" }\nctl_type.pipewire { lib \""
                             + ctl + "\" }\n<" + confDir + "50-pipewire.conf>\n<" + confDir
                             + "99-pipewire-default.conf>\n")) {
        why = "cannot write " + conf;
        return false;
    }
    const char *current = std::getenv("ALSA_CONFIG_PATH");
    const std::string top =
        current != nullptr && *current != '\0' ? current : "/usr/share/alsa/alsa.conf";
    setenv("ALSA_CONFIG_PATH", (top + ":" + conf).c_str(), 1);
    return true;
}

} // namespace pwtest
