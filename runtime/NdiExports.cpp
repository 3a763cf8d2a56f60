// The built-in runtime under the NDI runtime's own C symbol names, for building it as a shared
// library that the loader can open like an installed libndi.so.5. Built a second time with
// VELTRIN_OMIT_FRAMESYNC_CAPTURE to give the loader a library that lacks an operation.
#include "NdiApi.h"

using veltrin::rt::builtinApi;

extern "C" {

bool NDIlib_initialize(void)
{
    return builtinApi().initialize();
}
void NDIlib_destroy(void)
{
    builtinApi().destroy();
}
const char *NDIlib_version(void)
{
    return builtinApi().version();
}
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *settings)
{
    return builtinApi().find_create_v2(settings);
}
void NDIlib_find_destroy(NDIlib_find_instance_t instance)
{
    builtinApi().find_destroy(instance);
}
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t instance, uint32_t timeoutMs)
{
    return builtinApi().find_wait_for_sources(instance, timeoutMs);
}
const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t instance,
                                                       uint32_t *count)
{
    return builtinApi().find_get_current_sources(instance, count);
}
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *settings)
{
    return builtinApi().send_create(settings);
}
void NDIlib_send_destroy(NDIlib_send_instance_t instance)
{
    builtinApi().send_destroy(instance);
}
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t instance,
                               const NDIlib_audio_frame_v2_t *frame)
{
    builtinApi().send_send_audio_v2(instance, frame);
}
NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t *settings)
{
    return builtinApi().recv_create_v3(settings);
}
void NDIlib_recv_destroy(NDIlib_recv_instance_t instance)
{
    builtinApi().recv_destroy(instance);
}
NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t receiver)
{
    return builtinApi().framesync_create(receiver);
}
void NDIlib_framesync_destroy(NDIlib_framesync_instance_t instance)
{
    builtinApi().framesync_destroy(instance);
}
#ifndef VELTRIN_OMIT_FRAMESYNC_CAPTURE
void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t instance,
                                    NDIlib_audio_frame_v2_t *frame, int sampleRate, int channels,
                                    int samples)
{
    builtinApi().framesync_capture_audio(instance, frame, sampleRate, channels, samples);
}
#endif
void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t instance,
                                 NDIlib_audio_frame_v2_t *frame)
{
    builtinApi().framesync_free_audio(instance, frame);
}
void NDIlib_util_audio_to_interleaved_32f_v2(const NDIlib_audio_frame_v2_t *src,
                                             NDIlib_audio_frame_interleaved_32f_t *dst)
{
    builtinApi().util_audio_to_interleaved_32f_v2(src, dst);
}
void NDIlib_util_audio_from_interleaved_32f_v2(const NDIlib_audio_frame_interleaved_32f_t *src,
                                               NDIlib_audio_frame_v2_t *dst)
{
    builtinApi().util_audio_from_interleaved_32f_v2(src, dst);
}

} // extern "C"
