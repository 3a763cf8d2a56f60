// The log-file message handler: the data directory it makes and moves into, the one line of the
// latest message in its type's format, and fatal messages (the start-up test covers the handler
// once installed).
#include "LoggingUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

namespace {

QByteArray logText(const QString &dir)
{
    QFile file(dir + QStringLiteral("/log-dump.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

void log(QtMsgType type, const char *text)
{
    const QMessageLogContext context("player.cpp", 42, "void play()", "default");
    LoggingUtils::appQtMessageHandler(type, context, QString::fromUtf8(text));
}

TEST(LogHandlerTest, WritesTheLatestMessageAloneInItsTypesFormat)
{
    const QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // A data directory that does not exist yet, several levels down.
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/missing/share")).toUtf8());
    const QString dir = home.path() + QStringLiteral("/missing/share/Quorvane/Veltrin");
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
        log(c.type, "device gone");
        EXPECT_EQ(logText(dir), QByteArray(c.line)) << "type " << c.type;
    }
    EXPECT_EQ(QDir::currentPath(), QDir(dir).canonicalPath());
    // What release builds of Qt hand over: no place.
    LoggingUtils::appQtMessageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("late"));
    EXPECT_EQ(logText(dir), QByteArray("Warning: late (unknown:0, unknown)\n"));

    ::testing::FLAGS_gtest_death_test_style = "fast"; // the child writes where this test looks
    EXPECT_EXIT(log(QtFatalMsg, "no way on"), ::testing::KilledBySignal(SIGABRT), "");
    EXPECT_EQ(logText(dir), QByteArray("Fatal: no way on (player.cpp:42, void play())\n"));
}

} // namespace
