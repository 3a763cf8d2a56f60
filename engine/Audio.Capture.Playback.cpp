// The audio engine's entries. Each entry owns its stream's records and runs on one worker
// thread; the PortAudio callbacks touch only the records handed to them (through their
// CallbackLink's gate) and the level taps. The stop requests are the only shared flags: an
// entry looks at its own every few tens of milliseconds while it watches its device, and never
// holds the stop lock across a call that can wait for the device.
//
// A device that goes away (no callbacks, or its host stopped the stream) is reported once on
// standard output; the entry then keeps the NDI side going (silence sent at the stream's pace,
// the receiver pulled at that pace) and reopens the device by its name about once a second.
//
// Release order: owners go in reverse order of declaration. The capture records are declared
// before the device link, so PortAudio terminates (closing the stream that uses them) before
// they go; the one-way receiving side is declared after it, so a failed start destroys the
// frame synchroniser and the receiver before PortAudio terminates. A stop stops the stream and
// ends the session before anything else is released; a stop that does not return within
// kStopBound is given up, its callback shut out of the records by the link's gate.
#include "Audio.Capture.Playback.h"

#include "DeviceLink.h"
#include "DeviceLookup.h"
#include "PortAudioSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

using veltrin::audio::PortAudioSession;
using veltrin::audio::Stream;

bool g_exit_threads = false;
std::mutex g_exit_lock;
std::condition_variable g_exit_cv;
bool g_exit_threads_out = false;
std::mutex g_exit_lock_out;
std::condition_variable g_exit_cv_out;
bool g_exit_threads_duplex = false;
std::mutex g_exit_lock_out_duplex;
std::condition_variable g_exit_cv_out_duplex;

LevelTap input_aud;
LevelTap output_aud;
StreamHealth inputHealth;
StreamHealth outputHealth;
StreamHealth duplexHealth;

std::atomic<uint64_t> input_xruns{0};
std::atomic<uint64_t> output_xruns{0};
std::atomic<uint64_t> duplex_xruns{0};

