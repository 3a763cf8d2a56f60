// The fake's state is guarded by one mutex for configuration and bookkeeping; a running callback
// stream is driven by a thread of its own that calls the user's callback outside that mutex.
#include "FakePortAudio.h"

#include "CallLog.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace fakepa {
namespace {

struct Stream {
    OpenedStream opened;
    PaStreamCallback *callback = nullptr;
    void *userData = nullptr;
    std::thread thread;
    std::mutex joinLock; // unplug() and a stop may end the thread at once
    std::atomic<bool> running{false};
    std::atomic<bool> active{false};
    std::string device;       // the device's name, for unplug()
    long long inputFrame = 0; // next frame of the input signal
    PaStreamInfo info{};
};

struct State {
    std::mutex mutex;
    Table table;
    // Every device record ever listed, never changed or freed until the table is replaced, so
    // that a record handed out before an unplug stays as it was for its reader; deviceInfos
    // points at the current list.
    std::deque<PaDeviceInfo> infoRecords;
    std::vector<const PaDeviceInfo *> deviceInfos;
    std::vector<PaHostApiInfo> apiInfos;
    std::vector<OpenedStream> opened;
    std::vector<float> played;
    const size_t playedLimit = 1 << 22;
    int depth = 0;
    Counters counters;
    std::vector<std::unique_ptr<Stream>> streams;
    std::atomic<int> callsInProgress{0};
    std::atomic<int> callMicroseconds{0};
    std::vector<std::string> unplugged;
    std::atomic<bool> holdStops{false};
};

State &state()
{
    static State s;
    return s;
}

// Runs `f` on the state under its mutex.
template <class F> auto locked(F f)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return f(state());
}

// The entry `index` of `infos`, or null.
template <class Info> const Info *entry(const std::vector<Info> &infos, int index)
{
    return index >= 0 && static_cast<size_t>(index) < infos.size() ? &infos[size_t(index)]
                                                                   : nullptr;
}

// Brackets one PortAudio call: counts it as overlapping when another is in progress and makes
// it last the table's callMicroseconds.
class ApiCall
{
public:
    ApiCall()
    {
        State &s = state();
        if (s.callsInProgress.fetch_add(1) > 0)
            s.counters.overlapping++;
        const int micros = s.callMicroseconds.load();
        if (micros > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(micros));
    }
    ~ApiCall() { state().callsInProgress.fetch_sub(1); }
    ApiCall(const ApiCall &) = delete;
    ApiCall &operator=(const ApiCall &) = delete;
};

// Rebuilds PortAudio's info records from the table; names point into the table's strings.
void rebuildInfos(State &s)
{
    s.deviceInfos.clear();
    for (const Device &d : s.table.devices) {
        if (std::find(s.unplugged.begin(), s.unplugged.end(), d.name) != s.unplugged.end())
            continue;
        s.infoRecords.push_back({2, d.name.c_str(), d.hostApi, d.maxInputChannels,
                                 d.maxOutputChannels, d.defaultLowInputLatency,
                                 d.defaultLowOutputLatency, d.defaultLowInputLatency * 4,
                                 d.defaultLowOutputLatency * 4, d.defaultSampleRate});
        s.deviceInfos.push_back(&s.infoRecords.back());
    }
    s.apiInfos.clear();
    for (const HostApi &a : s.table.hostApis)
        s.apiInfos.push_back(
            {1, paInDevelopment, a.name.c_str(), 0, a.defaultInputDevice, a.defaultOutputDevice});
}

// Calls the stream's callback block after block until it is stopped, each block paced at the
// stream's rate but never slower than 2 ms, so that tests with large blocks stay quick.
void runCallbacks(Stream *st)
{
    State &s = state();
    const OpenedStream &o = st->opened;
    const auto inputs = static_cast<unsigned long>(o.input.channelCount);
    const auto outputs = static_cast<unsigned long>(o.output.channelCount);
    std::vector<float> in, out;
    for (long long call = 0; st->running.load(); ++call) {
        const auto &sizes = s.table.variableBlockSizes;
        const unsigned long frames = o.framesPerBuffer != paFramesPerBufferUnspecified
                                         ? o.framesPerBuffer
                                     : sizes.empty() ? 256
                                                     : sizes[size_t(call) % sizes.size()];
        in.assign(frames * inputs, 0.0f);
        out.assign(frames * outputs, 0.0f);
        for (unsigned long i = 0; s.table.inputSignal && i < in.size(); ++i)
            in[i] = s.table.inputSignal(st->inputFrame + long(i / inputs), int(i % inputs));
        st->inputFrame += static_cast<long long>(frames);
        PaStreamCallbackTimeInfo time{};
        const PaStreamCallbackFlags flags = s.table.callbackFlags ? s.table.callbackFlags(call) : 0;
        st->callback(o.hasInput ? in.data() : nullptr, o.hasOutput ? out.data() : nullptr, frames,
                     &time, flags, st->userData);
        s.counters.callbacks++;
        if (o.hasOutput) {
            std::lock_guard<std::mutex> lock(s.mutex);
            const size_t room =
                s.playedLimit > s.played.size() ? s.playedLimit - s.played.size() : 0;
            s.played.insert(s.played.end(), out.begin(),
                            out.begin() + long(std::min(out.size(), room)));
        }
        const double seconds = o.sampleRate > 0 ? frames / o.sampleRate : 0.001;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 0.002)));
    }
}

