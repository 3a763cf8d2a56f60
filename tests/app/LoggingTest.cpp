// The log-file message handler: line formats, truncation, the data directory and fatal messages
// (the start-up test covers the handler once installed).
#include "LoggingUtils.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

namespace {

class LogHandlerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        // A data directory that does not exist yet, several levels down.
        m_dataHome = m_home.path() + QStringLiteral("/missing/share");
        qputenv("XDG_DATA_HOME", m_dataHome.toUtf8());
        m_logDir = m_dataHome + QStringLiteral("/Quorvane/Veltrin");
    }

    QByteArray logText() const
    {
        QFile file(m_logDir + QStringLiteral("/log-dump.log"));
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray("<no file>");
        return file.readAll();
    }

    static void log(QtMsgType type, const QString &text, const char *file = "player.cpp",
                    int line = 42, const char *function = "void play()")
    {
        const QMessageLogContext context(file, line, function, "default");
        LoggingUtils::appQtMessageHandler(type, context, text);
    }

    QTemporaryDir m_home;
    QString m_dataHome;
    QString m_logDir;
};

// The first message creates the data directory and moves into it; each message replaces the
// file with its one line; an unknown type leaves it empty.
TEST_F(LogHandlerTest, WritesTheLatestMessageAloneInItsTypesFormat)
{
    ASSERT_FALSE(QDir(m_dataHome).exists());
    const struct {
        QtMsgType type;
        const char *line;
    } cases[] = {
        {QtDebugMsg, "Debug: device gone (player.cpp:42, void play())\n"},
        {QtWarningMsg, "Warning: device gone (player.cpp:42, void play())\n"},
        {QtCriticalMsg, "Critical: device gone (player.cpp:42, void play())\n"},
        {QtInfoMsg, "Info: device gone (player.cpp:42, void play())\n"},
    };
    for (const auto &c : cases) {
        log(c.type, QStringLiteral("device gone"));
        EXPECT_EQ(logText(), QByteArray(c.line)) << "type " << c.type;
    }
    EXPECT_EQ(QDir::currentPath(), QDir(m_logDir).canonicalPath());
    EXPECT_EQ(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation), m_logDir);
    log(static_cast<QtMsgType>(9), QStringLiteral("odd"));
    EXPECT_EQ(logText(), QByteArray());
    const QMessageLogContext context; // what release builds of Qt hand over
    LoggingUtils::appQtMessageHandler(QtWarningMsg, context, QStringLiteral("late buffer"));
    EXPECT_EQ(logText(), QByteArray("Warning: late buffer (unknown:0, unknown)\n"));
}

TEST_F(LogHandlerTest, UncreatableDirectoryDropsTheMessage)
{
    // A plain file where the data directory should be.
    QFile blocker(m_home.path() + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_DATA_HOME", blocker.fileName().toUtf8());
    const QString before = QDir::currentPath();
    log(QtWarningMsg, QStringLiteral("lost"));
    EXPECT_EQ(QDir::currentPath(), before);
    EXPECT_FALSE(
        QFile::exists(blocker.fileName() + QStringLiteral("/Quorvane/Veltrin/log-dump.log")));
}

TEST_F(LogHandlerTest, FatalWritesItsLineAndAborts)
{
    // Forked without exec, so the child writes where this fixture looks.
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(log(QtFatalMsg, QStringLiteral("no way on")), ::testing::KilledBySignal(SIGABRT),
                "");
    EXPECT_EQ(logText(), QByteArray("Fatal: no way on (player.cpp:42, void play())\n"));
}

} // namespace
