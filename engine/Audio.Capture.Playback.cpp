// The audio engine's entries. Each entry owns its stream's records and runs on one worker
// thread; the PortAudio callbacks (one-way streams) and the duplex block threads touch only the
// records handed to them and the level taps. The stop requests are the only shared flags; the
// one-way entries sleep on their condition variable, the duplex loop polls its request.
#include "Audio.Capture.Playback.h"

#include "PipeWireResidency.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <portaudio.h>
#include <strings.h>
#include <thread>

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
int defaultDevice(Direction direction)
{
    const int count = Pa_GetDeviceCount();
    if (count < 1)
        return -1;
    const PaDeviceIndex global =
        direction == Direction::Input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    for (int i = 0; i < count; ++i) {
        if (i == global)
            return i;
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info == nullptr)
            continue;
        const PaHostApiInfo *api = Pa_GetHostApiInfo(info->hostApi);
        if (api == nullptr)
            continue;
        const PaDeviceIndex apiDefault =
            direction == Direction::Input ? api->defaultInputDevice : api->defaultOutputDevice;
        if (i == apiDefault)
            return i;
    }
    return -1;
}

int get_default_pa_input_device()
{
    return defaultDevice(Direction::Input);
}

int get_default_pa_output_device()
{
    return defaultDevice(Direction::Output);
}

// By name (case-insensitive, any direction), then by 1-based ordinal among the devices of the
// direction, then the default device. Returns -1 when nothing is chosen.
int findDevice(const std::string &device, int deviceCount, Direction direction)
{
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info != nullptr && info->name != nullptr && strcasecmp(info->name, device.c_str()) == 0)
            return i;
    }

    const int k = static_cast<int>(std::strtol(device.c_str(), nullptr, 10));
    if (k != 0 && k <= deviceCount && deviceCount > 0) {
        int seen = 0;
        for (int i = 0; i < deviceCount; ++i) {
            if (passesFilter(Pa_GetDeviceInfo(i), direction) && ++seen == k)
                return i;
        }
    }

    switch (direction) {
    case Direction::Input:
        return get_default_pa_input_device();
    case Direction::Output:
        return get_default_pa_output_device();
    case Direction::Duplex: {
        const int in = get_default_pa_input_device();
        const int out = get_default_pa_output_device();
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

// Clears the stop request (a request made before this point is lost), initialises PortAudio and
// counts the devices. Returns false when PortAudio cannot be initialised (the caller returns 0).
bool startPortAudio(std::mutex &lock, bool &stopRequest, int &deviceCount)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopRequest = false;
    }
    if (Pa_Initialize() != paNoError) {
        std::printf("ERROR : Unable to initialize audio devices.\n");
        return false;
    }
    keepPipeWireClientLoaded();
    deviceCount = Pa_GetDeviceCount();
    if (deviceCount < 0)
        std::printf("ERROR : Unable to get audio devices.\n");
    return true;
}

PaStreamParameters streamParameters(int device, int channels, bool input)
{
    const PaDeviceInfo *info = Pa_GetDeviceInfo(device);
    PaStreamParameters p{};
    p.device = device;
    p.channelCount = channels;
    p.sampleFormat = paFloat32;
    p.suggestedLatency =
        info == nullptr ? 0.0
                        : (input ? info->defaultLowInputLatency : info->defaultLowOutputLatency);
    p.hostApiSpecificStreamInfo = nullptr;
    return p;
}

int inputChannels(int device)
{
    const PaDeviceInfo *info = Pa_GetDeviceInfo(device);
    return info == nullptr ? 0 : std::min(info->maxInputChannels, kMaxChannels);
}