// Ends the stream's callbacks; the stream then reports itself inactive unless `staysActive`.
void stopThread(Stream &st, bool staysActive = false)
{
    st.running = false;
    {
        std::lock_guard<std::mutex> lock(st.joinLock);
        if (st.thread.joinable())
            st.thread.join();
    }
    if (!staysActive)
        st.active = false;
}

} // namespace

void setTable(const Table &table)
{
    reset();
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.table = table;
    s.infoRecords.clear(); // no stream runs, no record is in use
    s.callMicroseconds = table.callMicroseconds;
    rebuildInfos(s);
}

void reset()
{
    State &s = state();
    std::vector<std::unique_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        streams.swap(s.streams);
    }
    for (auto &st : streams)
        stopThread(*st);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.table = Table{};
    s.callMicroseconds = 0;
    s.unplugged.clear();
    s.holdStops = false;
    rebuildInfos(s);
    s.opened.clear();
    s.played.clear();
    s.depth = 0;
    Counters &c = s.counters;
    for (auto *counter : {&c.startStream, &c.stopStream, &c.callbacks, &c.overlapping})
        counter->store(0);
}

Counters &counters()
{
    return state().counters;
}

std::vector<OpenedStream> openedStreams()
{
    return locked([](State &s) { return s.opened; });
}

void unplug(const std::string &name, bool hangs)
{
    State &s = state();
    std::vector<Stream *> gone;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.unplugged.push_back(name);
        rebuildInfos(s);
        for (auto &st : s.streams)
            if (st->device == name)
                gone.push_back(st.get());
    }
    // Its streams stop by themselves, as a host stops a stream whose device failed, or hang:
    // no callback comes any more, yet the stream still says it is active.
    for (Stream *st : gone)
        stopThread(*st, hangs);
}

void plugIn(const std::string &name)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.unplugged.erase(std::remove(s.unplugged.begin(), s.unplugged.end(), name), s.unplugged.end());
    rebuildInfos(s);
}

void holdStops(bool hold)
{
    state().holdStops = hold;
}

int initializeDepth()
{
    return locked([](State &s) { return s.depth; });
}

std::vector<float> playedSamples()
{
    return locked([](State &s) { return s.played; });
}

} // namespace fakepa

using namespace fakepa;

extern "C" {

PaError Pa_Initialize(void)
{
    calllog::record("Pa_Initialize");
    const ApiCall call;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.table.initializeError != paNoError)
        return s.table.initializeError;
    ++s.depth;
    return paNoError;
}

PaError Pa_Terminate(void)
{
    calllog::record("Pa_Terminate");
    const ApiCall call;
    State &s = state();
    std::vector<std::unique_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.depth == 0)
            return paNotInitialized;
        if (--s.depth > 0)
            return paNoError;
        streams.swap(s.streams);
    }
    // The last terminate closes every stream still open, as PortAudio does.
    for (auto &st : streams)
        stopThread(*st);
    return paNoError;
}

PaDeviceIndex Pa_GetDeviceCount(void)
{
    const ApiCall call;
    return locked([](State &s) {
        const Table &t = s.table;
        return t.overrideDeviceCount ? t.deviceCount : static_cast<PaDeviceIndex>(t.devices.size());
    });
}

PaDeviceIndex Pa_GetDefaultInputDevice(void)
{
    const ApiCall call;
    return locked([](State &s) { return s.table.defaultInputDevice; });
}

PaDeviceIndex Pa_GetDefaultOutputDevice(void)
{
    const ApiCall call;
    return locked([](State &s) { return s.table.defaultOutputDevice; });
}

const PaDeviceInfo *Pa_GetDeviceInfo(PaDeviceIndex device)
{
    const ApiCall call;
    return locked([&](State &s) {
        const PaDeviceInfo *const *info = entry(s.deviceInfos, device);
        return info != nullptr ? *info : nullptr;
    });
}

PaHostApiIndex Pa_GetHostApiCount(void)
{
    const ApiCall call;
    return locked([](State &s) { return static_cast<PaHostApiIndex>(s.apiInfos.size()); });
}

const PaHostApiInfo *Pa_GetHostApiInfo(PaHostApiIndex hostApi)
{
    const ApiCall call;
    return locked([&](State &s) { return entry(s.apiInfos, hostApi); });
}

