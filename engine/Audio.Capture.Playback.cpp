// The audio engine's entries. Each entry owns its stream's records and runs on one worker
// thread; the PortAudio callbacks (one-way streams) and the duplex block threads touch only the
// records handed to them and the level taps. The stop requests are the only shared flags; the
// one-way entries sleep on their condition variable, the duplex loop polls its request.
//
// Release order: owners go in reverse order of declaration. The capture records and the duplex
// blocks are declared before the PortAudio session, so PortAudio terminates (closing the stream
// that uses them) before they go; the one-way receiving side is declared after it, so a failed
// start destroys the frame synchroniser and the receiver before PortAudio terminates. A stop
// stops the stream and ends the session (the one-way entries under their stop lock) before
// anything else is released.
#include "Audio.Capture.Playback.h"

#include "PortAudioSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

std::atomic<uint64_t> input_xruns{0};
std::atomic<uint64_t> output_xruns{0};
std::atomic<uint64_t> duplex_xruns{0};

namespace {

constexpr int kMaxChannels = 64;

// Frames the planar scratch block is reserved for before a stream starts, so that a callback
// whose block size varies (frames per buffer 0) does not allocate while it stays within this.
constexpr uint32_t kReservedFrames = 8192;

enum class Direction { Input, Output, Duplex };

bool passesFilter(const PaDeviceInfo *info, Direction direction)
{
    if (info == nullptr)
        return false;
    switch (direction) {
    case Direction::Input:
        return info->maxInputChannels > 0;
    case Direction::Output:
        return info->maxOutputChannels > 0;
    case Direction::Duplex:
        return info->maxInputChannels > 0 && info->maxOutputChannels > 0;
    }
    return false;
}

// The lowest-numbered device that is the default of PortAudio as a whole or of its own host API.
int defaultDevice(const PortAudioSession &portAudio, Direction direction)
{
    const int count = portAudio.deviceCount();
    if (count < 1)
        return -1;
    const PaDeviceIndex global = direction == Direction::Input ? portAudio.defaultInputDevice()
                                                               : portAudio.defaultOutputDevice();
    for (int i = 0; i < count; ++i) {
        if (i == global)
            return i;
        const PaDeviceInfo *info = portAudio.deviceInfo(i);
        if (info == nullptr)
            continue;
        const PaHostApiInfo *api = portAudio.hostApiInfo(info->hostApi);
        if (api == nullptr)
            continue;
        const PaDeviceIndex apiDefault =
            direction == Direction::Input ? api->defaultInputDevice : api->defaultOutputDevice;
        if (i == apiDefault)
            return i;
    }
    return -1;
}

int get_default_pa_input_device(const PortAudioSession &portAudio)
{
    return defaultDevice(portAudio, Direction::Input);
}

int get_default_pa_output_device(const PortAudioSession &portAudio)
{
    return defaultDevice(portAudio, Direction::Output);
}

// By name (case-insensitive, any direction), then by 1-based ordinal among the devices of the
// direction, then the default device. Returns -1 when nothing is chosen.
int findDevice(const PortAudioSession &portAudio, const std::string &device, int deviceCount,
               Direction direction)
{
    const PaDeviceIndex named = portAudio.findByName(device);
    if (named != paNoDevice)
        return named;

    const int k = static_cast<int>(std::strtol(device.c_str(), nullptr, 10));
    if (k != 0 && k <= deviceCount && deviceCount > 0) {
        int seen = 0;
        for (int i = 0; i < deviceCount; ++i) {
            if (passesFilter(portAudio.deviceInfo(i), direction) && ++seen == k)
                return i;
        }
    }

    switch (direction) {
    case Direction::Input:
        return get_default_pa_input_device(portAudio);
    case Direction::Output:
        return get_default_pa_output_device(portAudio);
    case Direction::Duplex: {
        const int in = get_default_pa_input_device(portAudio);
        const int out = get_default_pa_output_device(portAudio);
        return in == out && in >= 0 ? in : -1;
    }
    }
    return -1;
}

// The stop flags are plain bools guarded by their mutex; the lock is held only for the one load
// or store, so a stop function never waits on an entry.
bool stopRequested(std::mutex &lock, const bool &request)
{
    std::lock_guard<std::mutex> guard(lock);
    return request;
}

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

// Sleeps on `wake` until `request` is set, then, still holding `lock`, stops the stream and ends
// its session. No callback runs after the stream has stopped, so the records can go afterwards.
void waitForStop(std::mutex &lock, std::condition_variable &wake, const bool &request,
                 Stream &stream)
{
    std::unique_lock<std::mutex> guard(lock);
    wake.wait(guard, [&] { return request; });
    stream.stopAndEnd();
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
// of the caller's), applies the gain and shows the played block on the output meter.
void pullBlock(const audio_playback_t &playback, float *out, int32_t frames)
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
    output_aud.publish(out, block.no_channels, block.no_samples, block.sample_rate);
}

int input_callback(const void *input, void * /*output*/, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo * /*timeInfo*/, PaStreamCallbackFlags statusFlags,
                   void *userData) noexcept
{
    if (statusFlags & (paInputOverflow | paInputUnderflow))
        input_xruns.fetch_add(1, std::memory_order_relaxed);
    auto &capture = *static_cast<audio_capture_t *>(userData);
    NDIlib_audio_frame_interleaved_32f_t block;
    block.p_data = static_cast<float *>(const_cast<void *>(input));
    block.no_channels = capture.channels;
    block.sample_rate = static_cast<int32_t>(capture.sample_rate);
    block.no_samples = static_cast<int32_t>(frameCount);
    // The meter shows the captured block before the gain.
    input_aud.publish(block.p_data, block.no_channels, block.no_samples, block.sample_rate);
    sendBlock(capture, block);
    return paContinue;
}

int output_callback(const void * /*input*/, void *output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo * /*timeInfo*/,
                    PaStreamCallbackFlags statusFlags, void *userData) noexcept
{
    if (statusFlags & (paOutputUnderflow | paOutputOverflow))
        output_xruns.fetch_add(1, std::memory_order_relaxed);
    const auto &playback = *static_cast<const audio_playback_t *>(userData);
    pullBlock(playback, static_cast<float *>(output), static_cast<int32_t>(frameCount));
    return paContinue;
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
    audio_capture_t capture; // outlives the session (release order above)
    PortAudioSession portAudio;
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

    const PaStreamParameters in = streamParameters(portAudio, index, capture.channels, true);
    Stream stream(portAudio);
    if (!openAndStart(stream, &in, nullptr, capture.sample_rate, framesPerBuffer, paNoFlag,
                      input_callback, &capture))
        return 0;

    waitForStop(g_exit_lock, g_exit_cv, g_exit_threads, stream);
    input_aud.clear();
    return 1;
}

int process_output(std::string device, std::string ndiSource, float gainDb,
                   uint32_t framesPerBuffer, uint32_t sampleRate, const ChannelMap &map)
{
    clearStopRequest(g_exit_lock_out, g_exit_threads_out);
    PortAudioSession portAudio;
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

    const PaStreamParameters out = streamParameters(portAudio, index, playback.channels, false);
    Stream stream(portAudio);
    if (!openAndStart(stream, nullptr, &out, playback.sample_rate, framesPerBuffer, paNoFlag,
                      output_callback, &playback))
        return 0;

    waitForStop(g_exit_lock_out, g_exit_cv_out, g_exit_threads_out, stream);
    output_aud.clear();
    return 1;
}

namespace {

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

// The duplex block cycles until the stop request is seen: each cycle plays one pulled block,
// then sends the block read in the previous cycle and reads the next one. The two steps run on
// threads of their own, one after the other, so the records, the blocks and `result` are used by
// one thread at a time.
void runBlockCycles(Stream &stream, audio_playback_t &playback, audio_capture_t &capture,
                    std::vector<float> &outputBlock, std::vector<float> &inputBlock,
                    uint32_t framesPerBuffer, uint32_t sampleRate)
{
    const int32_t frames = static_cast<int32_t>(framesPerBuffer);
    PaError result = paNoError;
    const auto writeStep = [&] {
        pullBlock(playback, outputBlock.data(), frames);
        result = stream.write(outputBlock.data(), framesPerBuffer);
        if (result == paOutputUnderflowed)
            duplex_xruns.fetch_add(1, std::memory_order_relaxed);
        if (result != paNoError) {
            std::printf("Wire off write  %d.\n", result);
            std::fflush(stdout);
        }
    };
    const auto readStep = [&] {
        NDIlib_audio_frame_interleaved_32f_t block;
        block.sample_rate = static_cast<int32_t>(sampleRate);
        block.no_channels = capture.channels;
        block.no_samples = frames;
        block.p_data = inputBlock.data();
        input_aud.publish(block.p_data, block.no_channels, block.no_samples, block.sample_rate);
        // The block read in the previous cycle goes out now.
        sendBlock(capture, block);
        result = stream.read(inputBlock.data(), framesPerBuffer);
        if (result == paInputOverflowed)
            duplex_xruns.fetch_add(1, std::memory_order_relaxed);
        if (result != paNoError) {
            std::printf("Wire off read  %d.\n", result);
            std::fflush(stdout);
        }
    };

    while (!stopRequested(g_exit_lock_out_duplex, g_exit_threads_duplex)) {
        std::thread(writeStep).join();
        std::thread(readStep).join();
    }
}

} // namespace

int process_duplex(std::string device, std::string ndiName, std::string ndiSource,
                   float inputGainDb, float outputGainDb, uint32_t framesPerBuffer,
                   uint32_t sampleRate, const ChannelMap &inputMap, const ChannelMap &outputMap)
{
    clearStopRequest(g_exit_lock_out_duplex, g_exit_threads_duplex);
    // Records and blocks outlive the session (release order above).
    audio_playback_t playback;
    audio_capture_t capture;
    std::vector<float> outputBlock;
    std::vector<float> inputBlock;
    PortAudioSession portAudio;
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

    const PaStreamParameters in = streamParameters(portAudio, index, capture.channels, true);
    const PaStreamParameters out = streamParameters(portAudio, index, playback.channels, false);
    // The first cycle sends the input block before any read has filled it: a block of silence.
    outputBlock.assign(static_cast<size_t>(playback.channels) * framesPerBuffer, 0.0f);
    inputBlock.assign(static_cast<size_t>(capture.channels) * framesPerBuffer, 0.0f);

    const double rate = static_cast<double>(sampleRate);
    Stream stream(portAudio);
    if (!openAndStart(stream, &in, &out, rate, framesPerBuffer, paDitherOff, nullptr, nullptr))
        return 0;
    const PaStreamInfo *streamInfo = stream.info();
    if (streamInfo == nullptr)
        return 0;
    if (portAudio.isFormatSupported(&in, &out, rate) != paFormatIsSupported) {
        std::printf("%d Format Is not Supported \n", static_cast<int>(sampleRate));
        return 0;
    }
    printDuplexFormat(portAudio.deviceInfo(index), *streamInfo, sampleRate);

    runBlockCycles(stream, playback, capture, outputBlock, inputBlock, framesPerBuffer, sampleRate);
    Pa_Sleep(1000);
    stream.stopAndEnd();
    input_aud.clear();
    output_aud.clear();
    return 1;
}
