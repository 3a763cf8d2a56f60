#include "FakeWrapper.h"

#include <QPointer>
#include <QVariant>

namespace {

QVariantMap &preset()
{
    static QVariantMap values;
    return values;
}

QPointer<FakeWrapper> &latest()
{
    static QPointer<FakeWrapper> instance;
    return instance;
}

QString text(const QStringList &list)
{
    return QLatin1Char('[') + list.join(QLatin1Char(',')) + QLatin1Char(']');
}
QString text(const QString &value)
{
    return value;
}
QString text(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
QString text(int value)
{
    return QString::number(value);
}
QString text(unsigned int value)
{
    return QString::number(value);
}
QString text(double value)
{
    return QString::number(value);
}

} // namespace

FakeWrapper::FakeWrapper(QObject *parent) : QObject(parent)
{
    applyPreset();
    latest() = this;
}

FakeWrapper::~FakeWrapper() = default;

void FakeWrapper::setPreset(const QVariantMap &values)
{
    preset() = values;
}

FakeWrapper *FakeWrapper::current()
{
    return latest().data();
}

void FakeWrapper::applyPreset()
{
    const QVariantMap &values = preset();
    if (values.contains(QStringLiteral("isMacOS")))
        m_isMacOS = values.value(QStringLiteral("isMacOS")).toBool();
    if (values.contains(QStringLiteral("outPutDevice")))
        m_outPutDevice = values.value(QStringLiteral("outPutDevice")).toStringList();
    if (values.contains(QStringLiteral("inPutDevice")))
        m_inPutDevice = values.value(QStringLiteral("inPutDevice")).toStringList();
    if (values.contains(QStringLiteral("ndiDevice")))
        m_ndiDevice = values.value(QStringLiteral("ndiDevice")).toStringList();
    if (values.contains(QStringLiteral("ndiIpDevice")))
        m_ndiIpDevice = values.value(QStringLiteral("ndiIpDevice")).toStringList();
    if (values.contains(QStringLiteral("buffSize")))
        m_buffSize = values.value(QStringLiteral("buffSize")).toUInt();
    if (values.contains(QStringLiteral("buffOutSize")))
        m_buffOutSize = values.value(QStringLiteral("buffOutSize")).toUInt();
    if (values.contains(QStringLiteral("sampleRate")))
        m_sampleRate = values.value(QStringLiteral("sampleRate")).toUInt();
    if (values.contains(QStringLiteral("sampleRateIn")))
        m_sampleRateIn = values.value(QStringLiteral("sampleRateIn")).toUInt();
    if (values.contains(QStringLiteral("numChannels")))
        m_numChannels = values.value(QStringLiteral("numChannels")).toUInt();
    if (values.contains(QStringLiteral("inPutDev")))
        m_inPutDev = values.value(QStringLiteral("inPutDev")).toString();
    if (values.contains(QStringLiteral("ndiOutSourceName")))
        m_ndiOutSourceName = values.value(QStringLiteral("ndiOutSourceName")).toString();
    if (values.contains(QStringLiteral("ndiOutDuplexSourceName")))
        m_ndiOutDuplexSourceName =
            values.value(QStringLiteral("ndiOutDuplexSourceName")).toString();
    if (values.contains(QStringLiteral("ndiInSourName")))
        m_ndiInSourName = values.value(QStringLiteral("ndiInSourName")).toString();
    if (values.contains(QStringLiteral("numOutChannels")))
        m_numOutChannels = values.value(QStringLiteral("numOutChannels")).toUInt();
    if (values.contains(QStringLiteral("checkIn")))
        m_checkIn = values.value(QStringLiteral("checkIn")).toBool();
    if (values.contains(QStringLiteral("checkOut")))
        m_checkOut = values.value(QStringLiteral("checkOut")).toBool();
    if (values.contains(QStringLiteral("checkInOut")))
        m_checkInOut = values.value(QStringLiteral("checkInOut")).toBool();
    if (values.contains(QStringLiteral("outPutDev")))
        m_outPutDev = values.value(QStringLiteral("outPutDev")).toString();
    if (values.contains(QStringLiteral("ndiDevIp")))
        m_ndiDevIp = values.value(QStringLiteral("ndiDevIp")).toString();
    if (values.contains(QStringLiteral("level")))
        m_level = values.value(QStringLiteral("level")).toDouble();
    if (values.contains(QStringLiteral("outLevel")))
        m_outLevel = values.value(QStringLiteral("outLevel")).toDouble();
    if (values.contains(QStringLiteral("inOutPutDevice")))
        m_inOutPutDevice = values.value(QStringLiteral("inOutPutDevice")).toStringList();
    if (values.contains(QStringLiteral("inOutPutDev")))
        m_inOutPutDev = values.value(QStringLiteral("inOutPutDev")).toString();
    if (values.contains(QStringLiteral("inDuplexCh")))
        m_inDuplexCh = values.value(QStringLiteral("inDuplexCh")).toString();
    if (values.contains(QStringLiteral("outDuplexCh")))
        m_outDuplexCh = values.value(QStringLiteral("outDuplexCh")).toString();
    if (values.contains(QStringLiteral("inDuplexSampleRate")))
        m_inDuplexSampleRate = values.value(QStringLiteral("inDuplexSampleRate")).toString();
    if (values.contains(QStringLiteral("outDuplexSampleRate")))
        m_outDuplexSampleRate = values.value(QStringLiteral("outDuplexSampleRate")).toString();
    if (values.contains(QStringLiteral("rates")))
        m_rates = values.value(QStringLiteral("rates")).toInt();
    if (values.contains(QStringLiteral("ratesOut")))
        m_ratesOut = values.value(QStringLiteral("ratesOut")).toInt();
    if (values.contains(QStringLiteral("rateDuplex")))
        m_rateDuplex = values.value(QStringLiteral("rateDuplex")).toInt();
    if (values.contains(QStringLiteral("buffDuplexSize")))
        m_buffDuplexSize = values.value(QStringLiteral("buffDuplexSize")).toUInt();
    if (values.contains(QStringLiteral("ndiInSourNameDuplex")))
        m_ndiInSourNameDuplex = values.value(QStringLiteral("ndiInSourNameDuplex")).toString();
    if (values.contains(QStringLiteral("inPutDevFullString")))
        m_inPutDevFullString = values.value(QStringLiteral("inPutDevFullString")).toString();
    if (values.contains(QStringLiteral("outPutDevFullString")))
        m_outPutDevFullString = values.value(QStringLiteral("outPutDevFullString")).toString();
    if (values.contains(QStringLiteral("version")))
        m_version = values.value(QStringLiteral("version")).toString();
    if (values.contains(QStringLiteral("xWPos")))
        m_xWPos = values.value(QStringLiteral("xWPos")).toInt();
    if (values.contains(QStringLiteral("yWPos")))
        m_yWPos = values.value(QStringLiteral("yWPos")).toInt();
    if (values.contains(QStringLiteral("defaultSampleRates")))
        m_defaultSampleRates = values.value(QStringLiteral("defaultSampleRates")).toStringList();
    if (values.contains(QStringLiteral("defaultSampleRatesIn")))
        m_defaultSampleRatesIn =
            values.value(QStringLiteral("defaultSampleRatesIn")).toStringList();
    if (values.contains(QStringLiteral("defaultSampleRatesDuplex")))
        m_defaultSampleRatesDuplex =
            values.value(QStringLiteral("defaultSampleRatesDuplex")).toStringList();
}

void FakeWrapper::setIsMacOS(bool value)
{
    record(QStringLiteral("isMacOS=") + text(value));
    m_isMacOS = value;
}

void FakeWrapper::setOutPutDevice(const QStringList &value)
{
    record(QStringLiteral("outPutDevice=") + text(value));
    m_outPutDevice = value;
}

void FakeWrapper::setInPutDevice(const QStringList &value)
{
    record(QStringLiteral("inPutDevice=") + text(value));
    m_inPutDevice = value;
}

void FakeWrapper::setNdiDevice(const QStringList &value)
{
    record(QStringLiteral("ndiDevice=") + text(value));
    m_ndiDevice = value;
    emit ndiDeviceChanged();
}

void FakeWrapper::setNdiIpDevice(const QStringList &value)
{
    record(QStringLiteral("ndiIpDevice=") + text(value));
    m_ndiIpDevice = value;
    emit ndiIpDeviceChanged();
}

void FakeWrapper::setBuffSize(unsigned int value)
{
    record(QStringLiteral("buffSize=") + text(value));
    m_buffSize = value;
    emit buffSizeChanged();
}

void FakeWrapper::setBuffOutSize(unsigned int value)
{
    record(QStringLiteral("buffOutSize=") + text(value));
    m_buffOutSize = value;
}

void FakeWrapper::setSampleRate(unsigned int value)
{
    record(QStringLiteral("sampleRate=") + text(value));
    m_sampleRate = value;
    emit sampleRateChanged();
}

void FakeWrapper::setSampleRateIn(unsigned int value)
{
    record(QStringLiteral("sampleRateIn=") + text(value));
    m_sampleRateIn = value;
    emit sampleRateChangedIn();
}

void FakeWrapper::setNumChannels(unsigned int value)
{
    record(QStringLiteral("numChannels=") + text(value));
    // Like the controller, the page writes an index; preset "chin" turns it into a count.
    const QStringList counts = preset().value(QStringLiteral("chin")).toStringList();
    m_numChannels =
        value < static_cast<unsigned>(counts.size()) ? counts.at(int(value)).toUInt() : value;
    emit numChannelsChanged();
}

void FakeWrapper::setInPutDev(const QString &value)
{
    record(QStringLiteral("inPutDev=") + text(value));
    m_inPutDev = value;
}

void FakeWrapper::setNdiOutSourceName(const QString &value)
{
    record(QStringLiteral("ndiOutSourceName=") + text(value));
    m_ndiOutSourceName = value;
}

void FakeWrapper::setNdiOutDuplexSourceName(const QString &value)
{
    record(QStringLiteral("ndiOutDuplexSourceName=") + text(value));
    m_ndiOutDuplexSourceName = value;
}

void FakeWrapper::setNdiInSourName(const QString &value)
{
    record(QStringLiteral("ndiInSourName=") + text(value));
    m_ndiInSourName = value;
}

void FakeWrapper::setNumOutChannels(unsigned int value)
{
    record(QStringLiteral("numOutChannels=") + text(value));
    // Like the controller, the page writes an index; preset "chout" turns it into a count.
    const QStringList counts = preset().value(QStringLiteral("chout")).toStringList();
    m_numOutChannels =
        value < static_cast<unsigned>(counts.size()) ? counts.at(int(value)).toUInt() : value;
    emit numOutChannelsChanged();
}

void FakeWrapper::setCheckIn(bool value)
{
    record(QStringLiteral("checkIn=") + text(value));
    m_checkIn = value;
}

void FakeWrapper::setCheckOut(bool value)
{
    record(QStringLiteral("checkOut=") + text(value));
    m_checkOut = value;
}

void FakeWrapper::setCheckInOut(bool value)
{
    record(QStringLiteral("checkInOut=") + text(value));
    m_checkInOut = value;
}

void FakeWrapper::setOutPutDev(const QString &value)
{
    record(QStringLiteral("outPutDev=") + text(value));
    m_outPutDev = value;
}

void FakeWrapper::setNdiDevIp(const QString &value)
{
    record(QStringLiteral("ndiDevIp=") + text(value));
    m_ndiDevIp = value;
    emit ndiDevIpChanged();
}

void FakeWrapper::setLevel(double value)
{
    record(QStringLiteral("level=") + text(value));
    m_level = value;
    emit levelChanged();
}

void FakeWrapper::setOutLevel(double value)
{
    record(QStringLiteral("outLevel=") + text(value));
    m_outLevel = value;
    emit outLevelChanged();
}

void FakeWrapper::setInOutPutDevice(const QStringList &value)
{
    record(QStringLiteral("inOutPutDevice=") + text(value));
    m_inOutPutDevice = value;
}

void FakeWrapper::setInOutPutDev(const QString &value)
{
    record(QStringLiteral("inOutPutDev=") + text(value));
    m_inOutPutDev = value;
}

void FakeWrapper::setInDuplexCh(const QString &value)
{
    record(QStringLiteral("inDuplexCh=") + text(value));
    m_inDuplexCh = value;
    emit inDuplexChChanged();
}

void FakeWrapper::setOutDuplexCh(const QString &value)
{
    record(QStringLiteral("outDuplexCh=") + text(value));
    m_outDuplexCh = value;
    emit outDuplexChChanged();
}

void FakeWrapper::setInDuplexSampleRate(const QString &value)
{
    record(QStringLiteral("inDuplexSampleRate=") + text(value));
    m_inDuplexSampleRate = value;
    emit inDuplexSampleRateChanged();
}

void FakeWrapper::setOutDuplexSampleRate(const QString &value)
{
    record(QStringLiteral("outDuplexSampleRate=") + text(value));
    m_outDuplexSampleRate = value;
    emit outDuplexSampleRateChanged();
}

void FakeWrapper::setRates(int value)
{
    record(QStringLiteral("rates=") + text(value));
    m_rates = value;
    emit ratesChanged();
}

void FakeWrapper::setRatesOut(int value)
{
    record(QStringLiteral("ratesOut=") + text(value));
    m_ratesOut = value;
}

void FakeWrapper::setRateDuplex(int value)
{
    record(QStringLiteral("rateDuplex=") + text(value));
    m_rateDuplex = value;
}

void FakeWrapper::setBuffDuplexSize(unsigned int value)
{
    record(QStringLiteral("buffDuplexSize=") + text(value));
    m_buffDuplexSize = value;
}

void FakeWrapper::setNdiInSourNameDuplex(const QString &value)
{
    record(QStringLiteral("ndiInSourNameDuplex=") + text(value));
    m_ndiInSourNameDuplex = value;
}

void FakeWrapper::setInPutDevFullString(const QString &value)
{
    record(QStringLiteral("inPutDevFullString=") + text(value));
    m_inPutDevFullString = value;
}

void FakeWrapper::setOutPutDevFullString(const QString &value)
{
    record(QStringLiteral("outPutDevFullString=") + text(value));
    m_outPutDevFullString = value;
}

void FakeWrapper::setVersion(const QString &value)
{
    record(QStringLiteral("version=") + text(value));
    m_version = value;
    emit versionChanged();
}

void FakeWrapper::setXWPos(int value)
{
    record(QStringLiteral("xWPos=") + text(value));
    m_xWPos = value;
    emit xWPosChanged();
}

void FakeWrapper::setYWPos(int value)
{
    record(QStringLiteral("yWPos=") + text(value));
    m_yWPos = value;
    emit yWPosChanged();
}

void FakeWrapper::setDefaultSampleRates(const QStringList &value)
{
    record(QStringLiteral("defaultSampleRates=") + text(value));
    m_defaultSampleRates = value;
}

void FakeWrapper::setDefaultSampleRatesIn(const QStringList &value)
{
    record(QStringLiteral("defaultSampleRatesIn=") + text(value));
    m_defaultSampleRatesIn = value;
}

void FakeWrapper::setDefaultSampleRatesDuplex(const QStringList &value)
{
    record(QStringLiteral("defaultSampleRatesDuplex=") + text(value));
    m_defaultSampleRatesDuplex = value;
}

void FakeWrapper::duplexChannelsSamplerate()
{
    record(QStringLiteral("duplexChannelsSamplerate()"));
    // Preset "duplexChannels" maps a device name to its [input, output] channel texts.
    const QStringList counts = preset()
                                   .value(QStringLiteral("duplexChannels"))
                                   .toMap()
                                   .value(m_inOutPutDev)
                                   .toStringList();
    if (counts.size() != 2)
        return;
    m_inDuplexCh = counts.at(0);
    emit inDuplexChChanged();
    m_outDuplexCh = counts.at(1);
    emit outDuplexChChanged();
}

void FakeWrapper::testSampleRate(QString device, int type)
{
    record(QStringLiteral("testSampleRate(%1,%2)").arg(device).arg(type));
}