int outputChannels(int device)
{
    const PaDeviceInfo *info = Pa_GetDeviceInfo(device);
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

// Sends one interleaved block through the record's sender: de-interleave into the planar
// scratch block, apply the gain, send. Runs on the audio thread: the scratch block was reserved
// before the stream started, so the resize does not allocate while blocks stay within it.
void sendBlock(audio_capture_t &capture, const NDIlib_audio_frame_interleaved_32f_t &block)
{
    const int32_t frames = block.no_samples;
    capture.buffer.resize(static_cast<size_t>(capture.channels * frames));

    NDIlib_audio_frame_v2_t frame;
    frame.p_data = capture.buffer.data();
    frame.channel_stride_in_bytes = frames * static_cast<int32_t>(sizeof(float));
    NDIlib_util_audio_from_interleaved_32f_v2(&block, &frame);

    const float gain = capture.gain;
    for (float &sample : capture.buffer)
        sample *= gain;
    NDIlib_send_send_audio_v2(capture.send, &frame);
}

// Pulls one block from the frame synchroniser into `out` (interleaved, channels * frames floats
// of the caller's), applies the gain and shows the played block on the output meter.
void pullBlock(const audio_playback_t &playback, float *out, int32_t frames)
{
    NDIlib_audio_frame_v2_t frame;
    NDIlib_framesync_capture_audio(playback.framesync, &frame,
                                   static_cast<int>(playback.sample_rate), playback.channels,
                                   frames);
    NDIlib_audio_frame_interleaved_32f_t block;
    block.no_channels = playback.channels;
    block.sample_rate = static_cast<int32_t>(playback.sample_rate);
    block.no_samples = frames;
    block.p_data = out;
    NDIlib_util_audio_to_interleaved_32f_v2(&frame, &block);
    NDIlib_framesync_free_audio(playback.framesync, &frame);

    const int32_t m = block.no_samples * block.no_channels;
    for (int32_t i = 0; i < m; ++i)
        out[i] *= playback.gain;
    output_aud.publish(out, block.no_channels, block.no_samples, block.sample_rate);
}

int input_callback(const void *input, void * /*output*/, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo * /*timeInfo*/,
                   PaStreamCallbackFlags /*statusFlags*/, void *userData) noexcept
{
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
                    PaStreamCallbackFlags /*statusFlags*/, void *userData) noexcept
{
    const auto &playback = *static_cast<const audio_playback_t *>(userData);
    pullBlock(playback, static_cast<float *>(output), static_cast<int32_t>(frameCount));
    return paContinue;
}

// Destroys a receiving side: the frame synchroniser first, then its receiver.
void destroyPlayback(audio_playback_t &playback)
{
    if (playback.framesync != nullptr)
        NDIlib_framesync_destroy(playback.framesync);
    if (playback.recv != nullptr)
        NDIlib_recv_destroy(playback.recv);
    playback.framesync = nullptr;
    playback.recv = nullptr;
}

// Creates the receiver and its frame synchroniser; false (with a message) if either is missing.
bool createPlayback(audio_playback_t &playback, const std::string &source)
{
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = source.c_str();
    settings.source_to_connect_to.p_url_address = nullptr;
    settings.color_format = NDIlib_recv_color_format_UYVY_BGRA;
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    playback.recv = NDIlib_recv_create_v3(&settings);
    if (playback.recv == nullptr) {
        printCreateError("receiver");
        return false;
    }
    playback.framesync = NDIlib_framesync_create(playback.recv);
    if (playback.framesync == nullptr) {
        printCreateError("frame synchroniser");
        destroyPlayback(playback);
        return false;
    }
    return true;
}

bool createCapture(audio_capture_t &capture, const std::string &name, uint32_t framesPerBuffer)
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name.c_str();
    settings.p_groups = nullptr;
    settings.clock_video = true;
    settings.clock_audio = true;
    capture.send = NDIlib_send_create(&settings);
    if (capture.send == nullptr) {
        printCreateError("sender");
        return false;
    }
    capture.buffer.reserve(static_cast<size_t>(capture.channels)
                           * std::max(framesPerBuffer, kReservedFrames));
    return true;
}

} // namespace

