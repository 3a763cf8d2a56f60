#include "wrapper.h"

#include <QSettings>

namespace {

const QString kOrganisation = QStringLiteral("Quorvane");
const QString kApplication = QStringLiteral("Veltrin");

constexpr unsigned int kDefaultFrames = 256;
constexpr unsigned int kDefaultRate = 48000;

} // namespace

void Wrapper::readSettings()
{
    QSettings settings(kOrganisation, kApplication, this);
    // Values that do not convert give 0 or an empty string; absent ones the defaults.
    m_buffSize = settings.value(QStringLiteral("buffSize"), kDefaultFrames).toUInt();
    m_rates = static_cast<int>(settings.value(QStringLiteral("rates"), kDefaultRate).toUInt());
    m_buffOutSize = settings.value(QStringLiteral("buffSizeOut"), kDefaultFrames).toUInt();
    m_ratesOut =
        static_cast<int>(settings.value(QStringLiteral("ratesOut"), kDefaultRate).toUInt());
    m_buffDuplexSize = settings.value(QStringLiteral("buffDuplexSize"), kDefaultFrames).toUInt();
    m_rateDuplex =
        static_cast<int>(settings.value(QStringLiteral("rateDuplex"), kDefaultRate).toUInt());
    m_inPutDevFullString = settings.value(QStringLiteral("inPutDev"), QString()).toString();
    m_outPutDevFullString = settings.value(QStringLiteral("outPutDev"), QString()).toString();
    m_ndiInSourName = settings.value(QStringLiteral("ndiInSourName"), QString()).toString();
    m_ndiInSourNameDuplex =
        settings.value(QStringLiteral("ndiInSourNameDuplex"), QString()).toString();
    m_xWPos = settings.value(QStringLiteral("xPos"), 0).toInt();
    m_yWPos = settings.value(QStringLiteral("yPos"), 0).toInt();
}

void Wrapper::writeSettings()
{
    QSettings settings(kOrganisation, kApplication, this);
    settings.setValue(QStringLiteral("buffSize"), m_buffSize);
    settings.setValue(QStringLiteral("rates"), m_rates);
    settings.setValue(QStringLiteral("buffSizeOut"), m_buffOutSize);
    settings.setValue(QStringLiteral("ratesOut"), m_ratesOut);
    settings.setValue(QStringLiteral("buffDuplexSize"), m_buffDuplexSize);
    settings.setValue(QStringLiteral("rateDuplex"), m_rateDuplex);
    settings.setValue(QStringLiteral("inPutDev"), m_inPutDevFullString);
    settings.setValue(QStringLiteral("outPutDev"), m_outPutDevFullString);
    settings.setValue(QStringLiteral("ndiInSourName"), m_ndiInSourName);
    settings.setValue(QStringLiteral("ndiInSourNameDuplex"), m_ndiInSourNameDuplex);
    settings.setValue(QStringLiteral("xPos"), m_xWPos);
    settings.setValue(QStringLiteral("yPos"), m_yWPos);
    // Destroying the store writes it out.
}
