// The NDI interface: the runtime operations Veltrin calls, declared with the binary layout of
// the runtime's published C interface so that an installed libndi.so.5 can sit behind them. The
// engine, the built-in runtime, the discovery thread and the controller all call through this
// header. The program defines the symbols in ndi/ (the loader, or the export shim of the built-in
// runtime); tests may link a double instead.
//
// Layout rules that keep the ABI: every enum is 32 bits wide, flag fields are C++ bool, handles
// are opaque pointers, and the structs keep their field order. Nothing in here owns anything.
#pragma once

#include <cstdint>

extern "C" {

using NDIlib_find_instance_t = void *;
using NDIlib_send_instance_t = void *;
using NDIlib_recv_instance_t = void *;
using NDIlib_framesync_instance_t = void *;

enum NDIlib_recv_bandwidth_e : int32_t {
    NDIlib_recv_bandwidth_metadata_only = -10,
    NDIlib_recv_bandwidth_audio_only = 10,
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
    NDIlib_recv_bandwidth_max = 0x7fffffff
};

enum NDIlib_recv_color_format_e : int32_t {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_RGBX_RGBA = 2,
    NDIlib_recv_color_format_UYVY_RGBA = 3,
    NDIlib_recv_color_format_fastest = 100,
    NDIlib_recv_color_format_best = 101,
    NDIlib_recv_color_format_max = 0x7fffffff
};

// Asks the runtime to stamp the frame with its own clock.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

struct NDIlib_source_t {
    const char *p_ndi_name = nullptr;
    const char *p_url_address = nullptr;
};

struct NDIlib_find_create_t {
    bool show_local_sources = true;
    const char *p_groups = nullptr;
    const char *p_extra_ips = nullptr;
};

struct NDIlib_send_create_t {
    const char *p_ndi_name = nullptr;
    const char *p_groups = nullptr;
    bool clock_video = true;
    bool clock_audio = true;
};

struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    NDIlib_recv_color_format_e color_format = NDIlib_recv_color_format_UYVY_BGRA;
    NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
    bool allow_video_fields = true;
    const char *p_ndi_recv_name = nullptr;
};

// Planar 32-bit float audio: channel c starts c * channel_stride_in_bytes after p_data.
struct NDIlib_audio_frame_v2_t {
    int32_t sample_rate = 48000;
    int32_t no_channels = 2;
    int32_t no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float *p_data = nullptr;
    int32_t channel_stride_in_bytes = 0;
    const char *p_metadata = nullptr;
    int64_t timestamp = 0;
};

// Interleaved 32-bit float audio: sample s of channel c is p_data[s * no_channels + c].
struct NDIlib_audio_frame_interleaved_32f_t {
    int32_t sample_rate = 48000;
    int32_t no_channels = 2;
    int32_t no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float *p_data = nullptr;
};

// Every operation, written once: X(name, result, parameters, arguments) for NDIlib_<name>. The
// declarations below, the loader's table and forwarders and the export shim are all expanded
// from this list, so they cannot differ.
#define VELTRIN_NDI_OPERATIONS(X)                                                                  \
    X(initialize, bool, (void), ())                                                                \
    X(destroy, void, (void), ())                                                                   \
    X(version, const char *, (void), ())                                                           \
    X(find_create_v2, NDIlib_find_instance_t, (const NDIlib_find_create_t *p_create_settings),     \
      (p_create_settings))                                                                         \
    X(find_destroy, void, (NDIlib_find_instance_t p_instance), (p_instance))                       \
    X(find_wait_for_sources, bool, (NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms),    \
      (p_instance, timeout_in_ms))                                                                 \
    X(find_get_current_sources, const NDIlib_source_t *,                                           \
      (NDIlib_find_instance_t p_instance, uint32_t * p_no_sources), (p_instance, p_no_sources))    \
    X(send_create, NDIlib_send_instance_t, (const NDIlib_send_create_t *p_create_settings),        \
      (p_create_settings))                                                                         \
    X(send_destroy, void, (NDIlib_send_instance_t p_instance), (p_instance))                       \
    X(send_send_audio_v2, void,                                                                    \
      (NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v2_t *p_audio_data),            \
      (p_instance, p_audio_data))                                                                  \
    X(recv_create_v3, NDIlib_recv_instance_t, (const NDIlib_recv_create_v3_t *p_create_settings),  \
      (p_create_settings))                                                                         \
    X(recv_destroy, void, (NDIlib_recv_instance_t p_instance), (p_instance))                       \
    X(framesync_create, NDIlib_framesync_instance_t, (NDIlib_recv_instance_t p_receiver),          \
      (p_receiver))                                                                                \
    X(framesync_destroy, void, (NDIlib_framesync_instance_t p_instance), (p_instance))             \
    X(framesync_capture_audio, void,                                                               \
      (NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t * p_audio_data,             \
       int sample_rate, int no_channels, int no_samples),                                          \
      (p_instance, p_audio_data, sample_rate, no_channels, no_samples))                            \
    X(framesync_free_audio, void,                                                                  \
      (NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v2_t * p_audio_data),            \
      (p_instance, p_audio_data))                                                                  \
    X(util_audio_to_interleaved_32f_v2, void,                                                      \
      (const NDIlib_audio_frame_v2_t *p_src, NDIlib_audio_frame_interleaved_32f_t *p_dst),         \
      (p_src, p_dst))                                                                              \
    X(util_audio_from_interleaved_32f_v2, void,                                                    \
      (const NDIlib_audio_frame_interleaved_32f_t *p_src, NDIlib_audio_frame_v2_t *p_dst),         \
      (p_src, p_dst))

#define VELTRIN_NDI_DECLARE(name, result, parameters, arguments) result NDIlib_##name parameters;
VELTRIN_NDI_OPERATIONS(VELTRIN_NDI_DECLARE)
#undef VELTRIN_NDI_DECLARE

} // extern "C"
