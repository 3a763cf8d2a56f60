// A table of the NDI runtime operations Veltrin calls, one function pointer per operation.
//
// The loader fills one from an installed libndi.so.5 and dispatches through it; the built-in
// runtime provides a table of its own. Threads: the tables are constant once filled.
#pragma once

#include "NdiLib.h"

namespace veltrin::rt {

struct NdiApi {
    decltype(&NDIlib_initialize) initialize = nullptr;
    decltype(&NDIlib_destroy) destroy = nullptr;
    decltype(&NDIlib_version) version = nullptr;
    decltype(&NDIlib_find_create_v2) find_create_v2 = nullptr;
    decltype(&NDIlib_find_destroy) find_destroy = nullptr;
    decltype(&NDIlib_find_wait_for_sources) find_wait_for_sources = nullptr;
    decltype(&NDIlib_find_get_current_sources) find_get_current_sources = nullptr;
    decltype(&NDIlib_send_create) send_create = nullptr;
    decltype(&NDIlib_send_destroy) send_destroy = nullptr;
    decltype(&NDIlib_send_send_audio_v2) send_send_audio_v2 = nullptr;
    decltype(&NDIlib_recv_create_v3) recv_create_v3 = nullptr;
    decltype(&NDIlib_recv_destroy) recv_destroy = nullptr;
    decltype(&NDIlib_framesync_create) framesync_create = nullptr;
    decltype(&NDIlib_framesync_destroy) framesync_destroy = nullptr;
    decltype(&NDIlib_framesync_capture_audio) framesync_capture_audio = nullptr;
    decltype(&NDIlib_framesync_free_audio) framesync_free_audio = nullptr;
    decltype(&NDIlib_util_audio_to_interleaved_32f_v2) util_audio_to_interleaved_32f_v2 = nullptr;
    decltype(&NDIlib_util_audio_from_interleaved_32f_v2) util_audio_from_interleaved_32f_v2 =
        nullptr;
};

// Calls NDI_API_ENTRY(name) once for every operation, in table order.
#define VELTRIN_NDI_API_ENTRIES(NDI_API_ENTRY)                                                     \
    NDI_API_ENTRY(initialize)                                                                      \
    NDI_API_ENTRY(destroy)                                                                         \
    NDI_API_ENTRY(version)                                                                         \
    NDI_API_ENTRY(find_create_v2)                                                                  \
    NDI_API_ENTRY(find_destroy)                                                                    \
    NDI_API_ENTRY(find_wait_for_sources)                                                           \
    NDI_API_ENTRY(find_get_current_sources)                                                        \
    NDI_API_ENTRY(send_create)                                                                     \
    NDI_API_ENTRY(send_destroy)                                                                    \
    NDI_API_ENTRY(send_send_audio_v2)                                                              \
    NDI_API_ENTRY(recv_create_v3)                                                                  \
    NDI_API_ENTRY(recv_destroy)                                                                    \
    NDI_API_ENTRY(framesync_create)                                                                \
    NDI_API_ENTRY(framesync_destroy)                                                               \
    NDI_API_ENTRY(framesync_capture_audio)                                                         \
    NDI_API_ENTRY(framesync_free_audio)                                                            \
    NDI_API_ENTRY(util_audio_to_interleaved_32f_v2)                                                \
    NDI_API_ENTRY(util_audio_from_interleaved_32f_v2)

// The built-in runtime's table.
const NdiApi &builtinApi();

} // namespace veltrin::rt
