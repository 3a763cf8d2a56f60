// The log-file message handler: the data directory it makes and moves into, the one line of the
// latest message in its type's format, and fatal messages (the start-up test covers the handler
// once installed).
#include "LoggingUtils.h"

#include <QDir>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

TEST(LogHandlerTest, WritesTheLatestMessageAloneInItsTypesFormat)
{
    const QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // A data directory that does not exist yet, several levels down.
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/missing/share")).toUtf8());
    const QString dir = home.path() + QStringLiteral("/missing/share/Quorvane/Veltrin");
    const auto read = [&] {
        QFile file(dir + QStringLiteral("/log-dump.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<no file>";
    };
    const auto logged = [&](QtMsgType type, const char *text, bool place = true) {
        const QMessageLogContext context("player.cpp", 42, "void play()", "default"), none;
        LoggingUtils::appQtMessageHandler(type, place ? context : none, text);
        return read();
    };
    const char *place = " (player.cpp:42, void play())\n";
    EXPECT_EQ(logged(QtDebugMsg, "device gone"), std::string("Debug: device gone") + place);
    EXPECT_EQ(logged(QtWarningMsg, "device gone"), std::string("Warning: device gone") + place);
    EXPECT_EQ(logged(QtCriticalMsg, "device gone"), std::string("Critical: device gone") + place);
    EXPECT_EQ(logged(QtInfoMsg, "device gone"), std::string("Info: device gone") + place);
    EXPECT_EQ(QDir::currentPath(), QDir(dir).canonicalPath());
    // What release builds of Qt hand over: no place.
    EXPECT_EQ(logged(QtWarningMsg, "late", false), "Warning: late (unknown:0, unknown)\n");
    ::testing::FLAGS_gtest_death_test_style = "fast"; // the child writes where this test looks
    EXPECT_EXIT(logged(QtFatalMsg, "no way on"), ::testing::KilledBySignal(SIGABRT), "");
    EXPECT_EQ(read(), std::string("Fatal: no way on") + place);
}
