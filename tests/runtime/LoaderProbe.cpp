// Test program for the NDI runtime loader: reports where NDI calls go before and after
// NDIlib_initialize(), and that a frame synchroniser of the chosen runtime delivers audio.
// Lines: "before: builtin|loaded", the loader's own line, "after: builtin|loaded",
// "version: <text>", "capture: <samples> <channels>".
#include "NdiLib.h"

#include <cstdio>
#include <dlfcn.h>
#include <vector>

namespace {

// Whether `p` lies in this program (the built-in runtime is linked into it) or elsewhere.
const char *where(const void *p)
{
    Dl_info mine{}, theirs{};
    dladdr(reinterpret_cast<const void *>(&where), &mine);
    if (dladdr(p, &theirs) == 0)
        return "unknown";
    return theirs.dli_fbase == mine.dli_fbase ? "builtin" : "loaded";
}

} // namespace

int main()
{
    std::printf("before: %s\n", where(NDIlib_version()));
    std::vector<float> interleaved = {1, 2, 3, 4}, planar(4);
    NDIlib_audio_frame_interleaved_32f_t in;
    in.no_channels = 2;
    in.no_samples = 2;
    in.p_data = interleaved.data();
    NDIlib_audio_frame_v2_t out;
    out.p_data = planar.data();
    out.channel_stride_in_bytes = 8;
    NDIlib_util_audio_from_interleaved_32f_v2(&in, &out);
    std::printf("util: %g %g %g %g\n", planar[0], planar[1], planar[2], planar[3]);
    std::fflush(stdout);
    if (!NDIlib_initialize())
        return 1;
    const char *version = NDIlib_version();
    std::printf("after: %s\nversion: %s\n", where(version), version);
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_url_address = "127.0.0.1:9";
    NDIlib_recv_instance_t recv = NDIlib_recv_create_v3(&settings);
    NDIlib_framesync_instance_t sync = NDIlib_framesync_create(recv);
    NDIlib_audio_frame_v2_t frame;
    NDIlib_framesync_capture_audio(sync, &frame, 48000, 2, 64);
    std::printf("capture: %d %d\n", frame.no_samples, frame.no_channels);
    NDIlib_framesync_free_audio(sync, &frame);
    NDIlib_framesync_destroy(sync);
    NDIlib_recv_destroy(recv);
    NDIlib_destroy();
    return 0;
}
