#include "NdiLoader.h"

#include "NdiApi.h"
#include "NdiLib.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <string>

namespace veltrin::ndi {

namespace {

using rt::NdiApi;

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
#define VELTRIN_RESOLVE(name)                                                                      \
    loaded.name = reinterpret_cast<decltype(loaded.name)>(dlsym(handle, "NDIlib_" #name));         \
    if (loaded.name == nullptr && missing.empty())                                                 \
        missing = "NDIlib_" #name;
    VELTRIN_NDI_API_ENTRIES(VELTRIN_RESOLVE)
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

using veltrin::ndi::api;

extern "C" {

bool NDIlib_initialize(void)
{
    std::call_once(veltrin::ndi::g_choose, veltrin::ndi::choose);
    return api().initialize();
}
void NDIlib_destroy(void)
{
    api().destroy();
}
const char *NDIlib_version(void)
{
    return api().version();
}
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *settings)
{
    return api().find_create_v2(settings);
}
void NDIlib_find_destroy(NDIlib_find_instance_t instance)
{
    api().find_destroy(instance);
}
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t instance, uint32_t timeoutMs)
{
    return api().find_wait_for_sources(instance, timeoutMs);
}
const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t instance,
                                                       uint32_t *count)
{
    return api().find_get_current_sources(instance, count);
}
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *settings)
{
    return api().send_create(settings);
}
void NDIlib_send_destroy(NDIlib_send_instance_t instance)
{
    api().send_destroy(instance);
}
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t instance,
                               const NDIlib_audio_frame_v2_t *frame)
{
    api().send_send_audio_v2(instance, frame);
}
NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t *settings)
{
    return api().recv_create_v3(settings);
}
void NDIlib_recv_destroy(NDIlib_recv_instance_t instance)
{
    api().recv_destroy(instance);
}
NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t receiver)
{
    return api().framesync_create(receiver);
}
void NDIlib_framesync_destroy(NDIlib_framesync_instance_t instance)
{
    api().framesync_destroy(instance);
}
void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t instance,
                                    NDIlib_audio_frame_v2_t *frame, int sampleRate, int channels,
                                    int samples)
{
    api().framesync_capture_audio(instance, frame, sampleRate, channels, samples);
}
void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t instance,
                                 NDIlib_audio_frame_v2_t *frame)
{
    api().framesync_free_audio(instance, frame);
}
void NDIlib_util_audio_to_interleaved_32f_v2(const NDIlib_audio_frame_v2_t *src,
                                             NDIlib_audio_frame_interleaved_32f_t *dst)
{
    api().util_audio_to_interleaved_32f_v2(src, dst);
}
void NDIlib_util_audio_from_interleaved_32f_v2(const NDIlib_audio_frame_interleaved_32f_t *src,
                                               NDIlib_audio_frame_v2_t *dst)
{
    api().util_audio_from_interleaved_32f_v2(src, dst);
}

} // extern "C"
