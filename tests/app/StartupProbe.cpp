// Test-only entry point: main()'s start-up with the real controller over the fake PortAudio (no
// devices) and the main scene named on the command line; the test gives it a scratch home.
// Once the main window has drawn its first frame it prints what the user would see (the window
// title, whether the splash had a picture, whether an icon was found) and quits with 0. A scene
// that fails leaves the start-up's own exit code.
#include "LeakCheck.h"
#include "LoggingUtils.h"
#include "Startup.h"
#include "wrapper.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSplashScreen>
#include <QtQml>
#include <cstdio>
#include <memory>
#include <utility>

int main(int argc, char *argv[])
{
    LoggingUtils::installQtMessageHandler();
    const QUrl scene(QString::fromLocal8Bit(argc > 1 ? argv[1] : ""));
    const auto registerTypes = [] {
        qmlRegisterType<Wrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
    };
    const int result =
        Startup::run(argc, argv, scene, registerTypes, [](QQmlApplicationEngine &engine) {
            bool picture = false;
            for (QWidget *widget : QApplication::topLevelWidgets())
                if (auto *splash = qobject_cast<QSplashScreen *>(widget))
                    picture = splash->isVisible() && !splash->pixmap().isNull();
            const auto roots = engine.rootObjects();
            auto *window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
            if (!window)
                return;
            // Several frames can be drawn before the exit request is handled; report the first.
            auto reported = std::make_shared<bool>(false);
            QObject::connect(
                window, &QQuickWindow::frameSwapped, window, [window, picture, reported] {
                    if (std::exchange(*reported, true))
                        return;
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
