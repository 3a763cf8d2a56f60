#include "ScanDevice.h"

#include "PipeWireResidency.h"

#include <QDebug>
#include <portaudio.h>

ScanDevice::ScanDevice() : QObject(nullptr) {}

void ScanDevice::scan()
{
    m_outputEntries.clear();
    m_inputEntries.clear();
    m_duplexNames.clear();
    m_inputChannels.clear();
    m_outputChannels.clear();
    m_outputRates.clear();
    m_inputRates.clear();

    if (Pa_Initialize() != paNoError)
        qWarning("ERROR : Unable to initialize audio devices.\n");
    keepPipeWireClientLoaded();
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0)
        qWarning("ERROR : Unable to get audio devices.\n");
    qWarning() << "Aqui " << count;

    // Capture side: names decoded from the local 8-bit encoding.
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info == nullptr || info->maxInputChannels <= 0)
            continue;
        const PaHostApiInfo *api = Pa_GetHostApiInfo(info->hostApi);
        const QString name = QString::fromLocal8Bit(info->name);
        const QString apiName = QString::fromLocal8Bit(api != nullptr ? api->name : nullptr);
        m_inputEntries.append(apiName + kEntrySeparator + name);
        m_inputChannels.append(QString::number(info->maxInputChannels));
        m_inputRates.append(info->defaultSampleRate);
        if (info->maxOutputChannels != 0)
            m_duplexNames.append(name);
    }

    // Playback side: names decoded as UTF-8.
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info == nullptr || info->maxOutputChannels <= 0)
            continue;
        const PaHostApiInfo *api = Pa_GetHostApiInfo(info->hostApi);
        m_outputEntries.append(QString::fromUtf8(api != nullptr ? api->name : nullptr)
                               + kEntrySeparator + QString::fromUtf8(info->name));
        m_outputChannels.append(QString::number(info->maxOutputChannels));
        m_outputRates.append(info->defaultSampleRate);
    }

    Pa_Terminate();

    emit toDevList(m_inputEntries, m_outputEntries, m_inputChannels, m_outputChannels, m_inputRates,
                   m_outputRates);
    emit toInOutDev(m_duplexNames);
}
