// The shell's start-up and its log: main()'s sequence with the real controller over the fake
// PortAudio (no devices) and the main scene, each run in a child of the test with a scratch
// home, with and without the splash picture and icon in the working directory and with a main
// scene that cannot be created; and the log-file message handler alone.
#include "Startup.h"

#include "LeakCheck.h"
#include "LoggingUtils.h"
#include "wrapper.h"

#include <QApplication>
#include <QDir>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSplashScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQml>
#include <csignal>
#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::HasSubstr;
using testing::Not;

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

// main()'s start-up on `scene`; once the main window has drawn its first frame, says on
// standard error what the user would see (the window title, whether the splash had a picture,
// whether an icon was found) and quits with 0. A scene that fails leaves the start-up's own
// exit code. Runs in a death test's child: it ends the process.
[[noreturn]] void startOn(const QString &scene)
{
    LoggingUtils::installQtMessageHandler();
    int argc = 1;
    char name[] = "veltrin", *argv[] = {name, nullptr};
    const int result = Startup::run(
        argc, argv, QUrl(scene),
        [] { qmlRegisterType<Wrapper>("com.quorvane.wrapper", 1, 0, "Wrapper"); },
        [](QQmlApplicationEngine &engine) {
            // A scene that neither shows nor fails would otherwise hold the test to its time-out.
            QTimer::singleShot(60000, [] { std::_Exit(3); });
            bool picture = false;
            for (QWidget *widget : QApplication::topLevelWidgets())
                if (auto *splash = qobject_cast<QSplashScreen *>(widget))
                    picture = splash->isVisible() && !splash->pixmap().isNull();
            auto *window = engine.rootObjects().isEmpty()
                               ? nullptr
                               : qobject_cast<QQuickWindow *>(engine.rootObjects().first());
            if (window)
                QObject::connect(window, &QQuickWindow::frameSwapped, window, [window, picture] {
                    std::fprintf(stderr, "window: %s\nsplash picture: %s\nicon: %s\n",
                                 qPrintable(window->title()), picture ? "yes" : "no",
                                 QApplication::windowIcon().pixmap(32).isNull() ? "no" : "yes");
                    std::fflush(stderr);
                    std::_Exit(0);
                });
        });
    checkLeaksNow();
    std::_Exit(result);
}

TEST(StartupTest, WindowAppearsOrABrokenSceneExitsWithMinusOne)
{
    const QTemporaryDir home;
    ASSERT_TRUE(home.isValid() && QDir(home.path()).mkpath(QStringLiteral("work")));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    ASSERT_TRUE(QDir::setCurrent(home.filePath(QStringLiteral("work"))));
    ::testing::FLAGS_gtest_death_test_style = "fast"; // the children share this test's paths
    for (const char *files : {"no", "yes"}) {
        for (const char *name : {"splash.jpg", "icon.ico"})
            ASSERT_TRUE(files[0] == 'n'
                        || QFile::copy(VELTRIN_RESOURCES "/" + QString(name), name));
        EXPECT_EXIT(
            startOn(QStringLiteral("qrc:/main.qml")), testing::ExitedWithCode(0),
            HasSubstr(QStringLiteral("window: Veltrin - Quorvane\nsplash picture: %1\nicon: %1\n")
                          .arg(files)
                          .toStdString()));
    }
    // A main scene that cannot be created: exit -1, the reason in the log file, not on the
    // terminal.
    EXPECT_EXIT(startOn(QUrl::fromLocalFile(QStringLiteral(VELTRIN_BROKEN_SCENE)).toString()),
                testing::ExitedWithCode(255),
                Not(testing::AnyOf(HasSubstr("window:"), HasSubstr("NoSuchWindowType"))));
    const QByteArray log =
        read(home.filePath(QStringLiteral("share/Quorvane/Veltrin/log-dump.log")));
    EXPECT_TRUE(log.startsWith("Warning: ") && log.contains("NoSuchWindowType is not a type"))
        << log.data();
}

// The one line of the latest message in its type's format, in a data directory made on the
// way; fatal messages end the program after their line.
TEST(LogHandlerTest, WritesTheLatestMessageAloneInItsTypesFormat)
{
    const QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/missing/share")).toUtf8());
    const QString dir = home.path() + QStringLiteral("/missing/share/Quorvane/Veltrin");
    const auto logged = [&](QtMsgType type, const char *text, bool place = true) {
        const QMessageLogContext context("player.cpp", 42, "void play()", "default"), none;
        LoggingUtils::appQtMessageHandler(type, place ? context : none, text);
        return read(dir + QStringLiteral("/log-dump.log")).toStdString();
    };
    const std::string place = " (player.cpp:42, void play())\n";
    EXPECT_EQ(logged(QtDebugMsg, "device gone"), "Debug: device gone" + place);
    EXPECT_EQ(logged(QtWarningMsg, "device gone"), "Warning: device gone" + place);
    EXPECT_EQ(logged(QtCriticalMsg, "device gone"), "Critical: device gone" + place);
    EXPECT_EQ(logged(QtInfoMsg, "device gone"), "Info: device gone" + place);
    EXPECT_EQ(QDir::currentPath(), QDir(dir).canonicalPath());
    // What release builds of Qt hand over: no place.
    EXPECT_EQ(logged(QtWarningMsg, "late", false), "Warning: late (unknown:0, unknown)\n");
    ::testing::FLAGS_gtest_death_test_style = "fast"; // the child writes where this test looks
    EXPECT_EXIT(logged(QtFatalMsg, "no way on"), ::testing::KilledBySignal(SIGABRT), "");
    EXPECT_EQ(read(dir + QStringLiteral("/log-dump.log")).toStdString(),
              "Fatal: no way on" + place);
}

} // namespace
