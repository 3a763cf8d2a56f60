#include "NdiRecorder.h"

#include "AudioConvert.h"
#include "CallLog.h"
#include "NdiFigures.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace ndirec {
namespace {

using Sources = std::vector<std::pair<std::string, std::string>>;

struct Framesync {
    long long frame = 0;     // next frame of the scripted signal
    std::vector<float> lent; // the planar block lent to the caller
};

struct Finder {
    uint64_t seenGeneration;
    std::vector<NDIlib_source_t> view;
    Sources copy;
};

// Everything reset() clears.
struct Data {
    Counts counts;
    std::deque<SentFrame> sent;
    std::deque<CaptureRequest> captures;
    Script script;
    Sources sources;
    uint64_t generation = 0; // of the source list
};

struct State : Data {
    std::mutex mutex;
    std::condition_variable changed;
} g;

// Runs `f` on the state under its mutex.
template <class F> auto locked(F f)
{
    std::lock_guard<std::mutex> lock(g.mutex);
    return f(g);
}

// Records the call and deletes the handle.
template <class T> void destroyed(const char *call, void *handle)
{
    calllog::record(call);
    delete static_cast<T *>(handle);
}

} // namespace

void reset(const Script &script)
{
    locked([&](State &s) {
        const uint64_t generation = s.generation;
        static_cast<Data &>(s) = Data{};
        s.script = script;
        s.generation = generation + 1;
    });
}

Counts counts()
{
    return locked([](State &s) { return s.counts; });
}
std::vector<SentFrame> sentFrames()
{
    return locked([](State &s) { return std::vector<SentFrame>(s.sent.begin(), s.sent.end()); });
}
std::vector<CaptureRequest> captureRequests()
{
    return locked([](State &s) { return std::vector(s.captures.begin(), s.captures.end()); });
}

void setSources(const Sources &nameAndAddress)
{
    locked([&](State &s) { s.sources = nameAndAddress, ++s.generation; });
    g.changed.notify_all();
}

} // namespace ndirec

using namespace ndirec;

extern "C" {

bool NDIlib_initialize(void)
{
    return locked([](State &s) { return ++s.counts.initialize, s.script.initializeResult; });
}

void NDIlib_destroy(void)
{
    locked([](State &s) { s.counts.destroy++; });
}
const char *NDIlib_version(void)
{
    return "Recording test runtime 0.0.1";
}
// No stream figures: the built-in runtime's own tests cover them.
uint32_t VeltrinNdi_stream_figures(VeltrinNdiFigures *, uint32_t)
{
    return 0;
}
bool VeltrinNdi_is_builtin(void)
{
    return false;
}

NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t *)
{
    return locked([](State &s) {
        s.counts.findersCreated++;
        // A new finder reports the sources already out there as its first change.
        return new Finder{s.sources.empty() ? s.generation : s.generation - 1, {}, {}};
    });
}

void NDIlib_find_destroy(NDIlib_find_instance_t p_instance)
{
    locked([](State &s) { s.counts.findersDestroyed++; });
    delete static_cast<Finder *>(p_instance);
}

bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms)
{
    auto *finder = static_cast<Finder *>(p_instance);
    std::unique_lock<std::mutex> lock(g.mutex);
    g.changed.wait_for(lock, std::chrono::milliseconds(std::min<uint32_t>(timeout_in_ms, 50)),
                       [&] { return g.generation != finder->seenGeneration; });
    return std::exchange(finder->seenGeneration, g.generation) != g.generation;
}

const NDIlib_source_t *NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                       uint32_t *p_no_sources)
{
    auto *finder = static_cast<Finder *>(p_instance);
    finder->copy = locked([](State &s) { return s.sources; });
    finder->view.clear();
    for (const auto &[name, address] : finder->copy)
        finder->view.push_back(NDIlib_source_t{name.c_str(), address.c_str()});
    if (p_no_sources)
        *p_no_sources = uint32_t(finder->view.size());
    return finder->view.empty() ? nullptr : finder->view.data();
}

NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t *p_create_settings)
{
    calllog::record("+send");
    const char *name = p_create_settings ? p_create_settings->p_ndi_name : nullptr;
    return locked([&](State &s) -> NDIlib_send_instance_t {
        if (s.script.failSender)
            return nullptr;
        return new std::string(name ? name : "");
    });
}

void NDIlib_send_destroy(NDIlib_send_instance_t p_instance)
{
    destroyed<std::string>("-send", p_instance);
}

void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t *p_audio_data)
{
    const NDIlib_audio_frame_v2_t &a = *p_audio_data;
    const auto &sender = *static_cast<const std::string *>(p_instance);
    SentFrame frame{
        sender, a.sample_rate, a.no_channels, a.no_samples, a.timecode, a.channel_stride_in_bytes,
        {}};
    for (int c = 0; c < frame.channels; ++c) {
        const float *channel =
            a.p_data + size_t(c) * size_t(a.channel_stride_in_bytes) / sizeof(float);
        frame.planar.insert(frame.planar.end(), channel, channel + frame.samples);
    }
    locked([&](State &s) {
        s.sent.push_back(std::move(frame));
        if (s.sent.size() > 100000)
            s.sent.pop_front();
    });
}

NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t *)
{
    calllog::record("+recv");
    return new int(0);
}

void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance)
{
    destroyed<int>("-recv", p_instance);
}

NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t)
{
    calllog::record("+framesync");
    return locked([](State &s) -> Framesync * {
        if (s.script.failFramesync)
            return nullptr;
        return new Framesync;
    });
}

void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p_instance)
{
    destroyed<Framesync>("-framesync", p_instance);
}

void NDIlib_framesync_capture_audio(NDIlib_framesync_instance_t p_instance,
                                    NDIlib_audio_frame_v2_t *p_audio_data, int sample_rate,
                                    int no_channels, int no_samples)
{
    auto *fs = static_cast<Framesync *>(p_instance);
    const auto signal = locked([&](State &s) {
        s.captures.push_back({sample_rate, no_channels, no_samples});
        if (s.captures.size() > 10000)
            s.captures.pop_front();
        return s.script.framesyncSignal;
    });
    const int channels = std::max(no_channels, 0), samples = std::max(no_samples, 0);
    fs->lent.assign(size_t(channels) * size_t(samples), 0.0f);
    for (int c = 0; signal && c < channels; ++c)
        for (int n = 0; n < samples; ++n)
            fs->lent[size_t(c) * size_t(samples) + size_t(n)] = signal(fs->frame + n, c);
    fs->frame += samples;
    NDIlib_audio_frame_v2_t &a = *p_audio_data = NDIlib_audio_frame_v2_t{};
    a.sample_rate = sample_rate, a.no_channels = channels, a.no_samples = samples;
    a.p_data = fs->lent.data(), a.channel_stride_in_bytes = samples * int(sizeof(float));
}

void NDIlib_framesync_free_audio(NDIlib_framesync_instance_t, NDIlib_audio_frame_v2_t *p_audio_data)
{
    p_audio_data->p_data = nullptr;
}

void NDIlib_util_audio_to_interleaved_32f_v2(const NDIlib_audio_frame_v2_t *p_src,
                                             NDIlib_audio_frame_interleaved_32f_t *p_dst)
{
    veltrin::rt::planarToInterleaved(*p_src, *p_dst);
}

void NDIlib_util_audio_from_interleaved_32f_v2(const NDIlib_audio_frame_interleaved_32f_t *p_src,
                                               NDIlib_audio_frame_v2_t *p_dst)
{
    veltrin::rt::interleavedToPlanar(*p_src, *p_dst);
}

} // extern "C"
