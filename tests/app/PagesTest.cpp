// Qt Quick tests of the main window and its pages on the real controller, with the fake
// PortAudio's devices and the built-in NDI runtime on loopback. Settings and the NDI
// configuration file go to a scratch home.
#include "FakePortAudio.h"
#include "LeakCheck.h"
#include "ScratchHome.h"
#include "wrapper.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QSettings>
#include <QtQml>
#include <QtQuickTest>

// What the scenes set and read around the controller, as the singleton "Rig" of module
// "Veltrin.Test": the fake PortAudio's devices, the settings store the controller reads at
// construction and writes when it goes, and the streams it opened. Thread: GUI thread.
class PageRig : public QObject
{
    Q_OBJECT
public:
    // Replaces everything the store holds by `values`, keyed as the controller stores them, and
    // gives the fake the first `count` devices of a studio of five on two host APIs: USB Mic
    // (only records), Studio Desk, USB Interface (both ways), Speakers (only plays), JACK's
    // system (both ways). Every input reads a constant 0.5. Clears the fake's counters and
    // stream records.
    Q_INVOKABLE void prepare(const QVariantMap &values, int count)
    {
        QSettings settings(QStringLiteral("Quorvane"), QStringLiteral("Veltrin"));
        settings.clear();
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
        fakepa::Table table;
        table.hostApis = {{"ALSA", paNoDevice, paNoDevice}, {"JACK", paNoDevice, paNoDevice}};
        table.devices = {{"USB Mic", 0, 1, 0, 44100},
                         {"Studio Desk", 0, 8, 8},
                         {"USB Interface", 0, 2, 4, 96000},
                         {"Speakers", 0, 0, 2, 44100},
                         {"system", 1, 2, 2}};
        table.devices.resize(size_t(count));
        table.inputLevel = 0.5f;
        fakepa::setTable(table);
    }
    Q_INVOKABLE QVariantMap stored() const
    {
        const QSettings settings(QStringLiteral("Quorvane"), QStringLiteral("Veltrin"));
        QVariantMap values;
        for (const QString &key : settings.allKeys())
            values.insert(key, settings.value(key));
        return values;
    }
    // The streams opened since the table was set, in order, as "in D:C out D:C R Hz F": each
    // side's device by its place in the studio and its channels ("-" for no such side), the
    // rate and frames.
    Q_INVOKABLE QStringList streams() const
    {
        const auto side = [](bool has, const PaStreamParameters &p) {
            return has ? QStringLiteral("%1:%2").arg(p.device).arg(p.channelCount) : "-";
        };
        QStringList result;
        for (const fakepa::OpenedStream &s : fakepa::openedStreams())
            result << "in " + side(s.hasInput, s.input) + " out " + side(s.hasOutput, s.output)
                          + QStringLiteral(" %1 Hz %2").arg(s.sampleRate).arg(s.framesPerBuffer);
        return result;
    }
    // The device goes away as a pulled cable does, or comes back.
    Q_INVOKABLE void plug(const QString &device, bool in)
    {
        in ? fakepa::plugIn(device.toStdString()) : fakepa::unplug(device.toStdString());
    }
    // Streams started and not yet stopped (the engine leaves closing them to Pa_Terminate).
    Q_INVOKABLE int runningStreams() const
    {
        return fakepa::counters().startStream - fakepa::counters().stopStream;
    }
};

class PagesTestSetup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Material")); }
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        qmlRegisterType<Wrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
        qmlRegisterSingletonType<PageRig>(
            "Veltrin.Test", 1, 0, "Rig",
            [](QQmlEngine *, QJSEngine *) -> QObject * { return new PageRig; });
        engine->rootContext()->setContextProperty(QStringLiteral("helpPage"),
                                                  QUrl(QStringLiteral("file:///help/index.html")));
    }
};

int main(int argc, char **argv)
{
    const ScratchHome home;
    // The pages' behaviour is the point here, not a real window system.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    PagesTestSetup setup;
    const int result =
        quick_test_main_with_setup(argc, argv, "app_pages", VELTRIN_QML_TESTS, &setup);
    checkLeaksNow();
    return result;
}

#include "PagesTest.moc"
