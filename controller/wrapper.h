// The controller between the QML pages and the rest of the program: the properties the pages
// bind to, device and rate selection, stream control, settings, the NDI configuration file
// and the version texts.
//
// Owns the device scanner, the NDI discovery thread, the three stream workers with the
// control that starts and stops each (StreamControl), and the two level pollers, all created
// in the constructor. Lives in the GUI thread; every property,
// slot and invokable runs there. Other threads reach it only through queued signals (level
// values, NDI source lists), and the chosen NDI source index leaves it the same way.
#pragma once

#include "FiguresLog.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

class ScanDevice;
class NDIScan;
class InPutProcess;
class OutPutProcess;
class InOut;
class ReadBufferData;
class ReadInBuffData;
class StreamControl;
class DeviceLossWatch;
class QTimer;

class Wrapper : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isMacOS READ isMacOS WRITE setIsMacOS NOTIFY isMacOSChanged)
    Q_PROPERTY(
        QStringList outPutDevice READ outPutDevice WRITE setOutPutDevice NOTIFY outPutDeviceChanged)
    Q_PROPERTY(
        QStringList inPutDevice READ inPutDevice WRITE setInPutDevice NOTIFY inPutDeviceChanged)
    Q_PROPERTY(QStringList ndiDevice READ ndiDevice WRITE setNdiDevice NOTIFY ndiDeviceChanged)
    Q_PROPERTY(
        QStringList ndiIpDevice READ ndiIpDevice WRITE setNdiIpDevice NOTIFY ndiIpDeviceChanged)
    Q_PROPERTY(unsigned int buffSize READ buffSize WRITE setBuffSize NOTIFY buffSizeChanged)
    Q_PROPERTY(
        unsigned int buffOutSize READ buffOutSize WRITE setBuffOutSize NOTIFY buffOutSizeChanged)
    Q_PROPERTY(unsigned int sampleRate READ sampleRate WRITE setSampleRate NOTIFY sampleRateChanged)
    Q_PROPERTY(unsigned int sampleRateIn READ sampleRateIn WRITE setSampleRateIn NOTIFY
                   sampleRateChangedIn)
    Q_PROPERTY(
        unsigned int numChannels READ numChannels WRITE setNumChannels NOTIFY numChannelsChanged)
    Q_PROPERTY(QString inPutDev READ inPutDev WRITE setInPutDev NOTIFY inPutDevChanged)
    Q_PROPERTY(QString ndiOutSourceName READ ndiOutSourceName WRITE setNdiOutSourceName NOTIFY
                   ndiOutSourceNameChanged)
    Q_PROPERTY(QString ndiOutDuplexSourceName READ ndiOutDuplexSourceName WRITE
                   setNdiOutDuplexSourceName NOTIFY ndiOutDuplexSourceNameChanged)
    Q_PROPERTY(
        QString ndiInSourName READ ndiInSourName WRITE setNdiInSourName NOTIFY ndiInSourNameChanged)
    Q_PROPERTY(unsigned int numOutChannels READ numOutChannels WRITE setNumOutChannels NOTIFY
                   numOutChannelsChanged)
    Q_PROPERTY(bool checkIn READ checkIn WRITE setCheckIn NOTIFY checkInChanged)
    Q_PROPERTY(bool checkOut READ checkOut WRITE setCheckOut NOTIFY checkOutChanged)
    Q_PROPERTY(bool checkInOut READ checkInOut WRITE setCheckInOut NOTIFY checkInOutChanged)
    Q_PROPERTY(QString outPutDev READ outPutDev WRITE setOutPutDev NOTIFY outPutDevChanged)
    Q_PROPERTY(QString ndiDevIp READ ndiDevIp WRITE setNdiDevIp NOTIFY ndiDevIpChanged)
    Q_PROPERTY(double level READ level WRITE setLevel NOTIFY levelChanged)
    Q_PROPERTY(double outLevel READ outLevel WRITE setOutLevel NOTIFY outLevelChanged)
    Q_PROPERTY(QStringList inOutPutDevice READ inOutPutDevice WRITE setInOutPutDevice NOTIFY
                   inOutPutDeviceChanged)
    Q_PROPERTY(QString inOutPutDev READ inOutPutDev WRITE setInOutPutDev NOTIFY inOutPutDevChanged)
    Q_PROPERTY(QString inDuplexCh READ inDuplexCh WRITE setInDuplexCh NOTIFY inDuplexChChanged)
    Q_PROPERTY(QString outDuplexCh READ outDuplexCh WRITE setOutDuplexCh NOTIFY outDuplexChChanged)
    Q_PROPERTY(QString inDuplexSampleRate READ inDuplexSampleRate WRITE setInDuplexSampleRate NOTIFY
                   inDuplexSampleRateChanged)
    Q_PROPERTY(QString outDuplexSampleRate READ outDuplexSampleRate WRITE setOutDuplexSampleRate
                   NOTIFY outDuplexSampleRateChanged)
    Q_PROPERTY(int rates READ rates WRITE setRates NOTIFY ratesChanged)
    Q_PROPERTY(int ratesOut READ ratesOut WRITE setRatesOut NOTIFY ratesOutChanged)
    Q_PROPERTY(int rateDuplex READ rateDuplex WRITE setRateDuplex NOTIFY rateDuplexChanged)
    Q_PROPERTY(unsigned int buffDuplexSize READ buffDuplexSize WRITE setBuffDuplexSize NOTIFY
                   buffDuplexSizeChanged)
    Q_PROPERTY(QString ndiInSourNameDuplex READ ndiInSourNameDuplex WRITE setNdiInSourNameDuplex
                   NOTIFY ndiInSourNameDuplexChanged)
    Q_PROPERTY(QString inPutDevFullString READ inPutDevFullString WRITE setInPutDevFullString NOTIFY
                   inPutDevFullStringChanged)
    Q_PROPERTY(QString outPutDevFullString READ outPutDevFullString WRITE setOutPutDevFullString
                   NOTIFY outPutDevFullStringChanged)
    Q_PROPERTY(QString version READ version WRITE setVersion NOTIFY versionChanged)
    Q_PROPERTY(int xWPos READ xWPos WRITE setXWPos NOTIFY xWPosChanged)
    Q_PROPERTY(int yWPos READ yWPos WRITE setYWPos NOTIFY yWPosChanged)
    Q_PROPERTY(QStringList defaultSampleRates READ defaultSampleRates WRITE setDefaultSampleRates
                   NOTIFY defaultSampleRatesChanged)
    Q_PROPERTY(QStringList defaultSampleRatesIn READ defaultSampleRatesIn WRITE
                   setDefaultSampleRatesIn NOTIFY defaultSampleRatesInChanged)
    Q_PROPERTY(QStringList defaultSampleRatesDuplex READ defaultSampleRatesDuplex WRITE
                   setDefaultSampleRatesDuplex NOTIFY defaultSampleRatesDuplexChanged)
    // The NDI runtime's whole version text, with " (built-in)" for Veltrin's own; and whether
    // it is Veltrin's own. Both set at construction, like version.
    Q_PROPERTY(QString runtimeText READ runtimeText WRITE setRuntimeText NOTIFY runtimeTextChanged)
    Q_PROPERTY(bool ndiBuiltIn READ ndiBuiltIn WRITE setNdiBuiltIn NOTIFY ndiBuiltInChanged)
    // Read-only: empty while each stream's device is there, what the page shows while it is away.
    Q_PROPERTY(QString inDeviceState READ inDeviceState NOTIFY inDeviceStateChanged)
    Q_PROPERTY(QString outDeviceState READ outDeviceState NOTIFY outDeviceStateChanged)
    Q_PROPERTY(QString duplexDeviceState READ duplexDeviceState NOTIFY duplexDeviceStateChanged)

