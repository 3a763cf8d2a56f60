// The fake's state is guarded by one mutex for configuration and bookkeeping; a started stream
// is driven by a thread of its own that calls the user's callback outside that mutex.
#include "FakePortAudio.h"

#include "CallLog.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace fakepa {
namespace {

struct Stream {
    OpenedStream opened;
    PaStreamCallback *callback = nullptr;
    void *userData = nullptr;
    std::string device; // the device's name, for unplug()
    PaStreamInfo info{};
    std::thread thread;
    std::mutex joinLock; // unplug() and a stop may end the thread at once
    std::atomic<bool> running{false}, active{false};
};

struct State {
    std::mutex mutex;
    Table table;
    // Every device record ever listed stays as it was until the table is replaced, so that a
    // record handed out before an unplug is still valid for its reader; `listed` is the list now.
    std::deque<PaDeviceInfo> records;
    std::vector<const PaDeviceInfo *> listed;
    std::vector<PaHostApiInfo> apis;
    std::vector<std::string> unplugged;
    std::vector<OpenedStream> opened;
    std::vector<std::unique_ptr<Stream>> streams;
    Counters counters;
    std::atomic<int> inCall{0};
} g;

template <class F> auto locked(F f)
{
    std::lock_guard<std::mutex> lock(g.mutex);
    return f();
}

// Brackets a lifecycle call or a format probe: logs it (when named) and counts it as
// overlapping when another is in progress.
struct Call {
    explicit Call(const char *name)
    {
        if (name != nullptr)
            calllog::record(name);
        g.counters.overlapping += g.inCall.fetch_add(1) > 0 ? 1 : 0;
    }
    ~Call() { g.inCall.fetch_sub(1); }
};

// Lists the devices that are plugged in; names point into the table's strings.
void relist()
{
    g.listed.clear();
    for (const Device &d : g.table.devices) {
        if (std::find(g.unplugged.begin(), g.unplugged.end(), d.name) != g.unplugged.end())
            continue;
        g.records.push_back({2, d.name.c_str(), d.hostApi, d.maxInputChannels, d.maxOutputChannels,
                             0.005, 0.005, 0.02, 0.02, d.defaultSampleRate});
        g.listed.push_back(&g.records.back());
    }
}

// The device listed at `i`, or null; under the mutex.
const PaDeviceInfo *listed(int i)
{
    return i >= 0 && size_t(i) < g.listed.size() ? g.listed[size_t(i)] : nullptr;
}

// Calls the stream's callback block after block until it is stopped, each block paced at the
// stream's rate but never slower than 2 ms, so that tests with large blocks stay quick.
void runCallbacks(Stream *st)
{
    const OpenedStream &o = st->opened;
    const unsigned long frames = o.framesPerBuffer != 0 ? o.framesPerBuffer : 256;
    std::vector<float> in(frames * unsigned(o.input.channelCount), g.table.inputLevel);
    std::vector<float> out(frames * unsigned(o.output.channelCount));
    PaStreamCallbackTimeInfo time{};
    while (st->running.load()) {
        st->callback(o.hasInput ? in.data() : nullptr, o.hasOutput ? out.data() : nullptr, frames,
                     &time, 0, st->userData);
        g.counters.callbacks++;
        const double seconds = o.sampleRate > 0 ? frames / o.sampleRate : 0.001;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 0.002)));
    }
}

// Ends the stream's callbacks; the stream then reports itself inactive unless `staysActive`.
void stopThread(Stream &st, bool staysActive = false)
{
    st.running = false;
    if (std::lock_guard<std::mutex> lock(st.joinLock); st.thread.joinable())
        st.thread.join();
    st.active = st.active && staysActive;
}

// Takes every stream out of the state and stops it, as PortAudio's last terminate does.
void stopAll()
{
    std::vector<std::unique_ptr<Stream>> streams;
    locked([&] { streams.swap(g.streams); });
    for (auto &st : streams)
        stopThread(*st);
}

} // namespace

void setTable(const Table &table)
{
    stopAll();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.table = table;
    g.records.clear(); // no stream runs, no record is in use
    g.unplugged.clear();
    relist();
    g.apis.clear();
    for (const HostApi &a : g.table.hostApis)
        g.apis.push_back(
            {1, paInDevelopment, a.name.c_str(), 0, a.defaultInputDevice, a.defaultOutputDevice});
    g.opened.clear();
    holdStops = false;
    Counters &c = g.counters;
    c.startStream = c.stopStream = c.callbacks = c.overlapping = c.initializeDepth = 0;
}

Counters &counters()
{
    return g.counters;
}

std::vector<OpenedStream> openedStreams()
{
    return locked([] { return g.opened; });
}

void unplug(const std::string &name, bool hangs)
{
    std::vector<Stream *> gone;
    locked([&] {
        g.unplugged.push_back(name);
        relist();
        for (auto &st : g.streams)
            if (st->device == name)
                gone.push_back(st.get());
    });
    for (Stream *st : gone)
        stopThread(*st, hangs);
}

