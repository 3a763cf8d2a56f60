// The built-in runtime under the NDI runtime's own C symbol names, for building it as a shared
// library that the loader can open like an installed libndi.so.5.
#include "NdiApi.h"

namespace {

#ifdef VELTRIN_EXPORT_VERSION_TEXT
// A stand-in for an installed runtime of another version: the built-in runtime under a
// version text of its own.
const char *standInVersion()
{
    return VELTRIN_EXPORT_VERSION_TEXT;
}
#endif

template <veltrin::ndi::Operation> const veltrin::ndi::NdiApi &forwardingTable()
{
#ifdef VELTRIN_EXPORT_VERSION_TEXT
    static const veltrin::ndi::NdiApi api = [] {
        veltrin::ndi::NdiApi table = veltrin::rt::builtinApi();
        table.version = &standInVersion;
        return table;
    }();
    return api;
#else
    return veltrin::rt::builtinApi();
#endif
}

} // namespace

VELTRIN_NDI_DEFINE_FORWARDERS()

// The figure calls of the runtime's published interface, which the loader reads when it finds
// them, answered from the built-in runtime's own figures. The layouts are the published ones.
extern "C" {

struct NDIlib_recv_performance_t {
    int64_t video_frames, audio_frames, metadata_frames;
};
struct NDIlib_recv_queue_t {
    int32_t video_frames, audio_frames, metadata_frames;
};

void NDIlib_recv_get_performance(NDIlib_recv_instance_t p_instance,
                                 NDIlib_recv_performance_t *p_total,
                                 NDIlib_recv_performance_t *p_dropped)
{
    VeltrinNdiFigures f;
    const bool known = veltrin::rt::builtinHandleFigures(p_instance, f);
    if (p_total != nullptr)
        *p_total = {0, known ? int64_t(f.framesReceived) : 0, 0};
    if (p_dropped != nullptr)
        *p_dropped = {0, known ? int64_t(f.framesDropped) : 0, 0};
}

void NDIlib_recv_get_queue(NDIlib_recv_instance_t, NDIlib_recv_queue_t *p_total)
{
    // Received audio goes straight to the frame synchroniser: nothing waits in a queue.
    if (p_total != nullptr)
        *p_total = {0, 0, 0};
}

int NDIlib_recv_get_no_connections(NDIlib_recv_instance_t p_instance)
{
    VeltrinNdiFigures f;
    return veltrin::rt::builtinHandleFigures(p_instance, f) ? f.connections : 0;
}

int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance, uint32_t)
{
    VeltrinNdiFigures f;
    return veltrin::rt::builtinHandleFigures(p_instance, f) ? f.connections : 0;
}

} // extern "C"
