#include "PortAudioSession.h"

#include "AudioRoute.h"
#include "PipeWireResidency.h"

#include <mutex>
#include <strings.h>

namespace veltrin::audio {

namespace {

// PortAudio is not thread-safe outside a stream's own callback and transfers: this lock covers
// every other call the program makes. Constant-initialised, so a session in a static object is
// safe.
std::mutex g_portAudio;

using Guard = std::lock_guard<std::mutex>;

} // namespace

bool sameDeviceName(const std::string &a, const std::string &b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

PaStreamParameters streamParameters(int device, int channels, double suggestedLatency)
{
    PaStreamParameters p{};
    p.device = device;
    p.channelCount = channels;
    p.sampleFormat = paFloat32;
    p.suggestedLatency = suggestedLatency;
    p.hostApiSpecificStreamInfo = nullptr;
    return p;
}

PortAudioSession::PortAudioSession(unsigned long framesPerBuffer, double sampleRate)
{
    Guard guard(g_portAudio);
    // A rate left to the device is asked for as a time at the rate most graphs run at.
    askForQuantum(framesPerBuffer, sampleRate > 0 ? sampleRate : 48000.0);
    m_error = Pa_Initialize();
    m_live = m_error == paNoError;
    if (m_live)
        keepPipeWireClientLoaded();
}

PortAudioSession::~PortAudioSession()
{
    end();
}

void PortAudioSession::end()
{
    if (!m_live)
        return;
    Guard guard(g_portAudio);
    Pa_Terminate();
    m_live = false;
}

std::string PortAudioSession::errorText() const
{
    return Pa_GetErrorText(m_error);
}

PaDeviceIndex PortAudioSession::deviceCount() const
{
    Guard guard(g_portAudio);
    return Pa_GetDeviceCount();
}

const PaDeviceInfo *PortAudioSession::deviceInfo(PaDeviceIndex index) const
{
    Guard guard(g_portAudio);
    return Pa_GetDeviceInfo(index);
}

const PaHostApiInfo *PortAudioSession::hostApiInfo(PaHostApiIndex index) const
{
    Guard guard(g_portAudio);
    return Pa_GetHostApiInfo(index);
}

PaDeviceIndex PortAudioSession::defaultInputDevice() const
{
    Guard guard(g_portAudio);
    return Pa_GetDefaultInputDevice();
}

PaDeviceIndex PortAudioSession::defaultOutputDevice() const
{
    Guard guard(g_portAudio);
    return Pa_GetDefaultOutputDevice();
}

PaDeviceIndex PortAudioSession::findByName(const std::string &name) const
{
    Guard guard(g_portAudio);
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info != nullptr && info->name != nullptr && sameDeviceName(info->name, name))
            return i;
    }
    return paNoDevice;
}

std::vector<Device> PortAudioSession::devices() const
{
    Guard guard(g_portAudio);
    std::vector<Device> devices;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info == nullptr)
            continue;
        const PaHostApiInfo *api = Pa_GetHostApiInfo(info->hostApi);
        Device device;
        device.index = i;
        device.hostApi = api != nullptr && api->name != nullptr ? api->name : "";
        device.name = info->name != nullptr ? info->name : "";
        device.inputs = info->maxInputChannels;
        device.outputs = info->maxOutputChannels;
        device.defaultRate = info->defaultSampleRate;
        device.inputLatency = info->defaultLowInputLatency;
        device.outputLatency = info->defaultLowOutputLatency;
        devices.push_back(std::move(device));
    }
    return devices;
}

PaError PortAudioSession::isFormatSupported(const PaStreamParameters *input,
                                            const PaStreamParameters *output,
                                            double sampleRate) const
{
    Guard guard(g_portAudio);
    return Pa_IsFormatSupported(input, output, sampleRate);
}

PaError Stream::open(const PaStreamParameters *input, const PaStreamParameters *output,
                     double sampleRate, unsigned long framesPerBuffer, PaStreamFlags flags,
                     PaStreamCallback *callback, void *userData)
{
    Guard guard(g_portAudio);
    return Pa_OpenStream(&m_stream, input, output, sampleRate, framesPerBuffer, flags, callback,
                         userData);
}

PaError Stream::start()
{
    Guard guard(g_portAudio);
    return Pa_StartStream(m_stream);
}

PaError Stream::stop()
{
    Guard guard(g_portAudio);
    return Pa_StopStream(m_stream);
}

PaError Stream::isActive() const
{
    return Pa_IsStreamActive(m_stream);
}

const PaStreamInfo *Stream::info() const
{
    Guard guard(g_portAudio);
    return Pa_GetStreamInfo(m_stream);
}

} // namespace veltrin::audio