namespace {

constexpr int kMaxChannels = 64;

// Frames the planar scratch block is reserved for before a stream starts, so that a callback
// whose block size varies (frames per buffer 0) does not allocate while it stays within this.
constexpr uint32_t kReservedFrames = 8192;

using Direction = DeviceDirection;

// Clears the stop request: a request made before this point is lost.
void clearStopRequest(std::mutex &lock, bool &request)
{
    std::lock_guard<std::mutex> guard(lock);
    request = false;
}

// Reports a session that could not start (the caller returns 0) and counts the devices,
// reporting a negative count (the caller goes on).
bool countDevices(const PortAudioSession &portAudio, int &deviceCount)
{
    if (!portAudio.ok()) {
        std::printf("ERROR : Unable to initialize audio devices.\n");
        return false;
    }
    deviceCount = portAudio.deviceCount();
    if (deviceCount < 0)
        std::printf("ERROR : Unable to get audio devices.\n");
    return true;
}

PaStreamParameters streamParameters(const PortAudioSession &portAudio, int device, int channels,
                                    bool input)
{
    const PaDeviceInfo *info = portAudio.deviceInfo(device);
    const double latency =
        info == nullptr ? 0.0
                        : (input ? info->defaultLowInputLatency : info->defaultLowOutputLatency);
    return veltrin::audio::streamParameters(device, channels, latency);
}

int inputChannels(const PortAudioSession &portAudio, int device)
{
    const PaDeviceInfo *info = portAudio.deviceInfo(device);
    return info == nullptr ? 0 : std::min(info->maxInputChannels, kMaxChannels);
}

int outputChannels(const PortAudioSession &portAudio, int device)
{
    const PaDeviceInfo *info = portAudio.deviceInfo(device);
    return info == nullptr ? 0 : std::min(info->maxOutputChannels, kMaxChannels);
}

void printStreamError(const char *what, PaError err)
{
    std::printf("Unable to %s stream.\nPortAudio error: %s\n", what, Pa_GetErrorText(err));
}

// The record's sender, receiver and frame synchroniser could not all be made.
void printCreateError(const char *what)
{
    std::printf("ERROR : Unable to create the NDI %s.\n", what);
}

// The channels a record opens the device with: all it has (up to 64), or what the map needs;
// false, with the message, when the device lacks a channel the map names.
bool useMap(int32_t &channels, int available, const ChannelMap &map, ChannelMap &recordMap)
{
    if (!map.empty() && map.deviceChannels() > available) {
        std::printf("ERROR : %s\n", map.checkDevice(available, "The channel map").c_str());
        return false;
    }
    channels = map.empty() ? available : map.deviceChannels();
    recordMap = map;
    return true;
}

// Opens and starts the stream; false, with the message, when either fails.
bool openAndStart(Stream &stream, const PaStreamParameters *input, const PaStreamParameters *output,
                  double sampleRate, uint32_t framesPerBuffer, PaStreamFlags flags,
                  PaStreamCallback *callback, void *userData)
{
    PaError err =
        stream.open(input, output, sampleRate, framesPerBuffer, flags, callback, userData);
    if (err != paNoError) {
        printStreamError("open", err);
        return false;
    }
    err = stream.start();
    if (err != paNoError) {
        printStreamError("start", err);
        return false;
    }
    return true;
}

// Sends one interleaved block through the record's sender: de-interleave into the planar
// scratch block, apply the gain, send. Runs on the audio thread: the scratch block was reserved
// before the stream started, so the resize does not allocate while blocks stay within it.
void sendBlock(audio_capture_t &capture, const NDIlib_audio_frame_interleaved_32f_t &block)
{
    const int32_t frames = block.no_samples;
    const int32_t channels = capture.map.empty() ? capture.channels : capture.map.streamChannels();
    capture.buffer.resize(static_cast<size_t>(channels * frames));

    NDIlib_audio_frame_v2_t frame;
    frame.p_data = capture.buffer.data();
    frame.channel_stride_in_bytes = frames * static_cast<int32_t>(sizeof(float));
    if (capture.map.empty()) {
        NDIlib_util_audio_from_interleaved_32f_v2(&block, &frame);
    } else {
        capture.map.gather(block.p_data, block.no_channels, frames, capture.buffer.data());
        frame.sample_rate = block.sample_rate;
        frame.no_channels = channels;
        frame.no_samples = frames;
        frame.timecode = block.timecode;
    }

    const float gain = capture.gain;
    for (float &sample : capture.buffer)
        sample *= gain;
    NDIlib_send_send_audio_v2(capture.send.get(), &frame);
}

// Pulls one block from the frame synchroniser into `out` (interleaved, channels * frames floats
// of the caller's) and applies the gain; `meter` shows the played block on the output meter.
void pullBlock(const audio_playback_t &playback, float *out, int32_t frames, bool meter = true)
{
    const bool mapped = !playback.map.empty();
    NDIlib_audio_frame_v2_t frame;
    NDIlib_framesync_capture_audio(
        playback.framesync.get(), &frame, static_cast<int>(playback.sample_rate),
        mapped ? playback.map.streamChannels() : playback.channels, frames);
    NDIlib_audio_frame_interleaved_32f_t block;
    block.no_channels = playback.channels;
    block.sample_rate = static_cast<int32_t>(playback.sample_rate);
    block.no_samples = frames;
    block.p_data = out;
    if (mapped)
        playback.map.scatter(frame.p_data,
                             frame.channel_stride_in_bytes / static_cast<int32_t>(sizeof(float)),
                             frame.p_data != nullptr ? frame.no_channels : 0,
                             std::min(frames, frame.no_samples), out, playback.channels);
    else
        NDIlib_util_audio_to_interleaved_32f_v2(&frame, &block);
    NDIlib_framesync_free_audio(playback.framesync.get(), &frame);

    const int32_t m = block.no_samples * block.no_channels;
    for (int32_t i = 0; i < m; ++i)
        out[i] *= playback.gain;
    if (meter)
        output_aud.publish(out, block.no_channels, block.no_samples, block.sample_rate);
}

// Publishes `frames` interleaved frames of `samples` on the input meter when `meter`, then sends
// them through the record's sender.
void sendInterleaved(audio_capture_t &capture, const float *samples, int32_t frames, bool meter)
{
    NDIlib_audio_frame_interleaved_32f_t block;
    block.p_data = const_cast<float *>(samples);
    block.no_channels = capture.channels;
    block.sample_rate = static_cast<int32_t>(capture.sample_rate);
    block.no_samples = frames;
    // The meter shows the captured block before the gain.
    if (meter)
        input_aud.publish(block.p_data, block.no_channels, block.no_samples, block.sample_rate);
    sendBlock(capture, block);
}

// Runs `body` on the callback's records behind its link's gate, counting the call for the
// watch and, when PortAudio flagged the block (`xrun`), in `xruns`; a callback shut out by a
// stream that was given up asks PortAudio to stop.
template <typename Records, typename Body>
int gated(void *userData, bool xrun, std::atomic<uint64_t> &xruns, Body body) noexcept
{
    CallbackLink &link = *static_cast<CallbackLink *>(userData);
    if (!link.gate.enter())
        return paAbort;
    link.calls.fetch_add(1, std::memory_order_relaxed);
    if (xrun)
        xruns.fetch_add(1, std::memory_order_relaxed);
    body(*static_cast<Records *>(link.records));
    link.gate.leave();
    return paContinue;
}

constexpr PaStreamCallbackFlags kInputXrun = paInputOverflow | paInputUnderflow;
constexpr PaStreamCallbackFlags kOutputXrun = paOutputUnderflow | paOutputOverflow;

} // namespace

