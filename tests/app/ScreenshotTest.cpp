// Draws the real main window with the stand-in controller under a private X server and writes a
// picture of each page, and of the close refusal, into the build directory for people to look
// at. The checks only make sure that each picture is the whole window and not blank.
#include "FakeWrapper.h"
#include "LeakCheck.h"
#include "XvfbSession.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QtQml>

namespace {

// A guard for slow, loaded machines; waits end as soon as their condition holds.
constexpr int kPatienceMs = 30000;

QVariantMap presetValues()
{
    const QStringList inputs = {
        QStringLiteral("ALSA  Focusrite Scarlett 18i20 USB: Audio (hw:1,0)"),
        QStringLiteral("ALSA  HDA Intel PCH: ALC1220 Analog (hw:0,0)"),
        QStringLiteral("JACK  system")};
    const QStringList outputs = {
        QStringLiteral("ALSA  Focusrite Scarlett 18i20 USB: Audio (hw:1,0)"),
        QStringLiteral("JACK  system")};
    QVariantMap duplexChannels;
    duplexChannels.insert(QStringLiteral("Focusrite Scarlett 18i20 USB: Audio (hw:1,0)"),
                          QStringList{QStringLiteral("18"), QStringLiteral("20")});
    return {
        {QStringLiteral("inPutDevice"), inputs},
        {QStringLiteral("outPutDevice"), outputs},
        {QStringLiteral("inOutPutDevice"),
         QStringList{QStringLiteral("Focusrite Scarlett 18i20 USB: Audio (hw:1,0)"),
                     QStringLiteral("system")}},
        {QStringLiteral("inOutPutDev"),
         QStringLiteral("Focusrite Scarlett 18i20 USB: Audio (hw:1,0)")},
        {QStringLiteral("duplexChannels"), duplexChannels},
        {QStringLiteral("ndiDevice"), QStringList{QStringLiteral("STUDIO-B (Presenter Mics)"),
                                                  QStringLiteral("OB-VAN-2 (Program Mix)")}},
        {QStringLiteral("inPutDevFullString"), inputs.first()},
        {QStringLiteral("ndiInSourName"), QStringLiteral("Studio A Desk")},
        {QStringLiteral("ndiInSourNameDuplex"), QStringLiteral("Commentary")},
        {QStringLiteral("chin"),
         QStringList{QStringLiteral("18"), QStringLiteral("2"), QStringLiteral("2")}},
        {QStringLiteral("chout"), QStringList{QStringLiteral("20"), QStringLiteral("2")}},
        {QStringLiteral("buffSize"), 256},
        {QStringLiteral("rates"), 48000},
        {QStringLiteral("buffOutSize"), 512},
        {QStringLiteral("ratesOut"), 48000},
        {QStringLiteral("buffDuplexSize"), 128},
        {QStringLiteral("rateDuplex"), 96000},
        {QStringLiteral("version"), QStringLiteral("5.6.1")},
    };
}

int distinctColours(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7) {
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

} // namespace

class ScreenshotTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qmlRegisterType<FakeWrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
        FakeWrapper::setPreset(presetValues());
        m_engine.rootContext()->setContextProperty(QStringLiteral("helpPage"), QUrl());
        m_engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
        QVERIFY(!m_engine.rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first());
        QVERIFY(m_window);
        QVERIFY(QTest::qWaitForWindowExposed(m_window, kPatienceMs));
        FakeWrapper *wrapper = FakeWrapper::current();
        QVERIFY(wrapper);
        wrapper->setLevel(1.6);
        wrapper->setOutLevel(2.6);
        QVERIFY(QDir().mkpath(QStringLiteral(VELTRIN_SCREENSHOTS)));
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
        auto *tabBar = m_window->findChild<QObject *>(QStringLiteral("tabBar"));
        auto *swipeView = m_window->findChild<QQuickItem *>(QStringLiteral("swipeView"));
        QVERIFY(tabBar && swipeView);
        tabBar->setProperty("currentIndex", index);
        QObject *list = swipeView->property("contentItem").value<QObject *>();
        QVERIFY(list);
        const qreal target = index * swipeView->width();
        QTRY_COMPARE_WITH_TIMEOUT(list->property("contentX").toReal(), target, kPatienceMs);
        const QImage image = m_window->grabWindow();
        QVERIFY(image.save(QStringLiteral(VELTRIN_SCREENSHOTS "/") + file));
        QCOMPARE(image.size() / image.devicePixelRatio(), QSize(1020, 680));
        QVERIFY(distinctColours(image) > 50);
    }

    void closeRefusal()
    {
        auto *captureSwitch = m_window->findChild<QQuickItem *>(QStringLiteral("captureSwitch"));
        auto *tabBar = m_window->findChild<QObject *>(QStringLiteral("tabBar"));
        QVERIFY(captureSwitch && tabBar);
        auto *swipeView = m_window->findChild<QQuickItem *>(QStringLiteral("swipeView"));
        QVERIFY(swipeView);
        tabBar->setProperty("currentIndex", 0);
        QObject *list = swipeView->property("contentItem").value<QObject *>();
        QTRY_COMPARE_WITH_TIMEOUT(list->property("contentX").toReal(), 0.0, kPatienceMs);
        const QPointF centre = captureSwitch->mapToScene(
            QPointF(captureSwitch->width() / 4, captureSwitch->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
        QVERIFY(FakeWrapper::current()->checkIn());
        m_window->close();
        QVERIFY(m_window->isVisible());
        // The refusal is a window of its own; take the whole screen to show it with the page.
        QWindow *dialog = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = refusalWindow()) != nullptr, kPatienceMs);
        QVERIFY(QTest::qWaitForWindowExposed(dialog, kPatienceMs));
        const QImage screen = m_window->screen()->grabWindow(0).toImage();
        QVERIFY(screen.save(QStringLiteral(VELTRIN_SCREENSHOTS "/close-refused.png")));
        QVERIFY(distinctColours(screen) > 50);
    }

private:
    // The window, other than the main one, that shows the refusal.
    QWindow *refusalWindow() const
    {
        for (QWindow *window : QGuiApplication::topLevelWindows()) {
            if (window != m_window && window->isVisible() && window->width() > 50)
                return window;
        }
        return nullptr;
    }

    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};

int main(int argc, char *argv[])
{
    // A real X window is the point here.
    if (const int failed = runUnderPrivateXvfb(argc, argv, VELTRIN_WITH_XVFB))
        return failed;
    // Qt Quick draws in software, so no GLX: Mesa's GL libraries, once loaded, make
    // LeakSanitizer's tracer crash now and then at exit.
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));
    int result = 0;
    {
        ScreenshotTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    checkLeaksNow();
    return result;
}

#include "ScreenshotTest.moc"
