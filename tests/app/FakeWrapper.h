// Test stand-in for the controller: the same property, signal and invokable names as the
// real Wrapper, registered under the same QML module, with no audio behind it. It stores what
// the pages write (emitting change signals where the real controller does) and keeps a journal
// of every write and call in order, as "name=value" and "name()".
//
// Thread: GUI thread only.
#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantMap>

class FakeWrapper : public QObject
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

public:
    explicit FakeWrapper(QObject *parent = nullptr);
    ~FakeWrapper() override;

    // Values a newly created instance starts with, by property name: stands in for the stored
    // settings and the device scan of the real controller.
    static void setPreset(const QVariantMap &values);
    // The instance the scene created last, or null once it is gone.
    static FakeWrapper *current();

    QStringList journal() const { return m_journal; }
    void clearJournal() { m_journal.clear(); }

    bool isMacOS() const { return m_isMacOS; }
    void setIsMacOS(bool value);
    QStringList outPutDevice() const { return m_outPutDevice; }
    void setOutPutDevice(const QStringList &value);
    QStringList inPutDevice() const { return m_inPutDevice; }
    void setInPutDevice(const QStringList &value);
    QStringList ndiDevice() const { return m_ndiDevice; }
    void setNdiDevice(const QStringList &value);
    QStringList ndiIpDevice() const { return m_ndiIpDevice; }
    void setNdiIpDevice(const QStringList &value);
    unsigned int buffSize() const { return m_buffSize; }
    void setBuffSize(unsigned int value);
    unsigned int buffOutSize() const { return m_buffOutSize; }
    void setBuffOutSize(unsigned int value);
    unsigned int sampleRate() const { return m_sampleRate; }
    void setSampleRate(unsigned int value);
    unsigned int sampleRateIn() const { return m_sampleRateIn; }
    void setSampleRateIn(unsigned int value);
    unsigned int numChannels() const { return m_numChannels; }
    void setNumChannels(unsigned int value);
    QString inPutDev() const { return m_inPutDev; }
    void setInPutDev(const QString &value);
    QString ndiOutSourceName() const { return m_ndiOutSourceName; }
    void setNdiOutSourceName(const QString &value);
    QString ndiOutDuplexSourceName() const { return m_ndiOutDuplexSourceName; }
    void setNdiOutDuplexSourceName(const QString &value);
    QString ndiInSourName() const { return m_ndiInSourName; }
    void setNdiInSourName(const QString &value);
    unsigned int numOutChannels() const { return m_numOutChannels; }
    void setNumOutChannels(unsigned int value);
    bool checkIn() const { return m_checkIn; }
    void setCheckIn(bool value);
    bool checkOut() const { return m_checkOut; }
    void setCheckOut(bool value);
    bool checkInOut() const { return m_checkInOut; }
    void setCheckInOut(bool value);
    QString outPutDev() const { return m_outPutDev; }
    void setOutPutDev(const QString &value);
    QString ndiDevIp() const { return m_ndiDevIp; }
    void setNdiDevIp(const QString &value);
    double level() const { return m_level; }
    void setLevel(double value);
    double outLevel() const { return m_outLevel; }
    void setOutLevel(double value);
    QStringList inOutPutDevice() const { return m_inOutPutDevice; }
    void setInOutPutDevice(const QStringList &value);
    QString inOutPutDev() const { return m_inOutPutDev; }
    void setInOutPutDev(const QString &value);
    QString inDuplexCh() const { return m_inDuplexCh; }
    void setInDuplexCh(const QString &value);
    QString outDuplexCh() const { return m_outDuplexCh; }
    void setOutDuplexCh(const QString &value);
    QString inDuplexSampleRate() const { return m_inDuplexSampleRate; }
    void setInDuplexSampleRate(const QString &value);
    QString outDuplexSampleRate() const { return m_outDuplexSampleRate; }
    void setOutDuplexSampleRate(const QString &value);
    int rates() const { return m_rates; }
    void setRates(int value);
    int ratesOut() const { return m_ratesOut; }
    void setRatesOut(int value);
    int rateDuplex() const { return m_rateDuplex; }
    void setRateDuplex(int value);
    unsigned int buffDuplexSize() const { return m_buffDuplexSize; }
    void setBuffDuplexSize(unsigned int value);
    QString ndiInSourNameDuplex() const { return m_ndiInSourNameDuplex; }
    void setNdiInSourNameDuplex(const QString &value);
    QString inPutDevFullString() const { return m_inPutDevFullString; }
    void setInPutDevFullString(const QString &value);
    QString outPutDevFullString() const { return m_outPutDevFullString; }
    void setOutPutDevFullString(const QString &value);
    QString version() const { return m_version; }
    void setVersion(const QString &value);
    int xWPos() const { return m_xWPos; }
    void setXWPos(int value);
    int yWPos() const { return m_yWPos; }
    void setYWPos(int value);
    QStringList defaultSampleRates() const { return m_defaultSampleRates; }
    void setDefaultSampleRates(const QStringList &value);
    QStringList defaultSampleRatesIn() const { return m_defaultSampleRatesIn; }
    void setDefaultSampleRatesIn(const QStringList &value);
    QStringList defaultSampleRatesDuplex() const { return m_defaultSampleRatesDuplex; }
    void setDefaultSampleRatesDuplex(const QStringList &value);

    Q_INVOKABLE void init() { record(QStringLiteral("init()")); }
    Q_INVOKABLE void stopThreads() { record(QStringLiteral("stopThreads()")); }
    Q_INVOKABLE void startInThread() { record(QStringLiteral("startInThread()")); }
    Q_INVOKABLE void startOutThread() { record(QStringLiteral("startOutThread()")); }
    Q_INVOKABLE void stopInThread() { record(QStringLiteral("stopInThread()")); }
    Q_INVOKABLE void stopInOutThread() { record(QStringLiteral("stopInOutThread()")); }
    Q_INVOKABLE void startInOutThread() { record(QStringLiteral("startInOutThread()")); }
    Q_INVOKABLE void stopOutThread() { record(QStringLiteral("stopOutThread()")); }
    Q_INVOKABLE QString engVersion() { return QStringLiteral("1.2.5"); }
    Q_INVOKABLE QString dllVersion() { return QStringLiteral("2.1.3"); }
    Q_INVOKABLE void duplexChannelsSamplerate();
    Q_INVOKABLE void testSampleRate(QString device, int type);