public:
    explicit Wrapper(QObject *parent = nullptr);
    ~Wrapper() override;

    bool isMacOS() const { return m_isMacOS; }
    void setIsMacOS(bool isMacOS);
    QStringList outPutDevice() const { return m_outPutDevice; }
    void setOutPutDevice(QStringList list);
    QStringList inPutDevice() const { return m_inPutDevice; }
    void setInPutDevice(QStringList list);
    QStringList ndiDevice() const { return m_ndiDevice; }
    QStringList ndiIpDevice() const { return m_ndiIpDevice; }
    unsigned int buffSize() const { return m_buffSize; }
    void setBuffSize(unsigned int frames);
    unsigned int buffOutSize() const { return m_buffOutSize; }
    void setBuffOutSize(unsigned int frames);
    unsigned int sampleRate() const { return m_sampleRate; }
    // The index setters take a position in the one-way lists and read back a count or a rate;
    // a position off the list leaves the value as it was.
    void setSampleRate(unsigned int index);
    unsigned int sampleRateIn() const { return m_sampleRateIn; }
    void setSampleRateIn(unsigned int index);
    unsigned int numChannels() const { return m_numChannels; }
    void setNumChannels(unsigned int index);
    QString inPutDev() const { return m_inPutDev; }
    void setInPutDev(QString entry);
    QString ndiOutSourceName() const { return m_ndiOutSourceName; }
    void setNdiOutSourceName(QString name);
    QString ndiOutDuplexSourceName() const { return m_ndiOutDuplexSourceName; }
    void setNdiOutDuplexSourceName(QString name);
    QString ndiInSourName() const { return m_ndiInSourName; }
    void setNdiInSourName(QString name);
    unsigned int numOutChannels() const { return m_numOutChannels; }
    void setNumOutChannels(unsigned int index);
    bool checkIn() const { return m_checkIn; }
    void setCheckIn(bool on);
    bool checkOut() const { return m_checkOut; }
    void setCheckOut(bool on);
    bool checkInOut() const { return m_checkInOut; }
    void setCheckInOut(bool on);
    QString outPutDev() const { return m_outPutDev; }
    void setOutPutDev(QString entry);
    QString ndiDevIp() const { return m_ndiDevIp; }
    void setNdiDevIp(QString index);
    double level() const { return m_level; }
    void setLevel(double level);
    double outLevel() const { return m_outLevel; }
    void setOutLevel(const double &level);
    QStringList inOutPutDevice() const { return m_inOutPutDevice; }
    void setInOutPutDevice(QStringList list);
    QString inOutPutDev() const { return m_inOutPutDev; }
    void setInOutPutDev(QString name);
    QString inDuplexCh() const { return m_inDuplexCh; }
    void setInDuplexCh(const QString &channels);
    QString outDuplexCh() const { return m_outDuplexCh; }
    void setOutDuplexCh(const QString &channels);
    QString inDuplexSampleRate() const { return m_inDuplexSampleRate; }
    void setInDuplexSampleRate(const QString &rate);
    QString outDuplexSampleRate() const { return m_outDuplexSampleRate; }
    void setOutDuplexSampleRate(const QString &rate);
    int rates() const { return m_rates; }
    void setRates(int rate);
    int ratesOut() const { return m_ratesOut; }
    void setRatesOut(int rate);
    int rateDuplex() const { return m_rateDuplex; }
    void setRateDuplex(int rate);
    unsigned int buffDuplexSize() const { return m_buffDuplexSize; }
    void setBuffDuplexSize(unsigned int frames);
    QString ndiInSourNameDuplex() const { return m_ndiInSourNameDuplex; }
    void setNdiInSourNameDuplex(QString name);
    QString inPutDevFullString() const { return m_inPutDevFullString; }
    void setInPutDevFullString(QString entry);
    QString outPutDevFullString() const { return m_outPutDevFullString; }
    void setOutPutDevFullString(QString entry);
    QString version() const { return m_version; }
    void setVersion(QString version);
    QString runtimeText() const { return m_runtimeText; }
    void setRuntimeText(QString text);
    bool ndiBuiltIn() const { return m_ndiBuiltIn; }
    void setNdiBuiltIn(bool builtIn);
    int xWPos() const { return m_xWPos; }
    void setXWPos(int x);
    int yWPos() const { return m_yWPos; }
    void setYWPos(int y);
    QStringList defaultSampleRates() const { return m_defaultSampleRates; }
    void setDefaultSampleRates(QStringList rates);
    QStringList defaultSampleRatesIn() const { return m_defaultSampleRatesIn; }
    void setDefaultSampleRatesIn(QStringList rates);
    QStringList defaultSampleRatesDuplex() const { return m_defaultSampleRatesDuplex; }
    void setDefaultSampleRatesDuplex(QStringList rates);

    // Writes ~/.ndi/ndi-config.v1.json with the fixed network settings; silent on failure.
    void setUpLinuxNdiConfig();

    Q_INVOKABLE void init();
    Q_INVOKABLE void stopThreads();
    Q_INVOKABLE void startInThread();
    Q_INVOKABLE void startOutThread();
    Q_INVOKABLE void stopInThread();
    Q_INVOKABLE void stopInOutThread();
    Q_INVOKABLE void startInOutThread();
    Q_INVOKABLE void stopOutThread();
    Q_INVOKABLE QString engVersion();
    Q_INVOKABLE QString dllVersion();
    Q_INVOKABLE void duplexChannelsSamplerate();
    // Tries the nine standard rates on `device` with all its channels; type 0 fills
    // defaultSampleRates, 1 defaultSampleRatesIn, 2 defaultSampleRatesDuplex.
    Q_INVOKABLE void testSampleRate(QString device, int type);

    QString inDeviceState() const;
    QString outDeviceState() const;
    QString duplexDeviceState() const;

