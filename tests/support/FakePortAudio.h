// A link-time double of the PortAudio functions the program calls, for device tables and faults
// a real audio server cannot produce. Link `veltrin_fake_portaudio` instead of PortAudio. A
// started stream is called back from a thread of the double, block after block of
// input samples of `Table::inputLevel`, until it is stopped.
//
// The lifecycle calls go to the shared call log (CallLog.h), in order with the NDI double's, as
// "init", "term", "open", "start", "stop" and "sleep".
//
// Threads: configure from the test thread while no stream runs; the counters are atomic.
#pragma once

#include <atomic>
#include <functional>
#include <portaudio.h>
#include <string>
#include <vector>

namespace fakepa {

struct HostApi {
    std::string name = "Fake API";
    int defaultInputDevice = paNoDevice, defaultOutputDevice = paNoDevice; // global indices
};

// Every device has low latencies of 5 ms each way, high ones of 20 ms.
struct Device {
    std::string name;
    int hostApi = 0, maxInputChannels = 0, maxOutputChannels = 0;
    double defaultSampleRate = 48000.0;
};

struct Table {
    std::vector<HostApi> hostApis{HostApi{}};
    std::vector<Device> devices;
    int defaultInputDevice = paNoDevice, defaultOutputDevice = paNoDevice;
    PaError initializeError = paNoError, openStreamError = paNoError, startStreamError = paNoError;
    // Pa_IsFormatSupported's answer; by default every format is supported.
    std::function<PaError(const PaStreamParameters *in, const PaStreamParameters *out, double rate)>
        isFormatSupported;
    // The value of every input sample (default: silence).
    float inputLevel = 0.0f;
};

// Replaces the table (every stream stopped first) and clears the counters and recordings.
void setTable(const Table &table);

struct OpenedStream {
    bool hasInput = false, hasOutput = false;
    PaStreamParameters input{}, output{};
    double sampleRate = 0;
    unsigned long framesPerBuffer = 0; // 0: blocks of 256 frames
    PaStreamFlags flags = 0;
};

struct Counters {
    // overlapping: lifecycle calls and format probes begun while another was in progress;
    // initializeDepth: Initialize calls not yet matched by Terminate (PortAudio counts them the
    // same way).
    std::atomic<int> startStream{0}, stopStream{0}, callbacks{0}, overlapping{0},
        initializeDepth{0};
};

Counters &counters();
// The streams opened since the table was set, in order.
std::vector<OpenedStream> openedStreams();
// The device goes away as a pulled cable does: the callbacks of its running streams end, the
// streams report themselves inactive (or, `hangs`, still active, as a host that never noticed),
// and the device list (of every later Pa_Initialize and of the sessions open now) leaves it out
// until plugIn() puts it back in its place.
void unplug(const std::string &name, bool hangs = false);
void plugIn(const std::string &name);
// While held, Pa_StopStream does not return: a device that never answers a stop.
inline std::atomic<bool> holdStops{false};

} // namespace fakepa
