#include "NdiLoader.h"

#include "NdiApi.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <vector>

namespace veltrin::ndi {

namespace {

// Operations of the runtime's published interface that Veltrin only reads figures from, so a
// library without them is still used. The layouts are the published ones.
struct RecvPerformance {
    int64_t videoFrames, audioFrames, metadataFrames;
};
struct RecvQueue {
    int32_t videoFrames, audioFrames, metadataFrames;
};
struct FigureCalls {
    void (*recvPerformance)(NDIlib_recv_instance_t, RecvPerformance *, RecvPerformance *) = nullptr;
    void (*recvQueue)(NDIlib_recv_instance_t, RecvQueue *) = nullptr;
    int (*recvConnections)(NDIlib_recv_instance_t) = nullptr;
    int (*sendConnections)(NDIlib_send_instance_t, uint32_t) = nullptr;
};

// The senders and receivers made through an installed library, for its figures: the library
// keeps no list we could ask. Taken at create and destroy and when the figures are read.
struct Tracked {
    void *handle;
    int32_t kind;
    std::string name;
};
std::mutex g_trackedMutex;
std::vector<Tracked> g_tracked;
FigureCalls g_figureCalls;
NdiApi g_real; // the library's own create and destroy, which the table's wrappers call

void track(void *handle, int32_t kind, const char *name)
{
    if (handle == nullptr)
        return;
    try {
        std::lock_guard lock(g_trackedMutex);
        g_tracked.push_back({handle, kind, name != nullptr ? name : ""});
    } catch (...) {
        // Not listed in the figures; the stream itself works.
    }
}

void untrack(void *handle)
{
    std::lock_guard lock(g_trackedMutex);
    g_tracked.erase(std::remove_if(g_tracked.begin(), g_tracked.end(),
                                   [&](const Tracked &t) { return t.handle == handle; }),
                    g_tracked.end());
}

NDIlib_send_instance_t trackedSendCreate(const NDIlib_send_create_t *settings)
{
    NDIlib_send_instance_t send = g_real.send_create(settings);
    track(send, VeltrinNdi_sender, settings != nullptr ? settings->p_ndi_name : nullptr);
    return send;
}

void trackedSendDestroy(NDIlib_send_instance_t send)
{
    untrack(send);
    g_real.send_destroy(send);
}

NDIlib_recv_instance_t trackedRecvCreate(const NDIlib_recv_create_v3_t *settings)
{
    NDIlib_recv_instance_t recv = g_real.recv_create_v3(settings);
    track(recv, VeltrinNdi_receiver,
          settings != nullptr ? settings->source_to_connect_to.p_ndi_name : nullptr);
    return recv;
}

void trackedRecvDestroy(NDIlib_recv_instance_t recv)
{
    untrack(recv);
    g_real.recv_destroy(recv);
}

// What an installed library tells of one stream; the rest stays marked not available.
VeltrinNdiFigures libraryFigures(const Tracked &t)
{
    VeltrinNdiFigures f;
    f.kind = t.kind;
    const size_t n = std::min(t.name.size(), sizeof f.name - 1);
    std::memcpy(f.name, t.name.data(), n);
    const FigureCalls &calls = g_figureCalls;
    if (t.kind == VeltrinNdi_sender) {
        if (calls.sendConnections != nullptr) {
            f.connections = calls.sendConnections(t.handle, 0);
            f.available |= VeltrinNdi_has_connections;
        }
        return f;
    }
    if (calls.recvPerformance != nullptr) {
        RecvPerformance total{}, dropped{};
        calls.recvPerformance(t.handle, &total, &dropped);
        f.framesReceived = uint64_t(std::max<int64_t>(total.audioFrames, 0));
        f.framesDropped = uint64_t(std::max<int64_t>(dropped.audioFrames, 0));
        f.available |= VeltrinNdi_has_frames;
    }
    if (calls.recvQueue != nullptr) {
        RecvQueue queue{};
        calls.recvQueue(t.handle, &queue);
        f.queueDepth = queue.audioFrames;
        f.available |= VeltrinNdi_has_queue;
    }
    if (calls.recvConnections != nullptr) {
        f.connections = calls.recvConnections(t.handle);
        f.available |= VeltrinNdi_has_connections;
    }
    return f;
}

// The opened library stays loaded for the rest of the process: the table points into it, and
// senders or receivers may still be torn down by static destructors at exit.
struct LoadedLibrary {
    void *handle = nullptr;
    NdiApi api;
};

LoadedLibrary g_library;
std::atomic<const NdiApi *> g_api{nullptr};
std::once_flag g_choose;
std::mutex g_descriptionMutex;
std::string g_description = "built-in";

const NdiApi &api()
{
    const NdiApi *chosen = g_api.load(std::memory_order_acquire);
    return chosen != nullptr ? *chosen : rt::builtinApi();
}

// Opens `path` and resolves every operation; on failure says why in `reason`.
bool tryLoad(const std::string &path, std::string &reason)
{
    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *error = dlerror();
        reason = error != nullptr ? error : path + ": cannot be opened";
        return false;
    }
    NdiApi loaded;
    std::string missing;
#define VELTRIN_RESOLVE(name, result, parameters, arguments)                                       \
    loaded.name = reinterpret_cast<decltype(loaded.name)>(dlsym(handle, "NDIlib_" #name));         \
    if (loaded.name == nullptr && missing.empty())                                                 \
        missing = "NDIlib_" #name;
    VELTRIN_NDI_OPERATIONS(VELTRIN_RESOLVE)
#undef VELTRIN_RESOLVE
    if (!missing.empty()) {
        reason = path + " lacks " + missing;
        dlclose(handle);
        return false;
    }
    g_library.handle = handle;
    g_real = loaded;
    loaded.send_create = &trackedSendCreate;
    loaded.send_destroy = &trackedSendDestroy;
    loaded.recv_create_v3 = &trackedRecvCreate;
    loaded.recv_destroy = &trackedRecvDestroy;
    g_library.api = loaded;
    g_figureCalls.recvPerformance = reinterpret_cast<decltype(g_figureCalls.recvPerformance)>(
        dlsym(handle, "NDIlib_recv_get_performance"));
    g_figureCalls.recvQueue =
        reinterpret_cast<decltype(g_figureCalls.recvQueue)>(dlsym(handle, "NDIlib_recv_get_queue"));
    g_figureCalls.recvConnections = reinterpret_cast<decltype(g_figureCalls.recvConnections)>(
        dlsym(handle, "NDIlib_recv_get_no_connections"));
    g_figureCalls.sendConnections = reinterpret_cast<decltype(g_figureCalls.sendConnections)>(
        dlsym(handle, "NDIlib_send_get_no_connections"));
    return true;
}

void choose()
{
    std::string reason = "no libndi.so.5 found";
    std::string path;
    bool loaded = false;
    const char *dir = std::getenv("NDI_RUNTIME_DIR_V5");
    if (dir != nullptr && dir[0] != '\0') {
        path = std::string(dir) + "/libndi.so.5";
        loaded = tryLoad(path, reason);
    }
    if (!loaded) {
        std::string searchReason;
        if (tryLoad("libndi.so.5", searchReason))
            loaded = true, path = "libndi.so.5";
        else if (dir == nullptr || dir[0] == '\0')
            reason = searchReason;
    }
    std::string line;
    if (loaded) {
        g_api.store(&g_library.api, std::memory_order_release);
        const char *version = g_library.api.version();
        line = "NDI runtime: " + path + " (" + (version ? version : "no version") + ")";
    } else {
        line = std::string("NDI runtime: built-in, ") + rt::builtinApi().version() + " (" + reason
               + ")";
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    std::lock_guard lock(g_descriptionMutex);
    g_description = line.substr(std::string("NDI runtime: ").size());
}

} // namespace

std::string runtimeDescription()
{
    std::lock_guard lock(g_descriptionMutex);
    return g_description;
}

std::string runtimeVersionText()
{
    const bool builtIn = VeltrinNdi_is_builtin();
    const char *version = NDIlib_version();
    std::string text = version != nullptr ? version : "no version";
    return builtIn ? text + " (built-in)" : text;
}

} // namespace veltrin::ndi

namespace {

// Every call reads the chosen table. NDIlib_initialize makes the choice first (once), and so
// does NDIlib_version: the version is read before discovery initialises the runtime, and must
// be the version of the runtime that will serve the calls.
template <veltrin::ndi::Operation operation> const veltrin::ndi::NdiApi &forwardingTable()
{
    if constexpr (operation == veltrin::ndi::Operation::initialize
                  || operation == veltrin::ndi::Operation::version)
        std::call_once(veltrin::ndi::g_choose, veltrin::ndi::choose);
    return veltrin::ndi::api();
}

} // namespace

VELTRIN_NDI_DEFINE_FORWARDERS()

extern "C" bool VeltrinNdi_is_builtin(void)
{
    std::call_once(veltrin::ndi::g_choose, veltrin::ndi::choose);
    return veltrin::ndi::g_api.load(std::memory_order_acquire) == nullptr;
}

extern "C" uint32_t VeltrinNdi_stream_figures(VeltrinNdiFigures *out, uint32_t capacity)
{
    using namespace veltrin::ndi;
    if (g_api.load(std::memory_order_acquire) == nullptr)
        return veltrin::rt::builtinStreamFigures(out, capacity);
    std::lock_guard lock(g_trackedMutex);
    uint32_t count = 0;
    for (const Tracked &t : g_tracked) {
        if (out != nullptr && count < capacity)
            out[count] = libraryFigures(t);
        ++count;
    }
    return count;
}