signals:
    void inDeviceStateChanged();
    void outDeviceStateChanged();
    void duplexDeviceStateChanged();
    void isMacOSChanged();
    void outPutDeviceChanged();
    void inPutDeviceChanged();
    void ndiDeviceChanged();
    void buffSizeChanged();
    void sampleRateChanged();
    void numChannelsChanged();
    void inPutDevChanged();
    void ndiOutSourceNameChanged();
    void numOutChannelsChanged();
    void checkInChanged();
    void checkOutChanged();
    void outPutDevChanged();
    void sampleRateChangedIn();
    void ndiInSourNameChanged();
    void ndiDevIpChanged();
    void ndiIpDeviceChanged();
    void levelChanged();
    void outLevelChanged();
    void inOutPutDeviceChanged();
    void inOutPutDevChanged();
    void ndiCurrentdevIndex(int const &index);
    void inDuplexChChanged();
    void outDuplexChChanged();
    void inDuplexSampleRateChanged();
    void outDuplexSampleRateChanged();
    void ratesChanged();
    void buffOutSizeChanged();
    void ratesOutChanged();
    void buffDuplexSizeChanged();
    void ndiOutDuplexSourceNameChanged();
    void rateDuplexChanged();
    void ndiInSourNameDuplexChanged();
    void inPutDevFullStringChanged();
    void outPutDevFullStringChanged();
    void checkInOutChanged();
    void versionChanged();
    void runtimeTextChanged();
    void ndiBuiltInChanged();
    void xWPosChanged();
    void yWPosChanged();
    void defaultSampleRatesChanged();
    void defaultSampleRatesInChanged();
    void defaultSampleRatesDuplexChanged();

