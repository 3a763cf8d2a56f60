#include "wrapper.h"

#include <QDir>
#include <QFile>
#include <QTextStream>
#include <utility>

namespace {

// The NDI runtime's network settings: reliable UDP on, TCP, unicast and multicast sending off,
// multicast receiving on, the public group, every adapter.
constexpr const char kNdiConfig[] =
    "{\"ndi\":{\"networks\":{\"ips\":\"\",\"discovery\":\"\"},\"machinename\":\"\","
    "\"tcp\":{\"send\":{\"enable\":false},\"recv\":{\"enable\":false}},"
    "\"rudp\":{\"send\":{\"enable\":true},\"recv\":{\"enable\":true}},"
    "\"groups\":{\"send\":\"Public\",\"recv\":\"Public\"},"
    "\"unicast\":{\"send\":{\"enable\":false},\"recv\":{\"enable\":false}},"
    "\"adapters\":{\"allowed\":[]},"
    "\"multicast\":{\"send\":{\"ttl\":1,\"enable\":false,\"netmask\":\"255.255.0.0\","
    "\"netprefix\":\"239.255.0.0\"},\"recv\":{\"enable\":true}}}}";
static_assert(sizeof(kNdiConfig) - 1 == 422, "the runtime's configuration text changed size");

} // namespace

void Wrapper::setUpLinuxNdiConfig()
{
    const QString home = QDir::homePath();
    QDir homeDir(home);
    // A failure here shows up as the file failing to open below.
    if (!homeDir.exists(QStringLiteral(".ndi")))
        homeDir.mkdir(QStringLiteral(".ndi"));
    QFile file(home + QLatin1Char('/') + QStringLiteral(".ndi/ndi-config.v1.json"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    QTextStream stream(&file);
    stream << kNdiConfig;
    stream.flush();
    file.close();
}

void Wrapper::setNdiDevIp(QString index)
{
    const int position = index.toInt(nullptr, 10);
    if (!m_ndiIpDevice.isEmpty() && position >= 0 && position < m_ndiIpDevice.size())
        m_ndiDevIp = m_ndiIpDevice.at(position);
    else
        m_ndiDevIp.clear();
    // Discovery keeps the chosen source first in the lists it publishes.
    emit ndiCurrentdevIndex(position);
    emit ndiDevIpChanged();
}

void Wrapper::setNdiIpDevice(QStringList dvc)
{
    if (dvc.isEmpty())
        return;
    m_ndiIpDevice = std::move(dvc);
    setNdiDevIp(QStringLiteral("0"));
    emit ndiIpDeviceChanged();
}
