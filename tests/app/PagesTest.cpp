// Qt Quick tests of the main window and its pages on the real controller, with the fake
// PortAudio's devices and the built-in NDI runtime on loopback. Settings and the NDI
// configuration file go to a scratch home.
#include "LeakCheck.h"
#include "PageRig.h"
#include "ScratchHome.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QUrl>
#include <QtQuickTest>

class PagesTestSetup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Material")); }
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        PageRig::registerTypes();
        engine->rootContext()->setContextProperty(QStringLiteral("helpPage"),
                                                  QUrl(QStringLiteral("file:///help/index.html")));
        engine->rootContext()->setContextProperty(QStringLiteral("studioDevices"),
                                                  PageRig::studioDevices());
    }
};

int main(int argc, char **argv)
{
    const ScratchHome home;
    if (!home.valid())
        return 1;
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
