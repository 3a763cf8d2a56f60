#include "ScanDevice.h"

#include "PortAudioSession.h"

#include <QDebug>

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

    std::vector<veltrin::audio::Device> devices;
    {
        veltrin::audio::PortAudioSession portAudio;
        if (!portAudio.ok())
            qWarning("ERROR : Unable to initialize audio devices.\n");
        const PaDeviceIndex count = portAudio.deviceCount();
        if (count < 0)
            qWarning("ERROR : Unable to get audio devices.\n");
        qWarning() << "Aqui " << count;
        devices = portAudio.devices();
    }

    // Capture side: names decoded from the local 8-bit encoding.
    for (const veltrin::audio::Device &device : devices) {
        if (device.inputs <= 0)
            continue;
        const QString name = QString::fromLocal8Bit(device.name.c_str());
        m_inputEntries.append(QString::fromLocal8Bit(device.hostApi.c_str()) + kEntrySeparator
                              + name);
        m_inputChannels.append(QString::number(device.inputs));
        m_inputRates.append(device.defaultRate);
        if (device.outputs != 0)
            m_duplexNames.append(name);
    }

    // Playback side: names decoded as UTF-8.
    for (const veltrin::audio::Device &device : devices) {
        if (device.outputs <= 0)
            continue;
        m_outputEntries.append(QString::fromUtf8(device.hostApi.c_str()) + kEntrySeparator
                               + QString::fromUtf8(device.name.c_str()));
        m_outputChannels.append(QString::number(device.outputs));
        m_outputRates.append(device.defaultRate);
    }

    emit toDevList(m_inputEntries, m_outputEntries, m_inputChannels, m_outputChannels, m_inputRates,
                   m_outputRates);
    emit toInOutDev(m_duplexNames);
}

ScannedDevices collectScan(ScanDevice &scanner)
{
    ScannedDevices d;
    const auto lists =
        QObject::connect(&scanner, &ScanDevice::toDevList,
                         [&d](const QStringList &in, const QStringList &out,
                              const QStringList &chin, const QStringList &chout,
                              const QList<double> &inRates, const QList<double> &outRates) {
                             d.inputs = in;
                             d.outputs = out;
                             d.inputChannels = chin;
                             d.outputChannels = chout;
                             d.inputRates = inRates;
                             d.outputRates = outRates;
                         });
    const auto duplex = QObject::connect(&scanner, &ScanDevice::toInOutDev,
                                         [&d](const QStringList &inOut) { d.duplex = inOut; });
    scanner.scan();
    QObject::disconnect(lists);
    QObject::disconnect(duplex);
    return d;
}
