// The whole program as a user meets it: the real main window and controller, real PortAudio on
// a private JACK dummy server, the NDI runtime on the loopback interface, a real X window.
// A probe client plays a sine into the capture device; the user types an NDI name and turns
// the capture switch on; a receiver here must hear the sine under "HOST (name)". Closing is
// refused while it runs; the switch off silences the source and lets the window close.
#include "JackHarness.h"
#include "LeakCheck.h"
#include "NdiLib.h"
#include "XvfbSession.h"
#include "wrapper.h"

#include <QApplication>
#include <QDir>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtQml>
#include <QtTest>
#include <cmath>
#include <string>

namespace {

constexpr int kRate = 48000;
constexpr double kToneHz = 1000.0;
constexpr float kToneAmplitude = 0.5f;
constexpr int kBlock = 2048;
constexpr int kWaitMs = 60000;
// JACK client names are unique per process: tests running in parallel against servers of their
// own still collide on equal client names now and then.
const std::string kClient = "veltrin-" + std::to_string(QCoreApplication::applicationPid());
const char *const kTypedName = "E2E Desk";

float tone(long long frame, int)
{
    return kToneAmplitude
           * static_cast<float>(std::sin(2.0 * M_PI * kToneHz * double(frame) / kRate));
}

// What one block of received audio holds.
enum class Heard { Silence, Tone, Other };

Heard classify(const float *samples, int count)
{
    double squares = 0.0;
    int crossings = 0;
    for (int i = 0; i < count; ++i) {
        squares += double(samples[i]) * samples[i];
        if (i > 0 && (samples[i - 1] < 0.0f) != (samples[i] < 0.0f))
            ++crossings;
    }
    const double rms = std::sqrt(squares / count);
    if (rms < 1e-4)
        return Heard::Silence;
    // A 1 kHz sine of amplitude 0.5 has an RMS of 0.354 and crosses zero twice per period.
    const double expectedCrossings = 2.0 * kToneHz * count / kRate;
    const bool tone = std::fabs(rms - kToneAmplitude / std::sqrt(2.0)) < 0.05
                      && std::fabs(crossings - expectedCrossings) <= 0.05 * expectedCrossings;
    return tone ? Heard::Tone : Heard::Other;
}

// An NDI receiver on the source the program publishes, read through a frame synchroniser.
class Listener
{
public:
    explicit Listener(const std::string &source)
    {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = source.c_str();
        settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
        settings.p_ndi_recv_name = "end-to-end listener";
        m_receiver = NDIlib_recv_create_v3(&settings);
        if (m_receiver)
            m_sync = NDIlib_framesync_create(m_receiver);
    }
    ~Listener()
    {
        if (m_sync)
            NDIlib_framesync_destroy(m_sync);
        if (m_receiver)
            NDIlib_recv_destroy(m_receiver);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    bool ok() const { return m_sync != nullptr; }

    // The next block of the first channel, paced at about real time by the caller.
    Heard next()
    {
        NDIlib_audio_frame_v2_t frame;
        NDIlib_framesync_capture_audio(m_sync, &frame, kRate, 2, kBlock);
        const Heard heard = frame.p_data && frame.no_samples > 0
                                ? classify(frame.p_data, frame.no_samples)
                                : Heard::Silence;
        NDIlib_framesync_free_audio(m_sync, &frame);
        return heard;
    }

private:
    NDIlib_recv_instance_t m_receiver = nullptr;
    NDIlib_framesync_instance_t m_sync = nullptr;
};

bool sourceListed(const std::string &name)
{
    NDIlib_find_create_t settings;
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(&settings);
    if (!finder)
        return false;
    bool found = false;
    QDeadlineTimer deadline(kWaitMs);
    while (!found && !deadline.hasExpired()) {
        NDIlib_find_wait_for_sources(finder, 500);
        uint32_t count = 0;
        const NDIlib_source_t *sources = NDIlib_find_get_current_sources(finder, &count);
        for (uint32_t i = 0; i < count && !found; ++i)
            found = sources[i].p_ndi_name && name == sources[i].p_ndi_name;
        QCoreApplication::processEvents();
    }
    NDIlib_find_destroy(finder);
    return found;
}

// Listens until `count` blocks in a row are `wanted`; false if the guard deadline passes first.
bool hearInARow(Listener &listener, Heard wanted, int count)
{
    QDeadlineTimer deadline(kWaitMs);
    int run = 0;
    while (run < count && !deadline.hasExpired()) {
        run = listener.next() == wanted ? run + 1 : 0;
        // About one block of real time, with the GUI thread kept running meanwhile.
        QTest::qWait(kBlock * 1000 / kRate);
    }
    return run >= count;
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qmlRegisterType<Wrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
        m_engine.rootContext()->setContextProperty(QStringLiteral("helpPage"), QUrl());
        m_engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
        QVERIFY(!m_engine.rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first());
        QVERIFY(m_window);
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window, kWaitMs));
        QVERIFY(NDIlib_initialize());
    }

    void captureToNdiThroughTheWindow()
    {
        // Pick the JACK capture device in the input list, as a user would.
        auto *devices = item("inputDeviceList");
        const QStringList entries = devices->property("model").toStringList();
        int jack = -1;
        for (int i = 0; i < entries.size() && jack < 0; ++i)
            jack = entries.at(i).endsWith(QStringLiteral("  system")) ? i : -1;
        QVERIFY2(jack >= 0, qPrintable(entries.join(QLatin1Char('|'))));
        devices->setProperty("currentIndex", jack);

        // Type the name to publish under.
        click(item("inputNameField"));
        for (const char *c = kTypedName; *c; ++c)
            QTest::keyClick(m_window, *c);
        Wrapper *wrapper = m_window->findChild<Wrapper *>();
        QVERIFY(wrapper);
        QCOMPARE(wrapper->ndiInSourName(), QString::fromLatin1(kTypedName));
        QCOMPARE(wrapper->inPutDev(), QStringLiteral("system"));

        JackProbe probe("probe-" + std::to_string(QCoreApplication::applicationPid()), 2);
        QVERIFY(probe.ok());
        probe.setSignal(tone);

        auto *captureSwitch = item("captureSwitch");
        click(captureSwitch, 0.2);
        QVERIFY(captureSwitch->property("checked").toBool());
        QVERIFY(wrapper->checkIn());
        QVERIFY(probe.wire(kClient, 2, 0));

        const std::string source =
            QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0).toUpper().toStdString()
            + " (" + kTypedName + ")";
        QVERIFY2(sourceListed(source), source.c_str());
        {
            Listener listener(source);
            QVERIFY(listener.ok());
            QVERIFY2(hearInARow(listener, Heard::Tone, 5), "the probe's sine never arrived");
            // The window's meter shows the level too.
            QObject *gauge = m_window->findChild<QObject *>(QStringLiteral("inputGauge"));
            QVERIFY(gauge);
            QTRY_VERIFY_WITH_TIMEOUT(gauge->property("value").toDouble() > 0.0, kWaitMs);
            saveScreenshot(QStringLiteral("end-to-end-capture-running.png"));

            // Closing is refused while the stream runs.
            m_window->close();
            QVERIFY(m_window->isVisible());
            QVERIFY(hearInARow(listener, Heard::Tone, 2));
            closeRefusalDialog();

            // The switch off stops the stream: the source goes quiet.
            click(captureSwitch, 0.2);
            QVERIFY(!wrapper->checkIn());
            QVERIFY2(hearInARow(listener, Heard::Silence, 10), "the source kept playing");
        }

        m_window->close();
        QVERIFY(!m_window->isVisible());
    }