int input_callback(const void *input, void * /*output*/, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo * /*timeInfo*/, PaStreamCallbackFlags statusFlags,
                   void *userData) noexcept
{
    const bool xrun = (statusFlags & kInputXrun) != 0;
    return gated<audio_capture_t>(userData, xrun, input_xruns, [&](audio_capture_t &capture) {
        sendInterleaved(capture, static_cast<const float *>(input),
                        static_cast<int32_t>(frameCount), true);
    });
}

int output_callback(const void * /*input*/, void *output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo * /*timeInfo*/,
                    PaStreamCallbackFlags statusFlags, void *userData) noexcept
{
    const bool xrun = (statusFlags & kOutputXrun) != 0;
    return gated<const audio_playback_t>(
        userData, xrun, output_xruns, [&](const audio_playback_t &playback) {
            pullBlock(playback, static_cast<float *>(output), static_cast<int32_t>(frameCount));
        });
}

// One duplex block: the pulled block goes to the device's outputs, the captured one to the
// sender, both in the same call.
int duplex_callback(const void *input, void *output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo * /*timeInfo*/,
                    PaStreamCallbackFlags statusFlags, void *userData) noexcept
{
    const bool xrun = (statusFlags & (kInputXrun | kOutputXrun)) != 0;
    return gated<const duplex_records_t>(
        userData, xrun, duplex_xruns, [&](const duplex_records_t &records) {
            const auto frames = static_cast<int32_t>(frameCount);
            pullBlock(*records.playback, static_cast<float *>(output), frames);
            sendInterleaved(*records.capture, static_cast<const float *>(input), frames, true);
        });
}

