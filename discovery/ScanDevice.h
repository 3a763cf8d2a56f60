// Lists the local audio devices once: entry texts, channel counts and default rates for the
// capture side and the playback side, and the names of the devices that do both.
//
// Owns the lists of the last scan. Lives in and is called from the GUI thread; the scan reads
// the listing of a PortAudio session (audio/) that ends before the lists are emitted.
#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

class ScanDevice : public QObject
{
    Q_OBJECT

public:
    // Separates the host API name from the device name in an entry text.
    static constexpr const char *kEntrySeparator = "  ";

    ScanDevice();

    // Enumerates the devices, then emits toDevList and toInOutDev, in that order, also when
    // PortAudio fails (with empty lists).
    void scan();

signals:
    void toDevList(QStringList const &in, QStringList const &out, QStringList const &chin,
                   QStringList const &chout, QList<double> const &inSampleRate,
                   QList<double> const &outSampleRate);
    void toInOutDev(QStringList const &inOut);

private:
    QStringList m_outputEntries;
    QStringList m_inputEntries;
    QStringList m_duplexNames;
    QStringList m_inputChannels;
    QStringList m_outputChannels;
    QList<double> m_outputRates;
    QList<double> m_inputRates;
};

// What one scan's two signals carry.
struct ScannedDevices {
    QStringList inputs, outputs, inputChannels, outputChannels, duplex;
    QList<double> inputRates, outputRates;
};

// Runs `scanner`'s scan to its end on this thread and returns the lists its signals carried;
// whatever else is connected to them still gets them.
ScannedDevices collectScan(ScanDevice &scanner);
