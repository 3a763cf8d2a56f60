// The audio engine: three blocking stream entries that move 32-bit float audio between
// PortAudio devices and NDI senders and receivers, their stop requests and the level taps.
//
// PortAudio is reached through the session and streams of audio/, the NDI runtime through the
// interface of ndi/; every session, stream and NDI handle has an owner, so an entry that fails
// while starting simply returns.
//
// Threads: each entry runs on a worker thread of its own for the life of one stream; the
// stop functions may be called from any thread; the taps are read by the level pollers.
#pragma once

#include "ChannelMap.h"
#include "DeviceLink.h"
#include "LevelTap.h"
#include "NdiHandle.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Stop requests, one lock and condition variable per stream. An entry clears its own request
// when it starts, so a request made before the start is lost. The lock is held only to read or
// write the request, never across a call that can wait for a device, so a stop function
// returns at once whatever state the device is in.
extern bool g_exit_threads;
extern std::mutex g_exit_lock;
extern std::condition_variable g_exit_cv;
extern bool g_exit_threads_out;
extern std::mutex g_exit_lock_out;
extern std::condition_variable g_exit_cv_out;
extern bool g_exit_threads_duplex;
extern std::mutex g_exit_lock_out_duplex;
extern std::condition_variable g_exit_cv_out_duplex;

// The latest captured block (before the input gain) and the latest played block (after the
// output gain). Written by the audio threads, read by the level pollers.
extern LevelTap input_aud;
extern LevelTap output_aud;

// Whether each stream's device is there: set by its entry when the device goes away and when it
// comes back, read by the front ends (the command line's loop, the controller's timer).
extern StreamHealth inputHealth;
extern StreamHealth outputHealth;
extern StreamHealth duplexHealth;
// Device blocks the device reported as lost or late (PortAudio's overflow and underflow
// flags), counted for the life of the process, one counter per entry. Bumped by the audio
// threads, read by anyone.
extern std::atomic<uint64_t> input_xruns;
extern std::atomic<uint64_t> output_xruns;
extern std::atomic<uint64_t> duplex_xruns;

// The sending side of a stream. Owns the sender, which it destroys when it goes.
struct audio_capture_t {
    veltrin::ndi::NdiSender send;
    float gain = 1.0f;
    int32_t channels = 0;
    double sample_rate = 0.0;
    std::vector<float> buffer; // planar scratch block, channels * frames
    ChannelMap map;            // empty: every device channel is published
};

// The receiving side of a stream. Owns both handles; members go in reverse order, so the frame
// synchroniser is destroyed before its receiver.
struct audio_playback_t {
    veltrin::ndi::NdiReceiver recv;
    veltrin::ndi::NdiFrameSync framesync;
    float gain = 1.0f;
    int32_t channels = 0;
    double sample_rate = 0.0;
    ChannelMap map; // empty: source channel c plays on device channel c
};

// Both sides of a duplex stream, for its callback.
struct duplex_records_t {
    audio_playback_t *playback = nullptr;
    audio_capture_t *capture = nullptr;
};

// The entries' PortAudio callbacks. `userData` is the stream's CallbackLink (DeviceLink.h),
// whose records are an audio_capture_t, an audio_playback_t or a duplex_records_t; a block
// PortAudio flagged as lost or late on the callback's side counts in its entry's xruns.
int input_callback(const void *input, void *output, unsigned long frameCount,
                   const PaStreamCallbackTimeInfo *timeInfo, PaStreamCallbackFlags statusFlags,
                   void *userData) noexcept;
int output_callback(const void *input, void *output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo *timeInfo, PaStreamCallbackFlags statusFlags,
                    void *userData) noexcept;
int duplex_callback(const void *input, void *output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo *timeInfo, PaStreamCallbackFlags statusFlags,
                    void *userData) noexcept;

// 10 ^ (0.05 * db): 0 dB is 1.0, -20 dB is 0.1.
double db_to_ratio(double db);

// Capture `device` and publish it as the NDI source `ndiName`. Blocks until stopAudioInput();
// returns 1 after an orderly stop, 0 when the stream could not start. `map` chooses the
// device inputs published (ChannelMap.h). A device that goes away while the stream runs does
// not end it: the entry reports it, keeps the NDI side going and reopens the device when it is
// back (the same for the two entries below).
int process_input(std::string device, std::string ndiName, float gainDb, uint32_t framesPerBuffer,
                  uint32_t sampleRate, const ChannelMap &map = {});

// Receive the NDI source `ndiSource` and play it on `device`. Blocks until stopAudioOutput().
// `map` chooses the device outputs the source's channels play on.
int process_output(std::string device, std::string ndiSource, float gainDb,
                   uint32_t framesPerBuffer, uint32_t sampleRate, const ChannelMap &map = {});

// Both directions on one full-duplex device. Blocks until stopAudioDuplex().
int process_duplex(std::string device, std::string ndiName, std::string ndiSource,
                   float inputGainDb, float outputGainDb, uint32_t framesPerBuffer,
                   uint32_t sampleRate, const ChannelMap &inputMap = {},
                   const ChannelMap &outputMap = {});

void stopAudioInput();
void stopAudioOutput();
void stopAudioDuplex();
