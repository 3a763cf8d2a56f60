#include "NdiLoader.h"

#include "NdiApi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <string>

namespace veltrin::ndi {

namespace {

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
    g_library.api = loaded;
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

} // namespace veltrin::ndi

namespace {

// Every call reads the chosen table; NDIlib_initialize makes the choice first (once).
template <veltrin::ndi::Operation operation> const veltrin::ndi::NdiApi &forwardingTable()
{
    if constexpr (operation == veltrin::ndi::Operation::initialize)
        std::call_once(veltrin::ndi::g_choose, veltrin::ndi::choose);
    return veltrin::ndi::api();
}

} // namespace

VELTRIN_NDI_DEFINE_FORWARDERS()