namespace {

// What an entry needs to open its device again after it went away: the device by its PortAudio
// name, with the channels, rate, block size, flags and callback of the first start.
struct DeviceSpec {
    std::string name;
    int inputs = 0, outputs = 0;
    double sampleRate = 0.0;
    uint32_t framesPerBuffer = 0;
    PaStreamFlags flags = paNoFlag;
    PaStreamCallback *callback = nullptr;
    void *records = nullptr;
};

// The device `index`, by its name, with what the stream is opened with.
DeviceSpec deviceSpec(const PortAudioSession &portAudio, int index, int inputs, int outputs,
                      uint32_t sampleRate, uint32_t framesPerBuffer, PaStreamFlags flags,
                      PaStreamCallback *callback, void *records)
{
    const PaDeviceInfo *info = portAudio.deviceInfo(index);
    return DeviceSpec{info != nullptr && info->name != nullptr ? info->name : "",
                      inputs,
                      outputs,
                      static_cast<double>(sampleRate),
                      framesPerBuffer,
                      flags,
                      callback,
                      records};
}

// Opens and starts the first stream of an entry on `spec`'s device, with the messages.
bool startLink(DeviceLink &link, const DeviceSpec &spec, const PaStreamParameters *input,
               const PaStreamParameters *output)
{
    link.callback.records = spec.records;
    return openAndStart(link.stream, input, output, spec.sampleRate, spec.framesPerBuffer,
                        spec.flags, spec.callback, &link.callback);
}

// Opens and starts the device of `spec` in a session of its own; null while it is not back
// (not listed, fewer channels than before, or refused). Prints nothing: an entry tries again
// and again while its device is away.
std::shared_ptr<DeviceLink> reopen(const DeviceSpec &spec)
{
    auto link = std::make_shared<DeviceLink>(spec.framesPerBuffer, spec.sampleRate);
    if (!link->session.ok())
        return nullptr;
    const PaDeviceIndex index = link->session.findByName(spec.name);
    const PaDeviceInfo *info = index == paNoDevice ? nullptr : link->session.deviceInfo(index);
    if (info == nullptr || info->maxInputChannels < spec.inputs
        || info->maxOutputChannels < spec.outputs)
        return nullptr;
    const PaStreamParameters in = streamParameters(link->session, index, spec.inputs, true);
    const PaStreamParameters out = streamParameters(link->session, index, spec.outputs, false);
    link->callback.records = spec.records;
    if (link->stream.open(spec.inputs > 0 ? &in : nullptr, spec.outputs > 0 ? &out : nullptr,
                          spec.sampleRate, spec.framesPerBuffer, spec.flags, spec.callback,
                          &link->callback)
            != paNoError
        || link->stream.start() != paNoError)
        return nullptr;
    link->watchFrom(DeviceLink::Clock::now(), spec.framesPerBuffer, spec.sampleRate);
    return link;
}

// Stops the link's stream within the bound; a stop given up is reported and counted.
void stopLink(std::shared_ptr<DeviceLink> &link, const DeviceSpec &spec, StreamHealth &health)
{
    if (!link)
        return;
    if (!stopWithin(link, kStopBound)) {
        health.abandoned.fetch_add(1);
        std::printf("device \"%s\" did not stop within %lld ms; its stream was given up\n",
                    spec.name.c_str(), static_cast<long long>(kStopBound.count()));
        std::fflush(stdout);
    }
    link.reset();
}

// What the NDI side of a stream does once per block period while its device is away, for any
// of the three entries (a record it does not have is null): the receiver stays connected and is
// pulled, its block dropped, so that its synchroniser neither piles up audio nor takes the gap
// for a drifting clock; the source stays on the network and carries silence.
std::function<void()> keepNdiPace(audio_playback_t *playback, audio_capture_t *capture,
                                  uint32_t framesPerBuffer)
{
    const auto frames = static_cast<int32_t>(framesPerBuffer > 0 ? framesPerBuffer : 256);
    std::vector<float> discarded(playback != nullptr ? size_t(playback->channels) * size_t(frames)
                                                     : 0);
    std::vector<float> silence(capture != nullptr ? size_t(capture->channels) * size_t(frames) : 0,
                               0.0f);
    return [=]() mutable {
        if (playback != nullptr)
            pullBlock(*playback, discarded.data(), frames, false);
        if (capture != nullptr)
            sendInterleaved(*capture, silence.data(), frames, false);
    };
}

// The part of a stream's run that does not depend on its direction: watch the device until the
// stop request; when it goes away, report it, stop what is left of its stream, and until it is
// back run `whileAway` once per block period (the NDI side's work) and reopen it about once a
// second. Returns with the stop request set; the link left is the running one, or null.
struct StopRequest {
    std::mutex &lock;
    std::condition_variable &wake;
    const bool &request;
};

void superviseStream(const StopRequest &stop, StreamHealth &health, const DeviceSpec &spec,
                     std::shared_ptr<DeviceLink> &link, const std::function<void()> &whileAway)
{
    using Clock = DeviceLink::Clock;
    constexpr auto kWatchEvery = std::chrono::milliseconds(20);
    constexpr auto kReopenEvery = std::chrono::milliseconds(1000);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
        spec.sampleRate > 0.0 ? spec.framesPerBuffer / spec.sampleRate : 0.005));

    health.setDevice(spec.name);
    link->watchFrom(Clock::now(), spec.framesPerBuffer, spec.sampleRate);
    std::unique_lock<std::mutex> guard(stop.lock);
    for (;;) {
        if (stop.wake.wait_for(guard, kWatchEvery, [&] { return stop.request; }))
            return;
        guard.unlock();
        const bool away = link->wentAway(Clock::now());
        if (away) {
            health.lost.store(true);
            health.losses.fetch_add(1);
            std::printf("device \"%s\" went away; waiting for it to return\n", spec.name.c_str());
            std::fflush(stdout);
            input_aud.clear();
            output_aud.clear();
            stopLink(link, spec, health);
        }
        guard.lock();
        if (!away)
            continue;

        // Away: the NDI side keeps the stream's pace; the device is tried again every second.
        auto nextBlock = Clock::now();
        auto nextReopen = Clock::now() + kReopenEvery;
        while (!link) {
            if (stop.wake.wait_until(guard, nextBlock, [&] { return stop.request; }))
                return;
            guard.unlock();
            const auto now = Clock::now();
            // After a long stall (a reopen, a busy machine) start the count again.
            nextBlock = std::max(nextBlock + period, now - period);
            whileAway();
            if (now >= nextReopen) {
                link = reopen(spec);
                nextReopen = Clock::now() + kReopenEvery;
                if (link) {
                    health.lost.store(false);
                    health.returns.fetch_add(1);
                    std::printf("device \"%s\" is back\n", spec.name.c_str());
                    std::fflush(stdout);
                }
            }
            guard.lock();
        }
    }
}

