// The built-in runtime behind the NDI operations: senders announced through discovery and
// served over UDP, receivers that find and follow a source by name, frame synchronisers, and
// the interleaving utilities. Handles are pointers to the instance structs below.
//
// Threads: create and destroy calls may come from any thread (each handle is used as the
// NDI interface allows: a sender's send call from one thread at a time, a frame
// synchroniser's capture from one thread). The audio calls (send, capture, free, utilities)
// take no lock and allocate nothing after their first call.
#include "AudioConvert.h"
#include "Discovery.h"
#include "FrameSync.h"
#include "NdiApi.h"
#include "NdiFigures.h"
#include "Receiver.h"
#include "SafeText.h"
#include "Sender.h"
#include "StreamFigures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::rt {

namespace {

constexpr const char *kVersionText = "Veltrin network runtime 1.0.0";

// The discovery settings, read when the runtime is initialised (and on first use otherwise).
std::mutex g_configMutex;
std::optional<DiscoveryConfig> g_config;

DiscoveryConfig config()
{
    std::lock_guard lock(g_configMutex);
    if (!g_config)
        g_config = DiscoveryConfig::load();
    return *g_config;
}

// Sender names. A sender given no name (the program's first run, before anything was typed)
// is published as "Veltrin", else "Veltrin 2", "Veltrin 3"...: the first whose full name no
// source of this machine or of the network has. A given name is cleaned like any text from
// outside and cut so that the full name fits one TXT string after "name=".
constexpr const char *kGeneratedName = "Veltrin";
constexpr size_t kMaxFullNameBytes = 250;
// How long a process that was not browsing yet listens for the names in use. The program's
// discovery thread browses from its start, so it never waits.
constexpr std::chrono::milliseconds kNameSettle{750};
std::mutex g_namingMutex; // one name chosen and announced at a time

std::unique_ptr<Announcer> announceSender(const DiscoveryConfig &c, const char *given,
                                          uint16_t port)
{
    const std::string machine = machineLabel(c);
    const size_t room = kMaxFullNameBytes - std::min(kMaxFullNameBytes, machine.size() + 3);
    CleanText name = cleanText(given ? given : "", room);
    if (name.faults != 0)
        reportCleanedText(TextOrigin::SenderName, name.faults, "the sender name", name.text);
    std::lock_guard lock(g_namingMutex);
    if (name.text.find_first_not_of(' ') != std::string::npos)
        return std::make_unique<Announcer>(c, sourceName(c, name.text), port);

    const std::set<std::string> inUse = sourceNamesInUse(c, kNameSettle);
    std::string full = sourceName(c, kGeneratedName);
    for (int n = 2; inUse.count(full); ++n)
        full = sourceName(c, std::string(kGeneratedName) + ' ' + std::to_string(n));
    std::fprintf(stderr, "Veltrin runtime: a sender without a name is published as \"%s\".\n",
                 full.c_str());
    return std::make_unique<Announcer>(c, full, port);
}

struct SendInstance {
    Sender sender;
    std::unique_ptr<Announcer> announcer;
    std::string name; // as announced, or as given when it could not be announced
    explicit SendInstance(bool clockAudio) : sender(clockAudio) {}
};

struct FindInstance {
    Browser browser;
    std::vector<FoundSource> current;
    std::vector<NDIlib_source_t> array;
    explicit FindInstance(const DiscoveryConfig &c) : browser(c) {}
};

struct FrameSyncInstance;

struct RecvInstance {
    Receiver receiver;
    std::string name;
    FrameSyncInstance *sync = nullptr; // guarded by g_registryMutex
    RecvInstance(std::string source, std::string url)
        : receiver(source, std::move(url)), name(std::move(source))
    {
    }
};

struct FrameSyncInstance {
    FrameSync sync;
    RecvInstance *recv = nullptr;
};

// The live senders and receivers, for the figures. Taken when one is made or destroyed and
// when the figures are read, never by an audio call.
std::mutex g_registryMutex;
std::vector<SendInstance *> g_senders;
std::vector<RecvInstance *> g_receivers;

template <typename T> void unregister(std::vector<T *> &list, T *item)
{
    std::lock_guard lock(g_registryMutex);
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

bool initialize()
{
    std::lock_guard lock(g_configMutex);
    g_config = DiscoveryConfig::load();
    return true;
}

void destroy() {}

const char *version()
{
    return kVersionText;
}

NDIlib_find_instance_t findCreate(const NDIlib_find_create_t *)
{
    try {
        return new FindInstance(config());
    } catch (...) {
        return nullptr;
    }
}

void findDestroy(NDIlib_find_instance_t instance)
{
    delete static_cast<FindInstance *>(instance);
}

bool findWait(NDIlib_find_instance_t instance, uint32_t timeoutMs)
{
    if (instance == nullptr)
        return false;
    return static_cast<FindInstance *>(instance)->browser.waitForChange(timeoutMs);
}

const NDIlib_source_t *findSources(NDIlib_find_instance_t instance, uint32_t *count)
{
    if (instance == nullptr) {
        if (count)
            *count = 0;
        return nullptr;
    }
    auto *find = static_cast<FindInstance *>(instance);
    try {
        find->current = find->browser.sources();
        find->array.clear();
        for (const auto &source : find->current)
            find->array.push_back({source.name.c_str(), source.address.c_str()});
    } catch (...) {
        find->current.clear();
        find->array.clear();
    }
    if (count)
        *count = uint32_t(find->array.size());
    return find->array.empty() ? nullptr : find->array.data();
}

NDIlib_send_instance_t sendCreate(const NDIlib_send_create_t *settings)
{
    if (settings == nullptr)
        return nullptr;
    std::unique_ptr<SendInstance> send;
    try {
        send = std::make_unique<SendInstance>(settings->clock_audio);
    } catch (...) {
        return nullptr;
    }
    if (!send->sender.valid())
        return nullptr;
    try {
        const DiscoveryConfig c = config();
        send->announcer = announceSender(c, settings->p_ndi_name, send->sender.port());
    } catch (...) {
        // Not announced (no usable network interface): still served to receivers that are
        // given the address.
    }
    try {
        send->name = send->announcer
                         ? send->announcer->name()
                         : std::string(settings->p_ndi_name ? settings->p_ndi_name : "");
        std::lock_guard lock(g_registryMutex);
        g_senders.push_back(send.get());
    } catch (...) {
        return nullptr;
    }
    return send.release();
}

void sendDestroy(NDIlib_send_instance_t instance)
{
    auto *send = static_cast<SendInstance *>(instance);
    unregister(g_senders, send);
    delete send;
}

void sendAudio(NDIlib_send_instance_t instance, const NDIlib_audio_frame_v2_t *frame)
{
    if (instance != nullptr && frame != nullptr)
        static_cast<SendInstance *>(instance)->sender.sendAudio(*frame);
}

NDIlib_recv_instance_t recvCreate(const NDIlib_recv_create_v3_t *settings)
{
    if (settings == nullptr)
        return nullptr;
    // A receiver of no source is valid: it stays silent, like one whose source is not there.
    const char *name = settings->source_to_connect_to.p_ndi_name;
    const char *url = settings->source_to_connect_to.p_url_address;
    try {
        auto recv = std::make_unique<RecvInstance>(name ? name : "", url ? url : "");
        std::lock_guard lock(g_registryMutex);
        g_receivers.push_back(recv.get());
        return recv.release();
    } catch (...) {
        return nullptr;
    }
}

void recvDestroy(NDIlib_recv_instance_t instance)
{
    auto *recv = static_cast<RecvInstance *>(instance);
    unregister(g_receivers, recv);
    delete recv;
}

NDIlib_framesync_instance_t framesyncCreate(NDIlib_recv_instance_t receiver)
{
    if (receiver == nullptr)
        return nullptr;
    try {
        auto fs = std::make_unique<FrameSyncInstance>();
        fs->recv = static_cast<RecvInstance *>(receiver);
        fs->recv->receiver.attach(&fs->sync);
        std::lock_guard lock(g_registryMutex);
        fs->recv->sync = fs.get();
        return fs.release();
    } catch (...) {
        return nullptr;
    }
}

void framesyncDestroy(NDIlib_framesync_instance_t instance)
{
    auto *fs = static_cast<FrameSyncInstance *>(instance);
    if (fs == nullptr)
        return;
    fs->recv->receiver.detach(&fs->sync);
    {
        std::lock_guard lock(g_registryMutex);
        if (fs->recv->sync == fs)
            fs->recv->sync = nullptr;
    }
    delete fs;
}

void framesyncCapture(NDIlib_framesync_instance_t instance, NDIlib_audio_frame_v2_t *frame,
                      int sampleRate, int channels, int samples)
{
    if (frame == nullptr)
        return;
    if (instance == nullptr) {
        // No synchroniser (its creation failed): silence of the requested shape, from a
        // buffer that is never written.
        static float silence[FrameSync::kMaxChannels * 8192] = {};
        *frame = NDIlib_audio_frame_v2_t{};
        frame->sample_rate = sampleRate;
        frame->no_channels = std::clamp(channels, 0, FrameSync::kMaxChannels);
        frame->no_samples = std::clamp(samples, 0, 8192);
        frame->p_data = silence;
        frame->channel_stride_in_bytes = frame->no_samples * int(sizeof(float));
        return;
    }
    static_cast<FrameSyncInstance *>(instance)->sync.capture(*frame, sampleRate, channels, samples);
}

// Frames lend the synchroniser's own buffer until the next capture: nothing to release.
void framesyncFree(NDIlib_framesync_instance_t, NDIlib_audio_frame_v2_t *) {}

void toInterleaved(const NDIlib_audio_frame_v2_t *src, NDIlib_audio_frame_interleaved_32f_t *dst)
{
    if (src != nullptr && dst != nullptr)
        planarToInterleaved(*src, *dst);
}

void fromInterleaved(const NDIlib_audio_frame_interleaved_32f_t *src, NDIlib_audio_frame_v2_t *dst)
{
    if (src != nullptr && dst != nullptr)
        interleavedToPlanar(*src, *dst);
}

ndi::NdiApi makeApi()
{
    ndi::NdiApi api;
    api.initialize = &initialize;
    api.destroy = &destroy;
    api.version = &version;
    api.find_create_v2 = &findCreate;
    api.find_destroy = &findDestroy;
    api.find_wait_for_sources = &findWait;
    api.find_get_current_sources = &findSources;
    api.send_create = &sendCreate;
    api.send_destroy = &sendDestroy;
    api.send_send_audio_v2 = &sendAudio;
    api.recv_create_v3 = &recvCreate;
    api.recv_destroy = &recvDestroy;
    api.framesync_create = &framesyncCreate;
    api.framesync_destroy = &framesyncDestroy;
    api.framesync_capture_audio = &framesyncCapture;
    api.framesync_free_audio = &framesyncFree;
    api.util_audio_to_interleaved_32f_v2 = &toInterleaved;
    api.util_audio_from_interleaved_32f_v2 = &fromInterleaved;
    return api;
}

} // namespace

uint32_t builtinStreamFigures(VeltrinNdiFigures *out, uint32_t capacity)
{
    std::lock_guard lock(g_registryMutex);
    uint32_t count = 0;
    for (const RecvInstance *recv : g_receivers) {
        if (out != nullptr && count < capacity)
            out[count] = receiverFigures(recv->name, recv->receiver.stats(),
                                         recv->sync != nullptr ? &recv->sync->sync : nullptr);
        ++count;
    }
    for (const SendInstance *send : g_senders) {
        if (out != nullptr && count < capacity)
            out[count] = senderFigures(send->name, send->sender.stats());
        ++count;
    }
    return count;
}

bool builtinHandleFigures(const void *handle, VeltrinNdiFigures &out)
{
    std::lock_guard lock(g_registryMutex);
    for (const RecvInstance *recv : g_receivers)
        if (recv == handle) {
            out = receiverFigures(recv->name, recv->receiver.stats(),
                                  recv->sync != nullptr ? &recv->sync->sync : nullptr);
            return true;
        }
    for (const SendInstance *send : g_senders)
        if (send == handle) {
            out = senderFigures(send->name, send->sender.stats());
            return true;
        }
    return false;
}

const ndi::NdiApi &builtinApi()
{
    static const ndi::NdiApi api = makeApi();
    return api;
}

} // namespace veltrin::rt
