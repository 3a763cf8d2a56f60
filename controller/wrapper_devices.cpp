#include "PipeWireResidency.h"
#include "ScanDevice.h"
#include "wrapper.h"

#include <cstdio>
#include <limits>
#include <portaudio.h>
#include <strings.h>
#include <utility>

namespace {

// Probed in this order; the same texts fill the output list before any device is chosen.
constexpr double kCandidateRates[] = {8000,  22050, 24000,  44100, 48000,
                                      88200, 96000, 176400, 192000};

QString rateText(double rate)
{
    return QString::number(rate, 'g', 6);
}

// Truncates toward zero; rates that are not a representable count give 0.
unsigned int wholeHertz(double rate)
{
    if (!(rate >= 0.0) || rate >= static_cast<double>(std::numeric_limits<unsigned int>::max()))
        return 0;
    return static_cast<unsigned int>(rate);
}

// The device name of an entry "host API  device"; an entry without the separator is taken
// whole as the name.
QString deviceNameOf(const QString &entry)
{
    const QStringList fields = entry.split(QLatin1String(ScanDevice::kEntrySeparator),
                                           Qt::KeepEmptyParts, Qt::CaseSensitive);
    return fields.size() >= 2 ? fields.at(1) : entry;
}

// PortAudio counts nested initialisations, so a probe made while a stream runs leaves the
// stream's own initialisation in place. A failed initialisation is not counted, nor undone.
class PortAudioSession
{
public:
    PortAudioSession() : m_error(Pa_Initialize())
    {
        if (m_error == paNoError)
            keepPipeWireClientLoaded();
    }
    ~PortAudioSession()
    {
        if (m_error == paNoError)
            Pa_Terminate();
    }
    PortAudioSession(const PortAudioSession &) = delete;
    PortAudioSession &operator=(const PortAudioSession &) = delete;
    PaError error() const { return m_error; }

private:
    PaError m_error;
};

} // namespace

void Wrapper::devLists(const QStringList &in, const QStringList &out, const QStringList &chin,
                       const QStringList &chout, const QList<double> &inSampleRate,
                       const QList<double> &outSampleRate)
{
    m_outPutDevice = out;
    m_inPutDevice = in;
    m_chin = chin;
    m_chout = chout;
    m_inSampleRate = inSampleRate;
    m_outSampleRate = outSampleRate;

    setNumChannels(0);
    setNumOutChannels(0);
    setSampleRateIn(0);
    setSampleRate(0);

    emit outPutDeviceChanged();
    emit inPutDeviceChanged();
}

void Wrapper::inOutDev(const QStringList &list)
{
    setInOutPutDevice(list);
    emit inOutPutDeviceChanged();
}

void Wrapper::setInOutPutDevice(QStringList list)
{
    m_inOutPutDevice = std::move(list);
    if (m_inOutPutDevice.isEmpty()) {
        m_inOutPutDev.clear();
        return;
    }
    setInOutPutDev(m_inOutPutDevice.first());
}

void Wrapper::setInOutPutDev(QString name)
{
    m_inOutPutDev = std::move(name);
    testSampleRate(m_inOutPutDev, 2);
}

void Wrapper::setInPutDev(QString entry)
{
    m_inPutDev = deviceNameOf(entry);
    testSampleRate(m_inPutDev, 1);
}

void Wrapper::setOutPutDev(QString entry)
{
    m_outPutDev = deviceNameOf(entry);
    testSampleRate(m_outPutDev, 0);
}

void Wrapper::setNumChannels(unsigned int index)
{
    if (index < static_cast<unsigned int>(m_chin.size()))
        m_numChannels = m_chin.at(static_cast<int>(index)).toUInt(nullptr, 10);
    emit numChannelsChanged();
}

void Wrapper::setNumOutChannels(unsigned int index)
{
    if (index < static_cast<unsigned int>(m_chout.size()))
        m_numOutChannels = m_chout.at(static_cast<int>(index)).toUInt(nullptr, 10);
    emit numOutChannelsChanged();
}

void Wrapper::setSampleRateIn(unsigned int index)
{
    if (index < static_cast<unsigned int>(m_inSampleRate.size()))
        m_sampleRateIn = wholeHertz(m_inSampleRate.at(static_cast<int>(index)));
    emit sampleRateChangedIn();
}

void Wrapper::setSampleRate(unsigned int index)
{
    if (index < static_cast<unsigned int>(m_outSampleRate.size()))
        m_sampleRate = wholeHertz(m_outSampleRate.at(static_cast<int>(index)));
    emit sampleRateChanged();
}

void Wrapper::testSampleRate(QString device, int type)
{
    QStringList *result = nullptr;
    void (Wrapper::*changed)() = nullptr;
    switch (type) {
    case 0:
        result = &m_defaultSampleRates;
        changed = &Wrapper::defaultSampleRatesChanged;
        break;
    case 1:
        result = &m_defaultSampleRatesIn;
        changed = &Wrapper::defaultSampleRatesInChanged;
        break;
    case 2:
        result = &m_defaultSampleRatesDuplex;
        changed = &Wrapper::defaultSampleRatesDuplexChanged;
        break;
    default:
        return;
    }

    PortAudioSession session;
    if (session.error() != paNoError) {
        std::printf("ERROR : Unable to initialize audio devices.\n");
        std::fflush(stdout);
        return;
    }
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        std::printf("ERROR : Unable to get audio devices.\n");
        std::fflush(stdout);
    }

    const QByteArray wanted = device.toUtf8();
    PaDeviceIndex found = paNoDevice;
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *candidate = Pa_GetDeviceInfo(i);
        if (candidate != nullptr && candidate->name != nullptr
            && strcasecmp(candidate->name, wanted.constData()) == 0) {
            found = i;
            break;
        }
    }
    const PaDeviceInfo *info = found == paNoDevice ? nullptr : Pa_GetDeviceInfo(found);
    if (info == nullptr)
        return;

    PaStreamParameters input{};
    input.device = found;
    input.channelCount = info->maxInputChannels;
    input.sampleFormat = paFloat32;
    input.suggestedLatency = 0.0;
    input.hostApiSpecificStreamInfo = nullptr;
    PaStreamParameters output = input;
    output.channelCount = info->maxOutputChannels;

    // A device that records and plays must take the rate in both directions at once.
    const PaStreamParameters *in = info->maxInputChannels > 0 ? &input : nullptr;
    const PaStreamParameters *out = info->maxOutputChannels > 0 ? &output : nullptr;
    result->clear();
    for (const double rate : kCandidateRates) {
        if (Pa_IsFormatSupported(in, out, rate) == paFormatIsSupported) {
            result->append(rateText(rate));
            emit(this->*changed)();
        }
    }
}

void Wrapper::duplexChannelsSamplerate()
{
    PortAudioSession session;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const QByteArray wanted = m_inOutPutDev.toUtf8();
    // Every match is applied, so the last device of a repeated name wins.
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info == nullptr || info->name == nullptr
            || strcasecmp(info->name, wanted.constData()) != 0)
            continue;
        setInDuplexCh(QString::number(info->maxInputChannels));
        setOutDuplexCh(QString::number(info->maxOutputChannels));
        setOutDuplexSampleRate(rateText(info->defaultSampleRate));
        setInDuplexSampleRate(rateText(info->defaultSampleRate));
    }
}
