// The whole program as a user meets it: the real main window and controller, real PortAudio on
// a private JACK dummy server, the NDI runtime on the loopback interface, a real X window.
// First a picture of each page goes to <build>/screenshots for people to look at (checked only
// to be the whole window and not blank). Then a probe client plays a sine into the capture
// device; on a first run the capture switch publishes it under a generated name; the user then
// types an NDI name and turns the capture switch on again; a receiver here must hear the sine
// under "HOST (name)". Closing is refused while it runs; the switch off silences the source and
// lets the window close.
#include "CliTestSupport.h"
#include "JackHarness.h"
#include "LeakCheck.h"
#include "NdiLib.h"
#include "ScratchHome.h"
#include "XvfbSession.h"
#include "wrapper.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSet>
#include <QSysInfo>
#include <QtQml>
#include <QtTest>
#include <cmath>
#include <string>

namespace {

constexpr double kToneHz = 1000.0;
constexpr float kToneAmplitude = 0.5f;
constexpr int kWaitMs = 60000;
// JACK client names are unique per process: tests running in parallel against servers of their
// own still collide on equal client names now and then.
const std::string kClient = "veltrin-" + std::to_string(QCoreApplication::applicationPid());
const char *const kTypedName = "E2E Desk";

float tone(long long frame, int)
{
    return kToneAmplitude
           * static_cast<float>(std::sin(2.0 * M_PI * kToneHz * double(frame) / clitest::kRate));
}

// Hears `count` blocks in a row of the tone (or of silence), the window kept running meanwhile.
bool hear(clitest::ToneListener &listener, double amplitude, int count)
{
    return listener.hear(kToneHz, amplitude, count, kWaitMs,
                         [] { QCoreApplication::processEvents(); });
}

// The name other machines see for a source this one publishes as `name`.
QString published(const char *name)
{
    return QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0).toUpper()
           + QStringLiteral(" (%1)").arg(QLatin1String(name));
}

int distinctColours(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    return colours.size();
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
        QVERIFY(QDir().mkpath(QStringLiteral(VELTRIN_SCREENSHOTS)));
        QVERIFY(NDIlib_initialize());
    }

    void pages_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("file");
        // The first page last: its list arrows are drawn a frame after the window first shows.
        QTest::newRow("two-way") << 1 << QStringLiteral("page-two-way.png");
        QTest::newRow("about") << 2 << QStringLiteral("page-about.png");
        QTest::newRow("one-way") << 0 << QStringLiteral("page-one-way.png");
    }

    void pages()
    {
        QFETCH(int, index);
        QFETCH(QString, file);
        auto *swipeView = item("swipeView");
        QVERIFY(swipeView);
        item("tabBar")->setProperty("currentIndex", index);
        QObject *list = swipeView->property("contentItem").value<QObject *>();
        QVERIFY(list);
        QTRY_COMPARE_WITH_TIMEOUT(list->property("contentX").toReal(), index * swipeView->width(),
                                  kWaitMs);
        const QImage image = m_window->grabWindow();
        QVERIFY(image.save(QStringLiteral(VELTRIN_SCREENSHOTS "/") + file));
        QCOMPARE(image.size() / image.devicePixelRatio(), QSize(1020, 680));
        QVERIFY(distinctColours(image) > 50);
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
        Wrapper *wrapper = m_window->findChild<Wrapper *>();
        QVERIFY(wrapper);
        QCOMPARE(wrapper->inPutDev(), QStringLiteral("system"));
        JackProbe probe("probe-" + std::to_string(QCoreApplication::applicationPid()), 2);
        QVERIFY(probe.ok());
        probe.setSignal(tone);

        // A first run, no name typed: the runtime publishes under a generated name, and a second
        // sender of this process without a name takes the next free one.
        QVERIFY(wrapper->ndiInSourName().isEmpty());
        auto *captureSwitch = item("captureSwitch");
        click(captureSwitch, 0.2);
        QVERIFY(wrapper->checkIn());
        QVERIFY(probe.wire(kClient, 2, 0));
        QTRY_VERIFY_WITH_TIMEOUT(wrapper->ndiDevice().contains(published("Veltrin")), kWaitMs);
        NDIlib_send_create_t nameless;
        nameless.p_ndi_name = "";
        NDIlib_send_instance_t second = NDIlib_send_create(&nameless);
        QVERIFY(second != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(wrapper->ndiDevice().contains(published("Veltrin 2")), kWaitMs);
        NDIlib_send_destroy(second);
        clitest::ToneListener generated(published("Veltrin").toStdString());
        QVERIFY2(hear(generated, kToneAmplitude, 5), "the generated name never carried the sine");
        click(captureSwitch, 0.2);
        QVERIFY(!wrapper->checkIn());
        QVERIFY2(hear(generated, 0.0, 10), "the source kept playing");
        QTRY_COMPARE_WITH_TIMEOUT(probe.connectedPorts(kClient), 0, kWaitMs);

        // Type the name to publish under: the next start takes it.
        click(item("inputNameField"));
        for (const char *c = kTypedName; *c; ++c)
            QTest::keyClick(m_window, *c);
        QCOMPARE(wrapper->ndiInSourName(), QString::fromLatin1(kTypedName));
        click(captureSwitch, 0.2);
        QVERIFY(wrapper->checkIn());
        // The start may wait for the last run's end to come through the event loop.
        QVERIFY(QTest::qWaitFor([&] { return probe.wire(kClient, 2, 0, 50); }, kWaitMs));
        const std::string source = published(kTypedName).toStdString();
        QVERIFY2(clitest::sourceListed(source, kWaitMs), source.c_str());
        clitest::ToneListener listener(source);
        QVERIFY2(hear(listener, kToneAmplitude, 5), "the probe's sine never arrived");
        // The window's meter shows the level too.
        QTRY_VERIFY_WITH_TIMEOUT(item("inputGauge")->property("value").toDouble() > 0.0, kWaitMs);
        m_window->grabWindow().save(
            QStringLiteral(VELTRIN_SCREENSHOTS "/end-to-end-capture-running.png"));

        // Closing is refused while the stream runs.
        m_window->close();
        QVERIFY(m_window->isVisible());
        QVERIFY(hear(listener, kToneAmplitude, 2));
        QObject *dialog = m_window->findChild<QObject *>(QStringLiteral("closeRefusal"));
        QVERIFY(dialog);
        QTRY_VERIFY_WITH_TIMEOUT(dialog->property("visible").toBool(), kWaitMs);
        QMetaObject::invokeMethod(dialog, "close");

        // The switch off stops the stream: the source goes quiet.
        click(captureSwitch, 0.2);
        QVERIFY(!wrapper->checkIn());
        QVERIFY2(hear(listener, 0.0, 10), "the source kept playing");

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

    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};

int main(int argc, char **argv)
{
    if (const int failed = runUnderPrivateXvfb(argc, argv, VELTRIN_WITH_XVFB))
        return failed;
    const ScratchHome home;
    if (!home.valid())
        return 1;
    // Qt Quick draws in software, so no GLX: Mesa's GL libraries, once loaded, make
    // LeakSanitizer's tracer crash now and then at exit.
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("QT_XCB_GL_INTEGRATION", "none");

    JackServer server(clitest::kRate, 256, 2, 2);
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