// Creates the receiver and its frame synchroniser, both or neither: false (with a message) if
// either is missing, in which case a receiver already made is destroyed before returning.
bool createPlayback(audio_playback_t &playback, const std::string &source)
{
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = source.c_str();
    settings.source_to_connect_to.p_url_address = nullptr;
    settings.color_format = NDIlib_recv_color_format_UYVY_BGRA;
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    veltrin::ndi::NdiReceiver recv(NDIlib_recv_create_v3(&settings));
    if (!recv) {
        printCreateError("receiver");
        return false;
    }
    veltrin::ndi::NdiFrameSync framesync(NDIlib_framesync_create(recv.get()));
    if (!framesync) {
        printCreateError("frame synchroniser");
        return false;
    }
    playback.recv = std::move(recv);
    playback.framesync = std::move(framesync);
    return true;
}

bool createCapture(audio_capture_t &capture, const std::string &name, uint32_t framesPerBuffer)
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name.c_str();
    settings.p_groups = nullptr;
    settings.clock_video = true;
    settings.clock_audio = true;
    capture.send = veltrin::ndi::NdiSender(NDIlib_send_create(&settings));
    if (!capture.send) {
        printCreateError("sender");
        return false;
    }
    capture.buffer.reserve(static_cast<size_t>(capture.channels)
                           * std::max(framesPerBuffer, kReservedFrames));
    return true;
}

