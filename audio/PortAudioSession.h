// The one owner of PortAudio. A PortAudioSession is one Pa_Initialize, balanced by Pa_Terminate
// when it ends; a Stream is a stream opened in a session. The device scan, the controller's
// probes, the command line and the engine reach PortAudio only through these, and nothing else
// in the program initialises or terminates it.
//
// Threads: any thread but an audio callback. One process-wide lock serialises every call made
// here (initialise, terminate, device queries, format probes, stream open, start and stop), so a
// probe on the GUI thread never runs inside a worker's stream start or stop, and two streams of
// one host API (one JACK client) never talk to it at once. Asking whether a stream is active
// does not take it. A stop waits for the device: the engine
// makes it on a thread of its own and gives it up after a bound (engine/DeviceLink.h), and a
// JACK server that went away is told to release it (JackServerWatch.h). PortAudio
// counts nested initialisations, so a session opened while a stream runs in another session
// leaves that stream alone; device information stays valid while its session lives.
#pragma once

#include <portaudio.h>
#include <string>
#include <vector>

namespace veltrin::audio {

// One device as PortAudio lists it.
struct Device {
    int index = -1; // PortAudio's device index
    std::string hostApi;
    std::string name;
    int inputs = 0;  // maximum input channels
    int outputs = 0; // maximum output channels
    double defaultRate = 0.0;
    double inputLatency = 0.0;  // default low input latency, seconds
    double outputLatency = 0.0; // default low output latency, seconds
};

// Device names compare as the engine compares them: letter case ignored.
bool sameDeviceName(const std::string &a, const std::string &b);

// Float32 interleaved stream parameters on `device` with no host-specific information.
PaStreamParameters streamParameters(int device, int channels, double suggestedLatency);

class PortAudioSession
{
public:
    // Initialises PortAudio and keeps PipeWire's client library loaded once PortAudio has
    // brought it in. A failed initialisation is kept in error() and is not terminated. A
    // session for a stream names its block size and rate (0: the device's), which PipeWire's
    // graph is asked for as its quantum when this initialisation opens PortAudio's JACK client.
    explicit PortAudioSession(unsigned long framesPerBuffer = 0, double sampleRate = 0);
    ~PortAudioSession();
    PortAudioSession(const PortAudioSession &) = delete;
    PortAudioSession &operator=(const PortAudioSession &) = delete;

    bool ok() const { return m_error == paNoError; }
    PaError error() const { return m_error; }
    std::string errorText() const;

    // Terminates PortAudio now, which closes every stream still open in it; the destructor
    // then does nothing. Does nothing when the session failed or has ended.
    void end();

    PaDeviceIndex deviceCount() const;
    const PaDeviceInfo *deviceInfo(PaDeviceIndex index) const;
    const PaHostApiInfo *hostApiInfo(PaHostApiIndex index) const;
    PaDeviceIndex defaultInputDevice() const;
    PaDeviceIndex defaultOutputDevice() const;

    // The first device, in index order, whose name is `name` (letter case ignored), whatever
    // its directions; paNoDevice when there is none.
    PaDeviceIndex findByName(const std::string &name) const;
    // Every device PortAudio lists, in index order.
    std::vector<Device> devices() const;

    PaError isFormatSupported(const PaStreamParameters *input, const PaStreamParameters *output,
                              double sampleRate) const;

private:
    PaError m_error;
    bool m_live;
};

// A stream of a session. It belongs to its session: ending the session closes it (the engine
// never closes a stream on its own), so a Stream must not outlive the session it was opened in.
class Stream
{
public:
    explicit Stream(PortAudioSession &session) : m_session(session) {}
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // A callback stream when `callback` is given, a blocking one otherwise.
    PaError open(const PaStreamParameters *input, const PaStreamParameters *output,
                 double sampleRate, unsigned long framesPerBuffer, PaStreamFlags flags,
                 PaStreamCallback *callback, void *userData);
    PaError start();
    // May wait for the device, for ever for some hosts when the device has gone away.
    PaError stop();
    // 1 while the stream runs, 0 once it stopped by itself or was stopped, negative on error.
    PaError isActive() const;
    const PaStreamInfo *info() const;

private:
    PortAudioSession &m_session;
    PaStream *m_stream = nullptr;
};

} // namespace veltrin::audio