audio_capture_t::~audio_capture_t()
{
    if (send != nullptr)
        NDIlib_send_destroy(send);
}

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
                  uint32_t sampleRate)
{
    int deviceCount = 0;
    if (!startPortAudio(g_exit_lock, g_exit_threads, deviceCount))
        return 0;

    const int index = findDevice(device, deviceCount, Direction::Input);
    if (index < 0) {
        std::printf("ERROR : Unable to find audio input devices.\n");
        Pa_Terminate();
        return 0;
    }

    audio_capture_t capture;
    capture.gain = static_cast<float>(db_to_ratio(static_cast<double>(gainDb)));
    capture.channels = inputChannels(index);
    capture.sample_rate = static_cast<double>(sampleRate);
    if (!createCapture(capture, ndiName, framesPerBuffer)) {
        Pa_Terminate();
        return 0;
    }

    const PaStreamParameters in = streamParameters(index, capture.channels, true);
    PaStream *stream = nullptr;
    PaError err = Pa_OpenStream(&stream, &in, nullptr, capture.sample_rate, framesPerBuffer,
                                paNoFlag, input_callback, &capture);
    if (err != paNoError) {
        printStreamError("open", err);
        Pa_Terminate();
        return 0;
    }
    err = Pa_StartStream(stream);
    if (err != paNoError) {
        printStreamError("start", err);
        Pa_Terminate();
        return 0;
    }

    {
        std::unique_lock<std::mutex> lock(g_exit_lock);
        g_exit_cv.wait(lock, [] { return g_exit_threads; });
        // No callback runs after Pa_StopStream returns, so the record can go afterwards.
        Pa_StopStream(stream);
        Pa_Terminate();
    }
    input_aud.clear();
    return 1;
}

int process_output(std::string device, std::string ndiSource, float gainDb,
                   uint32_t framesPerBuffer, uint32_t sampleRate)
{
    int deviceCount = 0;
    if (!startPortAudio(g_exit_lock_out, g_exit_threads_out, deviceCount))
        return 0;

    const int index = findDevice(device, deviceCount, Direction::Output);
    if (index < 0) {
        Pa_Terminate();
        return 0;
    }

    audio_playback_t playback;
    playback.gain = static_cast<float>(db_to_ratio(static_cast<double>(gainDb)));
    playback.channels = outputChannels(index);
    playback.sample_rate = static_cast<double>(sampleRate);
    if (!createPlayback(playback, ndiSource)) {
        Pa_Terminate();
        return 0;
    }

    const PaStreamParameters out = streamParameters(index, playback.channels, false);
    PaStream *stream = nullptr;
    PaError err = Pa_OpenStream(&stream, nullptr, &out, playback.sample_rate, framesPerBuffer,
                                paNoFlag, output_callback, &playback);
    if (err != paNoError) {
        printStreamError("open", err);
        destroyPlayback(playback);
        Pa_Terminate();
        return 0;
    }
    err = Pa_StartStream(stream);
    if (err != paNoError) {
        printStreamError("start", err);
        destroyPlayback(playback);
        Pa_Terminate();
        return 0;
    }

    {
        std::unique_lock<std::mutex> lock(g_exit_lock_out);
        g_exit_cv_out.wait(lock, [] { return g_exit_threads_out; });
        Pa_StopStream(stream);
        Pa_Terminate();
    }
    output_aud.clear();
    destroyPlayback(playback);
    return 1;
}

