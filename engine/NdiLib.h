// The NDI runtime operations the application calls, declared with the binary layout of the
// runtime's published C interface so that an installed libndi.so.5 can sit behind them.
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

bool NDIlib_initialize(void);
void NDIlib_destroy(void);
const char *NDIlib_version(void);

NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *p_create_settings);
void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                       uint32_t *p_no_sources);

NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *p_create_settings);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t *p_audio_data);

NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t *p_create_settings);
void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);

NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p_receiver);
void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p_instance);
void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t p_instance,
                                    NDIlib_audio_frame_v2_t *p_audio_data, int sample_rate,
                                    int no_channels, int no_samples);
void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t p_instance,
                                 NDIlib_audio_frame_v2_t *p_audio_data);

void NDIlib_util_audio_to_interleaved_32f_v2(const NDIlib_audio_frame_v2_t *p_src,
                                             NDIlib_audio_frame_interleaved_32f_t *p_dst);
void NDIlib_util_audio_from_interleaved_32f_v2(const NDIlib_audio_frame_interleaved_32f_t *p_src,
                                               NDIlib_audio_frame_v2_t *p_dst);

} // extern "C"
