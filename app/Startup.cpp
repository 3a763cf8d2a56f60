#include "Startup.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QPixmap>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QSplashScreen>
#include <QTimer>

namespace Startup {

QUrl helpPageUrl()
{
    const QDir binDir(QCoreApplication::applicationDirPath());
    const QString installed =
        binDir.absoluteFilePath(QStringLiteral("../share/veltrin/help/index.html"));
    const QString beside = binDir.absoluteFilePath(QStringLiteral("help/index.html"));
    const QString page =
        QFileInfo::exists(installed) || !QFileInfo::exists(beside) ? installed : beside;
    return QUrl::fromLocalFile(QDir::cleanPath(page));
}

int run(int &argc, char **argv, const QUrl &mainUrl, TypeRegistration registerTypes,
        const LoadedHook &loaded)
{
    QCoreApplication::setAttribute(Qt::AA_DisableWindowContextHelpButton, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    QApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));

    // Plain paths relative to the working directory: run.sh and the desktop entry start
    // Veltrin where both files are. Missing files give no splash picture and no icon.
    const QPixmap splashPicture(QStringLiteral("splash.jpg"));
    QPointer<QSplashScreen> splash = new QSplashScreen(splashPicture);
    splash->setAttribute(Qt::WA_DeleteOnClose);
    splash->show();
    splash->showMessage(QStringLiteral("Loading modules..."), Qt::AlignHCenter | Qt::AlignBottom,
                        Qt::white);
    QApplication::setWindowIcon(QIcon(QStringLiteral("icon.ico")));

    registerTypes();

    QQmlApplicationEngine engine;
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [mainUrl](QObject *object, const QUrl &url) {
            if (!object && url == mainUrl)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine.rootContext()->setContextProperty(QStringLiteral("helpPage"), helpPageUrl());
    // Synchronous: the scene and its controller are built while the splash is up.
    engine.load(mainUrl);
    if (loaded)
        loaded(engine);

    // Fires only once the event loop runs, so the splash covers the whole load.
    QTimer::singleShot(10, splash.data(), &QSplashScreen::close);
    const int result = app.exec();

    // An early exit (a broken scene) leaves the splash open; it goes before the application.
    delete splash.data();
    return result;
}

} // namespace Startup
