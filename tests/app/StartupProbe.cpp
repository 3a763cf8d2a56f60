// Test-only entry point: main()'s start-up with the real controller over the fake PortAudio's
// studio devices and a main scene given on the command line; the test gives it a scratch home. Once the main window has drawn its first frame it prints what the user
// would see (the window title, whether the splash had a picture, whether an icon was found)
// and quits with 0. A scene that fails leaves the start-up's own exit code.
#include "LeakCheck.h"
#include "LoggingUtils.h"
#include "PageRig.h"
#include "Startup.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSplashScreen>
#include <QtQml>
#include <cstdio>
#include <memory>

namespace {

bool splashHasPicture()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *splash = qobject_cast<QSplashScreen *>(widget))
            return splash->isVisible() && !splash->pixmap().isNull();
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    PageRig().setDevices(PageRig::studioDevices());
    LoggingUtils::installQtMessageHandler();
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s scene-url\n", argv[0]);
        return 2;
    }
    const QUrl scene(QString::fromLocal8Bit(argv[1]));
    const int result =
        Startup::run(argc, argv, scene, PageRig::registerTypes, [](QQmlApplicationEngine &engine) {
            const bool picture = splashHasPicture();
            const auto roots = engine.rootObjects();
            auto *window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
            if (!window)
                return;
            // Several frames can be drawn before the exit request is handled; report the first.
            auto reported = std::make_shared<bool>(false);
            QObject::connect(
                window, &QQuickWindow::frameSwapped, window, [window, picture, reported] {
                    if (*reported)
                        return;
                    *reported = true;
                    std::printf("window: %s\nsplash picture: %s\nicon: %s\n",
                                qPrintable(window->title()), picture ? "yes" : "no",
                                QApplication::windowIcon().pixmap(32).isNull() ? "no" : "yes");
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                });
        });
    checkLeaksNow();
    return result;
}