signals:
    void isMacOSChanged();
    void outPutDeviceChanged();
    void inPutDeviceChanged();
    void ndiDeviceChanged();
    void ndiIpDeviceChanged();
    void buffSizeChanged();
    void buffOutSizeChanged();
    void sampleRateChanged();
    void sampleRateChangedIn();
    void numChannelsChanged();
    void inPutDevChanged();
    void ndiOutSourceNameChanged();
    void ndiOutDuplexSourceNameChanged();
    void ndiInSourNameChanged();
    void numOutChannelsChanged();
    void checkInChanged();
    void checkOutChanged();
    void checkInOutChanged();
    void outPutDevChanged();
    void ndiDevIpChanged();
    void levelChanged();
    void outLevelChanged();
    void inOutPutDeviceChanged();
    void inOutPutDevChanged();
    void inDuplexChChanged();
    void outDuplexChChanged();
    void inDuplexSampleRateChanged();
    void outDuplexSampleRateChanged();
    void ratesChanged();
    void ratesOutChanged();
    void rateDuplexChanged();
    void buffDuplexSizeChanged();
    void ndiInSourNameDuplexChanged();
    void inPutDevFullStringChanged();
    void outPutDevFullStringChanged();
    void versionChanged();
    void xWPosChanged();
    void yWPosChanged();
    void defaultSampleRatesChanged();
    void defaultSampleRatesInChanged();
    void defaultSampleRatesDuplexChanged();
    void ndiCurrentdevIndex(const int &index);

private:
    void record(const QString &entry) { m_journal.append(entry); }
    void applyPreset();

    QStringList m_journal;
    bool m_isMacOS = false;
    QStringList m_outPutDevice;
    QStringList m_inPutDevice;
    QStringList m_ndiDevice;
    QStringList m_ndiIpDevice;
    unsigned int m_buffSize = 0;
    unsigned int m_buffOutSize = 0;
    unsigned int m_sampleRate = 0;
    unsigned int m_sampleRateIn = 0;
    unsigned int m_numChannels = 0;
    QString m_inPutDev;
    QString m_ndiOutSourceName;
    QString m_ndiOutDuplexSourceName;
    QString m_ndiInSourName;
    unsigned int m_numOutChannels = 0;
    bool m_checkIn = false;
    bool m_checkOut = false;
    bool m_checkInOut = false;
    QString m_outPutDev;
    QString m_ndiDevIp;
    double m_level = 0.0;
    double m_outLevel = 0.0;
    QStringList m_inOutPutDevice;
    QString m_inOutPutDev;
    QString m_inDuplexCh;
    QString m_outDuplexCh;
    QString m_inDuplexSampleRate;
    QString m_outDuplexSampleRate;
    int m_rates = 0;
    int m_ratesOut = 0;
    int m_rateDuplex = 0;
    unsigned int m_buffDuplexSize = 0;
    QString m_ndiInSourNameDuplex;
    QString m_inPutDevFullString;
    QString m_outPutDevFullString;
    QString m_version;
    int m_xWPos = 0;
    int m_yWPos = 0;
    QStringList m_defaultSampleRates;
    QStringList m_defaultSampleRatesIn;
    QStringList m_defaultSampleRatesDuplex;
};
