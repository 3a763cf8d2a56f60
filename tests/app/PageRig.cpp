#include "PageRig.h"

#include "FakePortAudio.h"
#include "wrapper.h"

#include <QSettings>
#include <QtQml>
#include <vector>

namespace {

// The table streams were opened on, to name their devices.
std::vector<fakepa::Device> &currentDevices()
{
    static std::vector<fakepa::Device> devices;
    return devices;
}

QVariantMap deviceSpec(const char *api, const char *name, int inputs, int outputs, int rate)
{
    return {{QStringLiteral("api"), QString::fromLatin1(api)},
            {QStringLiteral("name"), QString::fromLatin1(name)},
            {QStringLiteral("inputs"), inputs},
            {QStringLiteral("outputs"), outputs},
            {QStringLiteral("rate"), rate}};
}

QString deviceName(const PaStreamParameters &side)
{
    const auto &devices = currentDevices();
    return side.device >= 0 && side.device < static_cast<int>(devices.size())
               ? QString::fromStdString(devices[static_cast<size_t>(side.device)].name)
               : QStringLiteral("?");
}

} // namespace

QVariantList PageRig::studioDevices()
{
    return {
        deviceSpec("ALSA", "USB Mic", 1, 0, 44100),
        deviceSpec("ALSA", "Studio Desk", 8, 8, 48000),
        deviceSpec("ALSA", "USB Interface", 2, 4, 96000),
        deviceSpec("ALSA", "Speakers", 0, 2, 44100),
        deviceSpec("JACK", "system", 2, 2, 48000),
        deviceSpec("ALSA", "Multichannel Broadcast Interface 64x64 MADI (hw:3,0)", 64, 0, 48000)};
}

void PageRig::registerTypes()
{
    qmlRegisterType<Wrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
    qmlRegisterSingletonType<PageRig>(
        "Veltrin.Test", 1, 0, "Rig",
        [](QQmlEngine *, QJSEngine *) -> QObject * { return new PageRig; });
}

void PageRig::setDevices(const QVariantList &devices)
{
    fakepa::Table table;
    table.hostApis.clear();
    QStringList apis;
    for (const QVariant &entry : devices) {
        const QVariantMap spec = entry.toMap();
        const QString api = spec.value(QStringLiteral("api")).toString();
        if (!apis.contains(api)) {
            apis.append(api);
            fakepa::HostApi host;
            host.name = api.toStdString();
            table.hostApis.push_back(host);
        }
        table.devices.push_back(
            fakepa::device(spec.value(QStringLiteral("name")).toString().toStdString(),
                           apis.indexOf(api), spec.value(QStringLiteral("inputs")).toInt(),
                           spec.value(QStringLiteral("outputs")).toInt(),
                           spec.value(QStringLiteral("rate")).toDouble()));
    }
    if (table.hostApis.empty())
        table.hostApis.emplace_back();
    table.inputSignal = [](long long, int) { return 0.5f; };
    currentDevices() = table.devices;
    fakepa::setTable(table);
}

void PageRig::store(const QVariantMap &values)
{
    QSettings settings(QStringLiteral("Quorvane"), QStringLiteral("Veltrin"));
    settings.clear();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

QVariantMap PageRig::stored() const
{
    QSettings settings(QStringLiteral("Quorvane"), QStringLiteral("Veltrin"));
    QVariantMap values;
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
    return values;
}

QObject *PageRig::wrapper(QObject *window) const
{
    return window != nullptr ? window->findChild<Wrapper *>() : nullptr;
}

QVariantList PageRig::streams() const
{
    QVariantList result;
    for (const fakepa::OpenedStream &s : fakepa::openedStreams()) {
        result.append(
            QVariantMap{{QStringLiteral("input"), s.hasInput ? deviceName(s.input) : QString()},
                        {QStringLiteral("output"), s.hasOutput ? deviceName(s.output) : QString()},
                        {QStringLiteral("inChannels"), s.hasInput ? s.input.channelCount : 0},
                        {QStringLiteral("outChannels"), s.hasOutput ? s.output.channelCount : 0},
                        {QStringLiteral("rate"), s.sampleRate},
                        {QStringLiteral("frames"), static_cast<int>(s.framesPerBuffer)},
                        {QStringLiteral("callback"), s.callback}});
    }
    return result;
}

void PageRig::unplug(const QString &name)
{
    fakepa::unplug(name.toStdString());
}

void PageRig::plugIn(const QString &name)
{
    fakepa::plugIn(name.toStdString());
}

int PageRig::runningStreams() const
{
    const fakepa::Counters &c = fakepa::counters();
    return c.startStream.load() - c.stopStream.load();
}
