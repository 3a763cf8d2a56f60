#include "AudioRoute.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifndef VELTRIN_LIBRARY_ARCH
#define VELTRIN_LIBRARY_ARCH "x86_64-linux-gnu"
#endif

namespace veltrin::audio {

namespace {

constexpr const char *kAskedVariable = "VELTRIN_AUDIO_ROUTE";
// LD_LIBRARY_PATH as it was before the program executed itself again: "=" and the value, or
// empty when it was not set. Restored at once, so that what the program starts inherits it.
constexpr const char *kSavedPathVariable = "VELTRIN_LIBRARY_PATH_BEFORE";

RouteChoice g_choice;
bool g_chosen = false;

// True when something accepts connections on the Unix socket at `path`.
bool answers(const std::string &path)
{
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// JACK 2's server socket: /dev/shm/jack_<server>_<uid>_0.
bool jackServerRuns()
{
    std::string server = environment("JACK_DEFAULT_SERVER");
    if (server.empty())
        server = "default";
    return answers("/dev/shm/jack_" + server + "_" + std::to_string(getuid()) + "_0");
}

// PipeWire's socket, looked for as its client library looks for it.
bool pipeWireRuns()
{
    std::string remote = environment("PIPEWIRE_REMOTE");
    if (remote.empty())
        remote = "pipewire-0";
    if (remote[0] == '/')
        return answers(remote);
    for (const char *variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const std::string dir = environment(variable);
        if (!dir.empty())
            return answers(dir + "/" + remote);
    }
    return false;
}

// Puts LD_LIBRARY_PATH back as it was before the program executed itself again.
void restoreLibraryPath()
{
    const char *saved = std::getenv(kSavedPathVariable);
    if (saved == nullptr)
        return;
    if (saved[0] == '=')
        setenv("LD_LIBRARY_PATH", saved + 1, 1);
    else
        unsetenv("LD_LIBRARY_PATH");
    unsetenv(kSavedPathVariable);
}

constexpr const char *kPipeWireJackNote =
    "audio: PipeWire's devices by name, through PipeWire's JACK library";
// What a user without PipeWire's JACK library still has.
constexpr const char *kAlsaOnly = "only ALSA's \"pipewire\" and \"default\" devices are listed";

// PIPEWIRE_LATENCY was set by the user: their request stands.
bool g_latencyGiven = false;

} // namespace

RouteChoice chooseRoute(const RouteFacts &facts)
{
    RouteChoice c;
    if (facts.asked == "alsa") {
        c.note = "audio: ALSA devices only (VELTRIN_AUDIO_ROUTE=alsa)";
        return c;
    }
    if (facts.pipeWireJackLoaded) {
        c.route = Route::PipeWireJack;
        c.note = kPipeWireJackNote;
        return c;
    }
    if (facts.asked == "jack" || facts.jackServer) {
        c.route = Route::Jack;
        c.note = facts.jackServer ? "audio: the JACK server's devices"
                                  : "audio: JACK (VELTRIN_AUDIO_ROUTE=jack), but no JACK server "
                                    "answers";
        c.warning = !facts.jackServer;
        return c;
    }
    if (facts.asked == "pipewire-jack") {
        // The program executed itself again and still did not get PipeWire's library.
        c.note = std::string("audio: PipeWire's JACK library did not load; ") + kAlsaOnly;
        c.warning = true;
        return c;
    }
    if (facts.pipeWire && !facts.pipeWireJackDir.empty()) {
        c.route = Route::PipeWireJack;
        c.loadFrom = facts.pipeWireJackDir;
        c.note = kPipeWireJackNote;
        return c;
    }
    if (facts.pipeWire) {
        c.note = std::string("audio: PipeWire runs but its JACK library is not installed, so ")
                 + kAlsaOnly
                 + ", with more latency; install the package pipewire-jack to reach every "
                   "device by its name";
        c.warning = true;
        return c;
    }
    c.note = "audio: ALSA devices (neither a JACK server nor PipeWire runs)";
    return c;
}

void chooseAudioRoute(char **argv)
{
    if (g_chosen)
        return;
    g_chosen = true;
    restoreLibraryPath();

    RouteFacts facts;
    facts.asked = environment(kAskedVariable);
    if (facts.asked == "pipewire-jack")
        unsetenv(kAskedVariable); // set by the program itself, for this process only
    facts.pipeWireJackLoaded = isPipeWireLibJack(loadedLibJack());
    if (facts.asked != "alsa" && !facts.pipeWireJackLoaded) {
        facts.jackServer = jackServerRuns();
        if (!facts.jackServer) {
            facts.pipeWire = pipeWireRuns();
            if (facts.pipeWire)
                facts.pipeWireJackDir = pipeWireJackDir();
        }
    }
    g_choice = chooseRoute(facts);
    g_latencyGiven = std::getenv("PIPEWIRE_LATENCY") != nullptr;
    if (g_choice.route == Route::PipeWireJack && g_choice.loadFrom.empty() && !g_latencyGiven) {
        // Set now, while no other thread reads the environment; later requests overwrite the
        // value in place.
        setenv("PIPEWIRE_LATENCY", "256/48000", 1);
        // PipeWire's JACK clients hold the graph's quantum while they run, by default: a
        // stream started while the graph runs at 1024 frames for a browser would keep 1024
        // instead of the block it asked for.
        setenv("PIPEWIRE_PROPS", "{ node.lock-quantum = false }", 0);
    }
    if (g_choice.loadFrom.empty())
        return;

    const char *before = std::getenv("LD_LIBRARY_PATH");
    setenv(kSavedPathVariable, before != nullptr ? (std::string("=") + before).c_str() : "", 1);
    std::string path = g_choice.loadFrom;
    if (before != nullptr && *before != '\0')
        path += std::string(":") + before;
    setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    setenv(kAskedVariable, "pipewire-jack", 1);
    std::fflush(nullptr);
    execv("/proc/self/exe", argv);

    // Still here: the program could not run itself again.
    restoreLibraryPath();
    unsetenv(kAskedVariable);
    g_choice = RouteChoice{};
    g_choice.note = std::string("audio: could not load PipeWire's JACK library; ") + kAlsaOnly;
    g_choice.warning = true;
}

const RouteChoice &audioRoute()
{
    return g_choice;
}

std::string loadedLibJack()
{
    void *handle = dlopen("libjack.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr)
        return {};
    link_map *map = nullptr;
    std::string path;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr)
        path = map->l_name;
    dlclose(handle);
    return path;
}

bool isPipeWireLibJack(const std::string &libjackPath)
{
    return libjackPath.find("/pipewire-0.3/jack/") != std::string::npos;
}

std::string pipeWireJackDir()
{
    for (const char *dir : {"/usr/lib/" VELTRIN_LIBRARY_ARCH "/pipewire-0.3/jack",
                            "/usr/lib64/pipewire-0.3/jack", "/usr/lib/pipewire-0.3/jack"})
        if (access((std::string(dir) + "/libjack.so.0").c_str(), R_OK) == 0)
            return dir;
    return {};
}

void askForQuantum(unsigned long frames, double rate)
{
    if (g_choice.route != Route::PipeWireJack || g_latencyGiven || frames == 0 || rate <= 0)
        return;
    char text[48];
    std::snprintf(text, sizeof text, "%lu/%.0f", frames, rate);
    setenv("PIPEWIRE_LATENCY", text, 1);
}

} // namespace veltrin::audio