int process_duplex(std::string device, std::string ndiName, std::string ndiSource,
                   float inputGainDb, float outputGainDb, uint32_t framesPerBuffer,
                   uint32_t sampleRate)
{
    int deviceCount = 0;
    if (!startPortAudio(g_exit_lock_out_duplex, g_exit_threads_duplex, deviceCount))
        return 0;

    const int index = findDevice(device, deviceCount, Direction::Duplex);
    if (index < 0) {
        std::printf("ERROR : Unable to find duplex mode supported audio devices.\n");
        Pa_Terminate();
        return 0;
    }
    const int inChannels = inputChannels(index);
    const int outChannels = outputChannels(index);

    // Released in reverse order of declaration on every return: PortAudio first (it closes the
    // stream that uses the blocks), then the blocks, the sender, the frame synchroniser and the
    // receiver.
    audio_playback_t playback;
    struct PlaybackGuard {
        audio_playback_t &p;
        ~PlaybackGuard() { destroyPlayback(p); }
    } playbackGuard{playback};
    playback.gain = static_cast<float>(db_to_ratio(static_cast<double>(outputGainDb)));
    playback.channels = outChannels;
    playback.sample_rate = static_cast<double>(sampleRate);

    audio_capture_t capture;
    capture.gain = static_cast<float>(db_to_ratio(static_cast<double>(inputGainDb)));
    capture.channels = inChannels;
    capture.sample_rate = static_cast<double>(sampleRate);

    struct Terminator {
        bool done = false;
        void terminate()
        {
            if (!done)
                Pa_Terminate();
            done = true;
        }
        ~Terminator() { terminate(); }
    };

    if (!createPlayback(playback, ndiSource) || !createCapture(capture, ndiName, framesPerBuffer)) {
        Pa_Terminate();
        return 0;
    }

    const PaStreamParameters in = streamParameters(index, inChannels, true);
    const PaStreamParameters out = streamParameters(index, outChannels, false);
    const size_t outFloats = static_cast<size_t>(outChannels) * framesPerBuffer;
    const size_t inFloats = static_cast<size_t>(inChannels) * framesPerBuffer;
    // The first cycle sends the input block before any read has filled it: a block of silence.
    std::vector<float> outputBlock(outFloats, 0.0f);
    std::vector<float> inputBlock(inFloats, 0.0f);
    Terminator portAudio;

    PaStream *stream = nullptr;
    PaError err = Pa_OpenStream(&stream, &in, &out, static_cast<double>(sampleRate),
                                framesPerBuffer, paDitherOff, nullptr, nullptr);
    if (err != paNoError) {
        printStreamError("open", err);
        return 0;
    }
    err = Pa_StartStream(stream);
    if (err != paNoError) {
        printStreamError("start", err);
        return 0;
    }
    const PaStreamInfo *streamInfo = Pa_GetStreamInfo(stream);
    if (streamInfo == nullptr)
        return 0;
    if (Pa_IsFormatSupported(&in, &out, static_cast<double>(sampleRate)) != paFormatIsSupported) {
        std::printf("%d Format Is not Supported \n", static_cast<int>(sampleRate));
        return 0;
    }
    const PaDeviceInfo *info = Pa_GetDeviceInfo(index);
    std::printf("%d Format Is Supported \n", static_cast<int>(sampleRate));
    std::printf("Default Device:  \n");
    std::printf("              SampleRate: %lf  In Latency: %lf Out Latency: %lf\n",
                info != nullptr ? info->defaultSampleRate : 0.0,
                info != nullptr ? info->defaultLowInputLatency : 0.0,
                info != nullptr ? info->defaultLowOutputLatency : 0.0);
    std::printf("Stream Info:  \n");
    std::printf("            SampleRate: %lf  In Latency: %lf Out Latency: %lf\n",
                streamInfo->sampleRate, streamInfo->inputLatency, streamInfo->outputLatency);

    const int32_t frames = static_cast<int32_t>(framesPerBuffer);
    PaError result = paNoError;
    const auto writeStep = [&] {
        pullBlock(playback, outputBlock.data(), frames);
        result = Pa_WriteStream(stream, outputBlock.data(), framesPerBuffer);
        if (result != paNoError) {
            std::printf("Wire off write  %d.\n", result);
            std::fflush(stdout);
        }
    };
    const auto readStep = [&] {
        NDIlib_audio_frame_interleaved_32f_t block;
        block.sample_rate = static_cast<int32_t>(sampleRate);
        block.no_channels = inChannels;
        block.no_samples = frames;
        block.p_data = inputBlock.data();
        input_aud.publish(block.p_data, block.no_channels, block.no_samples, block.sample_rate);
        // The block read in the previous cycle goes out now.
        sendBlock(capture, block);
        result = Pa_ReadStream(stream, inputBlock.data(), framesPerBuffer);
        if (result != paNoError) {
            std::printf("Wire off read  %d.\n", result);
            std::fflush(stdout);
        }
    };

    while (!stopRequested(g_exit_lock_out_duplex, g_exit_threads_duplex)) {
        std::thread(writeStep).join();
        std::thread(readStep).join();
    }

    Pa_Sleep(1000);
    Pa_StopStream(stream);
    portAudio.terminate();
    input_aud.clear();
    output_aud.clear();
    return 1;
}