private:
    QQuickItem *item(const char *name) const
    {
        auto *found = m_window->findChild<QQuickItem *>(QLatin1String(name));
        if (!found)
            qWarning("no item %s", name);
        return found;
    }

    // Clicks `target` at `xFraction` of its width, half its height.
    void click(QQuickItem *target, double xFraction = 0.5)
    {
        QVERIFY(target);
        const QPointF at =
            target->mapToScene(QPointF(target->width() * xFraction, target->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, at.toPoint());
    }

    void closeRefusalDialog()
    {
        QObject *dialog = m_window->findChild<QObject *>(QStringLiteral("closeRefusal"));
        QVERIFY(dialog);
        QTRY_VERIFY_WITH_TIMEOUT(dialog->property("visible").toBool(), kWaitMs);
        QCOMPARE(dialog->property("text").toString(),
                 QStringLiteral("Stop Veltrin before closing."));
        QMetaObject::invokeMethod(dialog, "close");
    }

    void saveScreenshot(const QString &file)
    {
        QDir().mkpath(QStringLiteral(VELTRIN_SCREENSHOTS));
        m_window->grabWindow().save(QStringLiteral(VELTRIN_SCREENSHOTS "/") + file);
    }

    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};

int main(int argc, char **argv)
{
    if (const int failed = runUnderPrivateXvfb(argc, argv, VELTRIN_WITH_XVFB))
        return failed;

    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    for (const char *dir : {"home", "config", "data"})
        QDir(root.path()).mkpath(QLatin1String(dir));
    qputenv("HOME", root.filePath(QStringLiteral("home")).toUtf8());
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", root.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", root.path().toUtf8());
    // Qt Quick draws in software, so no GLX: Mesa's GL libraries, once loaded, make
    // LeakSanitizer's tracer crash now and then at exit.
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("QT_XCB_GL_INTEGRATION", "none");

    JackServer server(kRate, 256, 2, 2);
    if (!server.running())
        return 1;
    // Before the controller's first Pa_Initialize.
    setPortAudioJackClientName(kClient);

    QCoreApplication::setAttribute(Qt::AA_DisableWindowContextHelpButton, true);
    QApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));
    int result = 0;
    {
        EndToEndTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    checkLeaksNow();
    return result;
}

#include "EndToEndTest.moc"