// The format report printed once the duplex stream runs.
void printDuplexFormat(const PaDeviceInfo *info, const PaStreamInfo &stream, uint32_t sampleRate)
{
    std::printf("%d Format Is Supported \n", static_cast<int>(sampleRate));
    std::printf("Default Device:  \n");
    std::printf("              SampleRate: %lf  In Latency: %lf Out Latency: %lf\n",
                info != nullptr ? info->defaultSampleRate : 0.0,
                info != nullptr ? info->defaultLowInputLatency : 0.0,
                info != nullptr ? info->defaultLowOutputLatency : 0.0);
    std::printf("Stream Info:  \n");
    std::printf("            SampleRate: %lf  In Latency: %lf Out Latency: %lf\n",
                stream.sampleRate, stream.inputLatency, stream.outputLatency);
}

} // namespace

double db_to_ratio(double db)
{
    return std::pow(10.0, 0.05 * db);
}

void stopAudioInput()
{
    {
        std::lock_guard<std::mutex> lock(g_exit_lock);
        g_exit_threads = true;
    }
    g_exit_cv.notify_all();
}

void stopAudioOutput()
{
    {
        std::lock_guard<std::mutex> lock(g_exit_lock_out);
        g_exit_threads_out = true;
    }
    g_exit_cv_out.notify_all();
}

void stopAudioDuplex()
{
    {
        std::lock_guard<std::mutex> lock(g_exit_lock_out_duplex);
        g_exit_threads_duplex = true;
    }
    g_exit_cv_out_duplex.notify_all();
}

int process_input(std::string device, std::string ndiName, float gainDb, uint32_t framesPerBuffer,
                  uint32_t sampleRate, const ChannelMap &map)
{
    clearStopRequest(g_exit_lock, g_exit_threads);
    inputHealth.reset();
    audio_capture_t capture; // outlives the session (release order above)
    auto link = std::make_shared<DeviceLink>(framesPerBuffer, sampleRate);
    const PortAudioSession &portAudio = link->session;
    int deviceCount = 0;
    if (!countDevices(portAudio, deviceCount))
        return 0;

    const int index = findDevice(portAudio, device, deviceCount, Direction::Input);
    if (index < 0) {
        std::printf("ERROR : Unable to find audio input devices.\n");
        return 0;
    }
    capture.gain = static_cast<float>(db_to_ratio(static_cast<double>(gainDb)));
    if (!useMap(capture.channels, inputChannels(portAudio, index), map, capture.map))
        return 0;
    capture.sample_rate = static_cast<double>(sampleRate);
    if (!createCapture(capture, ndiName, framesPerBuffer))
        return 0;

    const DeviceSpec spec = deviceSpec(portAudio, index, capture.channels, 0, sampleRate,
                                       framesPerBuffer, paNoFlag, input_callback, &capture);
    const PaStreamParameters in = streamParameters(portAudio, index, capture.channels, true);
    if (!startLink(*link, spec, &in, nullptr))
        return 0;

    superviseStream({g_exit_lock, g_exit_cv, g_exit_threads}, inputHealth, spec, link,
                    keepNdiPace(nullptr, &capture, framesPerBuffer));
    stopLink(link, spec, inputHealth);
    inputHealth.lost.store(false); // a stream that is off waits for no device
    input_aud.clear();
    return 1;
}