public slots:
    void setNdiDevice(QStringList dvc);
    void setNdiIpDevice(QStringList dvc);
    void writeSettings();
    void readSettings();
    void devLists(const QStringList &in, const QStringList &out, const QStringList &chin,
                  const QStringList &chout, const QList<double> &inSampleRate,
                  const QList<double> &outSampleRate);
    void inOutDev(const QStringList &list);
    // Logs the running streams' figures when FiguresLog says so; a timer calls it each second.
    void logFigures();

private:
    // Fills version, runtimeText and ndiBuiltIn from the runtime in use and logs its text.
    void readRuntime();

    std::unique_ptr<ScanDevice> m_scanDevice;
    ReadBufferData *m_readBufferData = nullptr; // Qt child
    ReadInBuffData *m_readInBuffData = nullptr; // Qt child
    QStringList m_inOutPutDevice;
    bool m_isMacOS = false;
    QStringList m_outPutDevice;
    QStringList m_chin;
    QStringList m_chout;
    QStringList m_inPutDevice;
    QStringList m_ndiDevice;
    QStringList m_ndiIpDevice;
    QString m_inOutPutDev;
    QString m_ndiDevIp;
    QString m_inPutDev;
    QString m_inPutDevFullString;
    QString m_outPutDevFullString;
    QString m_outPutDev;
    QString m_ndiOutSourceName;
    QString m_ndiOutDuplexSourceName;
    QString m_ndiInSourName;
    QString m_ndiInSourNameDuplex;
    QList<double> m_inSampleRate;
    QList<double> m_outSampleRate;
    QString m_inDuplexCh;
    QString m_outDuplexCh;
    QString m_inDuplexSampleRate;
    QString m_outDuplexSampleRate;
    QString m_version;
    QString m_runtimeText;
    bool m_ndiBuiltIn = false;
    FiguresLog m_figuresLog;
    QElapsedTimer m_clock; // the figures log's time
    QStringList m_defaultSampleRates;
    QStringList m_defaultSampleRatesIn;
    QStringList m_defaultSampleRatesDuplex;
    int m_xWPos = 0;
    int m_yWPos = 0;
    int m_rates = 0;
    int m_ratesOut = 0;
    int m_rateDuplex = 0;
    unsigned int m_buffSize = 0;
    unsigned int m_buffOutSize = 0;
    unsigned int m_buffDuplexSize = 0;
    unsigned int m_sampleRate = 0;
    unsigned int m_sampleRateIn = 0;
    unsigned int m_numChannels = 0;
    unsigned int m_numOutChannels = 0;
    bool m_checkIn = false;
    bool m_checkOut = false;
    bool m_checkInOut = false;
    // The meters read this only after levelChanged; -3 is what a stopped poller reports.
    double m_level = -3.0;
    double m_outLevel = 0.0;
    std::unique_ptr<NDIScan> m_ndiScan;
    std::unique_ptr<InPutProcess> m_inPutProcess;
    std::unique_ptr<OutPutProcess> m_outPutProcess;
    InOut *m_inOut = nullptr; // Qt child, deleted explicitly at teardown
    // Start and stop of each stream's worker (Qt children).
    StreamControl *m_inControl = nullptr;
    StreamControl *m_outControl = nullptr;
    StreamControl *m_inOutControl = nullptr;
    // The streams' device states, polled on the GUI thread (wrapper_streams.cpp).
    std::unique_ptr<DeviceLossWatch> m_inLoss, m_outLoss, m_duplexLoss;
    QTimer *m_lossTimer = nullptr;
    void pollDeviceLoss();
};