void plugIn(const std::string &name)
{
    locked([&] {
        g.unplugged.erase(std::remove(g.unplugged.begin(), g.unplugged.end(), name),
                          g.unplugged.end());
        relist();
    });
}

} // namespace fakepa

using namespace fakepa;

extern "C" {

PaError Pa_Initialize(void)
{
    const Call call("init");
    return locked([] {
        g.counters.initializeDepth += g.table.initializeError == paNoError ? 1 : 0;
        return g.table.initializeError;
    });
}

PaError Pa_Terminate(void)
{
    const Call call("term");
    if (locked([] { return g.counters.initializeDepth > 0 && --g.counters.initializeDepth == 0; }))
        stopAll();
    return paNoError;
}

PaDeviceIndex Pa_GetDeviceCount(void)
{
    return locked([] { return int(g.table.devices.size()); });
}

PaDeviceIndex Pa_GetDefaultInputDevice(void)
{
    return locked([] { return g.table.defaultInputDevice; });
}

PaDeviceIndex Pa_GetDefaultOutputDevice(void)
{
    return locked([] { return g.table.defaultOutputDevice; });
}

const PaDeviceInfo *Pa_GetDeviceInfo(PaDeviceIndex i)
{
    return locked([&] { return listed(i); });
}

const PaHostApiInfo *Pa_GetHostApiInfo(PaHostApiIndex i)
{
    return locked(
        [&] { return i >= 0 && size_t(i) < g.apis.size() ? &g.apis[size_t(i)] : nullptr; });
}

const char *Pa_GetErrorText(PaError e)
{
    return e == paInvalidSampleRate   ? "Invalid sample rate"
           : e == paDeviceUnavailable ? "Device unavailable"
                                      : "Fake PortAudio error";
}

PaError Pa_IsFormatSupported(const PaStreamParameters *inputParameters,
                             const PaStreamParameters *outputParameters, double sampleRate)
{
    const Call call(nullptr);
    const auto check = locked([] { return g.table.isFormatSupported; });
    return check ? check(inputParameters, outputParameters, sampleRate) : paFormatIsSupported;
}

PaError Pa_OpenStream(PaStream **stream, const PaStreamParameters *in,
                      const PaStreamParameters *out, double sampleRate,
                      unsigned long framesPerBuffer, PaStreamFlags flags,
                      PaStreamCallback *callback, void *userData)
{
    const Call call("open");
    std::lock_guard<std::mutex> lock(g.mutex);
    auto st = std::make_unique<Stream>();
    OpenedStream &o = st->opened;
    o = {in != nullptr,   out != nullptr, in ? *in : o.input, out ? *out : o.output, sampleRate,
         framesPerBuffer, flags};
    g.opened.push_back(o);
    if (g.counters.initializeDepth == 0 || g.table.openStreamError != paNoError)
        return g.counters.initializeDepth == 0 ? paNotInitialized : g.table.openStreamError;
    // Like PortAudio: a direction needs at least one channel and a device that has them.
    for (const PaStreamParameters *p : {in, out}) {
        const PaDeviceInfo *d = p != nullptr ? listed(p->device) : nullptr;
        const int max = d == nullptr ? 0 : p == in ? d->maxInputChannels : d->maxOutputChannels;
        if (p != nullptr && (p->channelCount <= 0 || p->channelCount > max))
            return paInvalidChannelCount;
    }
    st->callback = callback;
    st->userData = userData;
    st->device = listed((o.hasInput ? o.input : o.output).device)->name;
    st->info = {1, o.input.suggestedLatency, o.output.suggestedLatency, sampleRate};
    *stream = st.get();
    g.streams.push_back(std::move(st));
    return paNoError;
}

PaError Pa_StartStream(PaStream *stream)
{
    const Call call("start");
    g.counters.startStream++;
    if (const PaError e = locked([] { return g.table.startStreamError; }))
        return e;
    auto *st = static_cast<Stream *>(stream);
    st->running = st->active = true;
    if (st->callback != nullptr)
        st->thread = std::thread(runCallbacks, st);
    return paNoError;
}

PaError Pa_StopStream(PaStream *stream)
{
    const Call call("stop");
    g.counters.stopStream++;
    while (holdStops.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stopThread(*static_cast<Stream *>(stream));
    return paNoError;
}

PaError Pa_IsStreamActive(PaStream *stream)
{
    return static_cast<Stream *>(stream)->active.load() ? 1 : 0;
}

const PaStreamInfo *Pa_GetStreamInfo(PaStream *stream)
{
    return &static_cast<Stream *>(stream)->info;
}

void Pa_Sleep(long msec)
{
    calllog::record("sleep");
    // A test double need not wait out the engine's pauses in full.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(msec, 20L)));
}

} // extern "C"
