// Test program for the NDI runtime loader: reports where NDI calls go before and after
// NDIlib_initialize(), that a frame synchroniser of the chosen runtime delivers audio, and
// what the figures call tells of its receiver.
// Lines: the loader's own line, "before: builtin|loaded", "early version: <text>",
// "after: builtin|loaded", "version: <text>", "capture: <samples> <channels>",
// "figures: <builtin 0|1> <streams> <available mask>".
#include "NdiFigures.h"
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
    // The version is asked before the runtime is initialised (as the window does): it must
    // already be the version of the runtime that will serve the calls.
    const char *early = NDIlib_version();
    std::printf("before: %s\nearly version: %s\n", where(early), early);
    std::vector<float> interleaved = {1, 2, 3, 4}, planar(4);
    NDIlib_audio_frame_interleaved_32f_t in{48000, 2, 2, 0, interleaved.data()};
    NDIlib_audio_frame_v2_t out{48000, 2, 0, 0, planar.data(), 8};
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
    VeltrinNdiFigures figures[4];
    const uint32_t streams = VeltrinNdi_stream_figures(figures, 4);
    std::printf("figures: %d %u %u\n", VeltrinNdi_is_builtin() ? 1 : 0, streams,
                streams > 0 ? figures[0].available : 0u);
    NDIlib_framesync_free_audio(sync, &frame);
    NDIlib_framesync_destroy(sync);
    NDIlib_recv_destroy(recv);
    NDIlib_destroy();
    return 0;
}
