// Start-up through the real sequence and the real main scene, in a child process under a
// private X server: with and without the splash picture and icon in the working directory, and
// with a main scene that cannot be created.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int exitCode;
    QString output, errors, log;
    std::string describe() const
    {
        return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3\nlog:\n%4")
            .arg(exitCode)
            .arg(output, errors, log)
            .toStdString();
    }
};

// Starts the probe on `scene` with the home `home` and its working directory in home/work.
Outcome start(const QString &home, const QString &scene)
{
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/share"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    // Qt Quick draws in software, so no GLX: Mesa's GL libraries, once loaded, make
    // LeakSanitizer's tracer crash now and then at exit.
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    probe.setProcessEnvironment(env);
    probe.setWorkingDirectory(home + QStringLiteral("/work"));
    probe.start(QStringLiteral(VELTRIN_WITH_XVFB), {QStringLiteral(VELTRIN_STARTUP_PROBE), scene});
    probe.waitForFinished(-1); // bounded by the test's own time-out
    QFile log(home + QStringLiteral("/share/Quorvane/Veltrin/log-dump.log"));
    log.open(QIODevice::ReadOnly);
    return {probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1000,
            QString::fromLocal8Bit(probe.readAllStandardOutput()),
            QString::fromLocal8Bit(probe.readAllStandardError()),
            QString::fromLocal8Bit(log.readAll())};
}

// The window appears, with the splash picture and the icon only when they are in the working
// directory. A main scene that cannot be created exits with -1, its reason in the log file and
// not on the terminal.
TEST(StartupTest, WindowAppearsOrABrokenSceneExitsWithMinusOne)
{
    const QTemporaryDir home;
    ASSERT_TRUE(home.isValid() && QDir(home.path()).mkpath(QStringLiteral("work")));
    for (const bool withFiles : {false, true}) {
        for (const char *name : {"splash.jpg", "icon.ico"})
            ASSERT_TRUE(!withFiles
                        || QFile::copy(QStringLiteral(VELTRIN_RESOURCES "/") + QLatin1String(name),
                                       home.filePath(QStringLiteral("work/") + name)));
        const Outcome run = start(home.path(), QStringLiteral("qrc:/main.qml"));
        EXPECT_EQ(run.exitCode, 0) << run.describe();
        // Besides the line the NDI loader prints when it starts.
        EXPECT_TRUE(run.output.contains(
            QStringLiteral("window: Veltrin - Quorvane\nsplash picture: %1\nicon: %1\n")
                .arg(QLatin1String(withFiles ? "yes" : "no"))))
            << run.describe();
    }
    const Outcome run =
        start(home.path(), QUrl::fromLocalFile(QStringLiteral(VELTRIN_BROKEN_SCENE)).toString());
    EXPECT_TRUE(run.exitCode == 255 && run.output.isEmpty()) << run.describe();
    EXPECT_FALSE(run.errors.contains(QStringLiteral("NoSuchWindowType"))) << run.describe();
    EXPECT_TRUE(run.log.startsWith(QStringLiteral("Warning: "))
                && run.log.contains(QStringLiteral("NoSuchWindowType is not a type")))
        << run.describe();
}

} // namespace
