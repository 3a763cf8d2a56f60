// Draws the real main window and controller, over the fake PortAudio's studio devices, under a
// private X server and writes a picture of each page into the build directory for people to
// look at. The checks only make sure that each picture is the whole window and not blank.
#include "LeakCheck.h"
#include "PageRig.h"
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
#include <QTest>
#include <QtQml>

namespace {

// A guard for slow, loaded machines; waits end as soon as their condition holds.
constexpr int kPatienceMs = 30000;

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
        PageRig::registerTypes();
        PageRig rig;
        rig.setDevices(PageRig::studioDevices());
        rig.store({{QStringLiteral("inPutDev"), QStringLiteral("ALSA  Studio Desk")},
                   {QStringLiteral("ndiInSourName"), QStringLiteral("Studio A Desk")},
                   {QStringLiteral("ndiInSourNameDuplex"), QStringLiteral("Commentary")},
                   {QStringLiteral("buffSizeOut"), 512},
                   {QStringLiteral("buffDuplexSize"), 128},
                   {QStringLiteral("rateDuplex"), 96000}});
        m_engine.rootContext()->setContextProperty(QStringLiteral("helpPage"), QUrl());
        m_engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
        QVERIFY(!m_engine.rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().first());
        QVERIFY(m_window);
        QVERIFY(QTest::qWaitForWindowExposed(m_window, kPatienceMs));
        auto *wrapper = m_window->findChild<Wrapper *>();
        QVERIFY(wrapper);
        wrapper->setNdiDevice({QStringLiteral("STUDIO-B (Presenter Mics)"),
                                 QStringLiteral("OB-VAN-2 (Program Mix)")});
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

private:
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};

int main(int argc, char *argv[])
{
    // A real X window is the point here.
    if (const int failed = runUnderPrivateXvfb(argc, argv, VELTRIN_WITH_XVFB))
        return failed;
    const ScratchHome home;
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
