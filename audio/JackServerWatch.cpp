#include "JackServerWatch.h"

#include <array>
#include <dlfcn.h>
#include <mutex>

// JACK's types, opaque here: the program must not need JACK's headers to build.
struct _jack_client;
struct _jack_port;
using JackShutdownCallback = void (*)(void *arg);

namespace veltrin::audio {

namespace {

// One PortAudio initialisation opens one JACK client; a handful covers nested sessions and
// a client that closes while the next one opens.
constexpr size_t kClients = 8;

struct Client {
    _jack_client *client = nullptr;
    JackShutdownCallback callback = nullptr;
    void *arg = nullptr;
    bool down = false;
};

std::mutex g_lock;
std::array<Client, kClients> g_clients;

template <typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Runs on JACK's thread when the server goes away: notes it, then lets PortAudio know.
void relayShutdown(void *slot)
{
    JackShutdownCallback callback = nullptr;
    void *arg = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Client &c = g_clients[reinterpret_cast<size_t>(slot)];
        c.down = true;
        callback = c.callback;
        arg = c.arg;
    }
    if (callback != nullptr)
        callback(arg);
}

bool isDown(_jack_client *client)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Client &c : g_clients)
        if (c.client == client && client != nullptr)
            return c.down;
    return false;
}

} // namespace

bool jackServerWentAway()
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (const Client &c : g_clients)
        if (c.client != nullptr && c.down)
            return true;
    return false;
}

void wakeWaitsOnDeadJackServers()
{
    std::array<Client, kClients> copy;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        copy = g_clients;
    }
    // A client closed meanwhile has already finished its stops: PortAudio closes its client
    // only when terminating, after every stream is closed.
    for (const Client &c : copy)
        if (c.client != nullptr && c.down && c.callback != nullptr)
            c.callback(c.arg);
}

} // namespace veltrin::audio

using veltrin::audio::g_clients;
using veltrin::audio::g_lock;
using veltrin::audio::isDown;
using veltrin::audio::next;

extern "C" {

void jack_on_shutdown(_jack_client *client, JackShutdownCallback callback, void *arg)
{
    using Real = void (*)(_jack_client *, JackShutdownCallback, void *);
    static const Real real = next<Real>("jack_on_shutdown");
    if (real == nullptr)
        return;
    size_t slot = veltrin::audio::kClients;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (size_t i = 0; i < g_clients.size(); ++i)
            if (g_clients[i].client == nullptr) {
                g_clients[i] = {client, callback, arg, false};
                slot = i;
                break;
            }
    }
    if (slot == veltrin::audio::kClients)
        real(client, callback, arg); // no room to watch it: JACK calls PortAudio directly
    else
        real(client, veltrin::audio::relayShutdown, reinterpret_cast<void *>(slot));
}

// A dead client's ports and activation live in the server's shared graph, which JACK may have
// unmapped already: nothing is asked of JACK for them.
int jack_port_unregister(_jack_client *client, _jack_port *port)
{
    using Real = int (*)(_jack_client *, _jack_port *);
    static const Real real = next<Real>("jack_port_unregister");
    if (isDown(client))
        return 0;
    return real != nullptr ? real(client, port) : -1;
}

int jack_deactivate(_jack_client *client)
{
    using Real = int (*)(_jack_client *);
    static const Real real = next<Real>("jack_deactivate");
    if (isDown(client))
        return 0;
    return real != nullptr ? real(client) : -1;
}

// A dead client is not closed in JACK either: JACK's close reaches into the dead server's shared
// graph too, and crashed there in about one run in six of three streams losing their server at
// once on a loaded machine. What stays behind is the client's own record in this process, once
// per server that died under a stream.
int jack_client_close(_jack_client *client)
{
    using Real = int (*)(_jack_client *);
    static const Real real = next<Real>("jack_client_close");
    bool down = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto &c : g_clients)
            if (c.client == client && client != nullptr) {
                down = c.down;
                c = {};
            }
    }
    if (down)
        return 0;
    return real != nullptr ? real(client) : -1;
}

} // extern "C"