const char *Pa_GetErrorText(PaError errorCode)
{
    static const std::map<PaError, const char *> texts{
        {paNoError, "Success"},
        {paInvalidChannelCount, "Invalid number of channels"},
        {paInvalidSampleRate, "Invalid sample rate"},
        {paDeviceUnavailable, "Device unavailable"},
        {paInsufficientMemory, "Insufficient memory"}};
    const auto it = texts.find(errorCode);
    return it != texts.end() ? it->second : "Fake PortAudio error";
}

PaError Pa_IsFormatSupported(const PaStreamParameters *inputParameters,
                             const PaStreamParameters *outputParameters, double sampleRate)
{
    const ApiCall call;
    const auto check = locked([](State &s) { return s.table.isFormatSupported; });
    return check ? check(inputParameters, outputParameters, sampleRate) : paFormatIsSupported;
}

PaError Pa_OpenStream(PaStream **stream, const PaStreamParameters *inputParameters,
                      const PaStreamParameters *outputParameters, double sampleRate,
                      unsigned long framesPerBuffer, PaStreamFlags streamFlags,
                      PaStreamCallback *streamCallback, void *userData)
{
    calllog::record("Pa_OpenStream");
    const ApiCall call;
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    OpenedStream o;
    o.hasInput = inputParameters != nullptr;
    o.hasOutput = outputParameters != nullptr;
    if (o.hasInput)
        o.input = *inputParameters;
    if (o.hasOutput)
        o.output = *outputParameters;
    o.sampleRate = sampleRate;
    o.framesPerBuffer = framesPerBuffer;
    o.flags = streamFlags;
    o.callback = streamCallback != nullptr;
    s.opened.push_back(o);

    if (s.depth == 0)
        return paNotInitialized;
    if (s.table.openStreamError != paNoError)
        return s.table.openStreamError;
    // Like PortAudio: a direction needs at least one channel and a device that has them.
    for (const PaStreamParameters *p : {inputParameters, outputParameters}) {
        if (p == nullptr)
            continue;
        if (p->device < 0 || static_cast<size_t>(p->device) >= s.deviceInfos.size())
            return paInvalidDevice;
        const PaDeviceInfo &d = *s.deviceInfos[static_cast<size_t>(p->device)];
        const int max = p == inputParameters ? d.maxInputChannels : d.maxOutputChannels;
        if (p->channelCount <= 0 || p->channelCount > max)
            return paInvalidChannelCount;
    }
    auto st = std::make_unique<Stream>();
    st->opened = o;
    st->callback = streamCallback;
    st->userData = userData;
    st->device = s.deviceInfos[static_cast<size_t>(o.hasInput ? inputParameters->device
                                                              : outputParameters->device)]
                     ->name;
    st->info.structVersion = 1;
    st->info.sampleRate = sampleRate;
    st->info.inputLatency = o.hasInput ? o.input.suggestedLatency : 0.0;
    st->info.outputLatency = o.hasOutput ? o.output.suggestedLatency : 0.0;
    *stream = st.get();
    s.streams.push_back(std::move(st));
    return paNoError;
}

PaError Pa_StartStream(PaStream *stream)
{
    calllog::record("Pa_StartStream");
    const ApiCall call;
    state().counters.startStream++;
    if (const PaError e = locked([](State &s) { return s.table.startStreamError; }))
        return e;
    auto *st = static_cast<Stream *>(stream);
    st->running = true;
    st->active = true;
    if (st->callback != nullptr)
        st->thread = std::thread(runCallbacks, st);
    return paNoError;
}

PaError Pa_StopStream(PaStream *stream)
{
    calllog::record("Pa_StopStream");
    const ApiCall call;
    state().counters.stopStream++;
    while (state().holdStops.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stopThread(*static_cast<Stream *>(stream));
    return paNoError;
}

PaError Pa_IsStreamActive(PaStream *stream)
{
    return static_cast<Stream *>(stream)->active.load() ? 1 : 0;
}

PaError Pa_CloseStream(PaStream *stream)
{
    calllog::record("Pa_CloseStream");
    const ApiCall call;
    State &s = state();
    auto *st = static_cast<Stream *>(stream);
    stopThread(*st);
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.streams.begin(); it != s.streams.end(); ++it) {
        if (it->get() == st) {
            s.streams.erase(it);
            break;
        }
    }
    return paNoError;
}

const PaStreamInfo *Pa_GetStreamInfo(PaStream *stream)
{
    const ApiCall call;
    return &static_cast<Stream *>(stream)->info;
}

void Pa_Sleep(long msec)
{
    calllog::record("Pa_Sleep");
    // A test double need not wait out the engine's pauses in full.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(msec, 20L)));
}

} // extern "C"