int process_output(std::string device, std::string ndiSource, float gainDb,
                   uint32_t framesPerBuffer, uint32_t sampleRate, const ChannelMap &map)
{
    clearStopRequest(g_exit_lock_out, g_exit_threads_out);
    outputHealth.reset();
    auto link = std::make_shared<DeviceLink>(framesPerBuffer, sampleRate);
    const PortAudioSession &portAudio = link->session;
    int deviceCount = 0;
    if (!countDevices(portAudio, deviceCount))
        return 0;

    const int index = findDevice(portAudio, device, deviceCount, Direction::Output);
    if (index < 0)
        return 0;
    audio_playback_t playback; // released before the session on a failed start
    playback.gain = static_cast<float>(db_to_ratio(static_cast<double>(gainDb)));
    if (!useMap(playback.channels, outputChannels(portAudio, index), map, playback.map))
        return 0;
    playback.sample_rate = static_cast<double>(sampleRate);
    if (!createPlayback(playback, ndiSource))
        return 0;

    const DeviceSpec spec = deviceSpec(portAudio, index, 0, playback.channels, sampleRate,
                                       framesPerBuffer, paNoFlag, output_callback, &playback);
    const PaStreamParameters out = streamParameters(portAudio, index, playback.channels, false);
    if (!startLink(*link, spec, nullptr, &out))
        return 0;

    superviseStream({g_exit_lock_out, g_exit_cv_out, g_exit_threads_out}, outputHealth, spec, link,
                    keepNdiPace(&playback, nullptr, framesPerBuffer));
    // The playback records go after the link: stop it first.
    stopLink(link, spec, outputHealth);
    outputHealth.lost.store(false);
    output_aud.clear();
    return 1;
}

int process_duplex(std::string device, std::string ndiName, std::string ndiSource,
                   float inputGainDb, float outputGainDb, uint32_t framesPerBuffer,
                   uint32_t sampleRate, const ChannelMap &inputMap, const ChannelMap &outputMap)
{
    clearStopRequest(g_exit_lock_out_duplex, g_exit_threads_duplex);
    duplexHealth.reset();
    // Records outlive the session (release order above).
    audio_playback_t playback;
    audio_capture_t capture;
    duplex_records_t records{&playback, &capture};
    auto link = std::make_shared<DeviceLink>(framesPerBuffer, sampleRate);
    const PortAudioSession &portAudio = link->session;
    int deviceCount = 0;
    if (!countDevices(portAudio, deviceCount))
        return 0;

    const int index = findDevice(portAudio, device, deviceCount, Direction::Duplex);
    if (index < 0) {
        std::printf("ERROR : Unable to find duplex mode supported audio devices.\n");
        return 0;
    }
    playback.gain = static_cast<float>(db_to_ratio(static_cast<double>(outputGainDb)));
    if (!useMap(playback.channels, outputChannels(portAudio, index), outputMap, playback.map))
        return 0;
    playback.sample_rate = static_cast<double>(sampleRate);
    capture.gain = static_cast<float>(db_to_ratio(static_cast<double>(inputGainDb)));
    if (!useMap(capture.channels, inputChannels(portAudio, index), inputMap, capture.map))
        return 0;
    capture.sample_rate = static_cast<double>(sampleRate);
    if (!createPlayback(playback, ndiSource) || !createCapture(capture, ndiName, framesPerBuffer))
        return 0;

    const DeviceSpec spec =
        deviceSpec(portAudio, index, capture.channels, playback.channels, sampleRate,
                   framesPerBuffer, paDitherOff, duplex_callback, &records);
    const PaStreamParameters in = streamParameters(portAudio, index, capture.channels, true);
    const PaStreamParameters out = streamParameters(portAudio, index, playback.channels, false);
    const double rate = static_cast<double>(sampleRate);
    if (!startLink(*link, spec, &in, &out))
        return 0;
    const PaStreamInfo *streamInfo = link->stream.info();
    if (streamInfo == nullptr)
        return 0;
    if (portAudio.isFormatSupported(&in, &out, rate) != paFormatIsSupported) {
        std::printf("%d Format Is not Supported \n", static_cast<int>(sampleRate));
        return 0;
    }
    printDuplexFormat(portAudio.deviceInfo(index), *streamInfo, sampleRate);

    superviseStream({g_exit_lock_out_duplex, g_exit_cv_out_duplex, g_exit_threads_duplex},
                    duplexHealth, spec, link, keepNdiPace(&playback, &capture, framesPerBuffer));
    // A running device plays out its last blocks before it stops.
    if (link)
        Pa_Sleep(1000);
    stopLink(link, spec, duplexHealth);
    duplexHealth.lost.store(false);
    input_aud.clear();
    output_aud.clear();
    return 1;
}
