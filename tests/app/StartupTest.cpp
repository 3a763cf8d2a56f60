// Start-up through the real sequence and the real main scene, in a child process under a
// private X server: with and without the splash picture and icon in the working directory, and
// with a main scene that cannot be created.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int exitCode = -1;
    QString output;
    QString errors;
    QString logLine;

    // Everything the probe left behind, for failure messages.
    std::string describe() const
    {
        return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3\nlog:\n%4")
            .arg(exitCode)
            .arg(output, errors, logLine)
            .toStdString();
    }
};

class StartupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        ASSERT_TRUE(QDir(m_home.path()).mkpath(QStringLiteral("work")));
    }

    QString workDir() const { return m_home.path() + QStringLiteral("/work"); }

    Outcome start(const QString &scene)
    {
        QProcess probe;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/share"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        // Qt Quick draws in software, so no GLX: Mesa's GL libraries, once loaded, make
        // LeakSanitizer's tracer crash now and then at exit.
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
        probe.setProcessEnvironment(env);
        probe.setWorkingDirectory(workDir());
        probe.start(QStringLiteral(VELTRIN_WITH_XVFB),
                    {QStringLiteral(VELTRIN_STARTUP_PROBE), scene});
        // Bounded by the test's own timeout; a start-up that hangs is a failure there.
        probe.waitForFinished(-1);

        Outcome run;
        run.exitCode = probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1000;
        run.output = QString::fromLocal8Bit(probe.readAllStandardOutput());
        run.errors = QString::fromLocal8Bit(probe.readAllStandardError());
        QFile log(m_home.path() + QStringLiteral("/share/Quorvane/Veltrin/log-dump.log"));
        if (log.open(QIODevice::ReadOnly))
            run.logLine = QString::fromLocal8Bit(log.readAll());
        return run;
    }

    QTemporaryDir m_home;
};

TEST_F(StartupTest, WindowAppearsWithSplashPictureAndIconOnlyFromTheWorkingDirectory)
{
    for (const bool withFiles : {false, true}) {
        for (const char *name : {"splash.jpg", "icon.ico"})
            ASSERT_TRUE(!withFiles
                        || QFile::copy(QStringLiteral(VELTRIN_RESOURCES "/") + QLatin1String(name),
                                       workDir() + QLatin1Char('/') + QLatin1String(name)));
        const Outcome run = start(QStringLiteral("qrc:/main.qml"));
        EXPECT_EQ(run.exitCode, 0) << run.describe();
        // Besides the line the NDI loader prints when it starts.
        EXPECT_TRUE(run.output.contains(
            QStringLiteral("window: Veltrin - Quorvane\nsplash picture: %1\nicon: %1\n")
                .arg(QLatin1String(withFiles ? "yes" : "no"))))
            << run.describe();
    }
}

TEST_F(StartupTest, BrokenMainSceneExitsWithMinusOne)
{
    const QString scene = QUrl::fromLocalFile(QStringLiteral(VELTRIN_BROKEN_SCENE)).toString();
    const Outcome run = start(scene);
    EXPECT_EQ(run.exitCode, 255) << run.describe(); // -1 as a process exit status
    EXPECT_TRUE(run.output.isEmpty()) << run.describe();
    // The QML error went to the log file, not to the terminal.
    EXPECT_FALSE(run.errors.contains(QStringLiteral("NoSuchWindowType"))) << run.describe();
    EXPECT_TRUE(run.logLine.startsWith(QStringLiteral("Warning: "))) << run.describe();
    EXPECT_TRUE(run.logLine.contains(QStringLiteral("NoSuchWindowType is not a type")))
        << run.describe();
}

} // namespace
