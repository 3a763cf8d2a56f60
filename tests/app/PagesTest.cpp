// Qt Quick tests of the main window and its pages, run against FakeWrapper.
#include "FakeControl.h"
#include "FakeWrapper.h"
#include "LeakCheck.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QUrl>
#include <QtQml>
#include <QtQuickTest>

class PagesTestSetup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Material")); }
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        qmlRegisterType<FakeWrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
        qmlRegisterSingletonType<FakeControl>(
            "Veltrin.Test", 1, 0, "Fake",
            [](QQmlEngine *, QJSEngine *) -> QObject * { return new FakeControl; });
        engine->rootContext()->setContextProperty(QStringLiteral("helpPage"),
                                                  QUrl(QStringLiteral("file:///help/index.html")));
    }
};

int main(int argc, char **argv)
{
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
