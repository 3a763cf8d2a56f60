#include "PortAudioSession.h"
#include "ScanDevice.h"
#include "wrapper.h"

#include <cstdio>
#include <limits>
#include <utility>

using veltrin::audio::PortAudioSession;

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

    // A probe made while a stream runs opens a nested session, which leaves the stream's alone.
    PortAudioSession portAudio;
    if (!portAudio.ok()) {
        std::printf("ERROR : Unable to initialize audio devices.\n");
        std::fflush(stdout);
        return;
    }
    if (portAudio.deviceCount() < 0) {
        std::printf("ERROR : Unable to get audio devices.\n");
        std::fflush(stdout);
    }

    const PaDeviceIndex found = portAudio.findByName(device.toUtf8().toStdString());
    const PaDeviceInfo *info = found == paNoDevice ? nullptr : portAudio.deviceInfo(found);
    if (info == nullptr)
        return;

    const PaStreamParameters input =
        veltrin::audio::streamParameters(found, info->maxInputChannels, 0.0);
    const PaStreamParameters output =
        veltrin::audio::streamParameters(found, info->maxOutputChannels, 0.0);

    // A device that records and plays must take the rate in both directions at once.
    const PaStreamParameters *in = info->maxInputChannels > 0 ? &input : nullptr;
    const PaStreamParameters *out = info->maxOutputChannels > 0 ? &output : nullptr;
    result->clear();
    for (const double rate : kCandidateRates) {
        if (portAudio.isFormatSupported(in, out, rate) == paFormatIsSupported) {
            result->append(rateText(rate));
            emit(this->*changed)();
        }
    }
}

void Wrapper::duplexChannelsSamplerate()
{
    const std::string wanted = m_inOutPutDev.toUtf8().toStdString();
    const std::vector<veltrin::audio::Device> devices = PortAudioSession().devices();
    // Every match is applied, so the last device of a repeated name wins.
    for (const veltrin::audio::Device &device : devices) {
        if (!veltrin::audio::sameDeviceName(device.name, wanted))
            continue;
        setInDuplexCh(QString::number(device.inputs));
        setOutDuplexCh(QString::number(device.outputs));
        setOutDuplexSampleRate(rateText(device.defaultRate));
        setInDuplexSampleRate(rateText(device.defaultRate));
    }
}
