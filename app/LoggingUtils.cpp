#include "LoggingUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace LoggingUtils {
namespace {

std::mutex &handlerMutex()
{
    static std::mutex mutex;
    return mutex;
}

const char *formatFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug: %s (%s:%u, %s)\n";
    case QtWarningMsg:
        return "Warning: %s (%s:%u, %s)\n";
    case QtCriticalMsg:
        return "Critical: %s (%s:%u, %s)\n";
    case QtFatalMsg:
        return "Fatal: %s (%s:%u, %s)\n";
    case QtInfoMsg:
        return "Info: %s (%s:%u, %s)\n";
    }
    return nullptr;
}

} // namespace

void installQtMessageHandler()
{
    qInstallMessageHandler(appQtMessageHandler);
}

void appQtMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // Qt never lets an exception out of its logging, and this handler must not either.
    std::lock_guard<std::mutex> lock(handlerMutex());

    QCoreApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Veltrin"));

    const QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString path = location + QStringLiteral("/log-dump.log");
    const QDir dir(location);
    if (!dir.mkpath(dir.absolutePath()))
        return;
    if (!QDir::setCurrent(location))
        return;

    FILE *file = std::fopen(path.toUtf8().constData(), "w+");
    if (!file)
        return;

    if (const char *format = formatFor(type)) {
        const QByteArray text = msg.toLocal8Bit();
        // Release builds of Qt give no file or function name.
        const char *fileName = context.file ? context.file : "unknown";
        const unsigned line = context.file ? static_cast<unsigned>(context.line) : 0u;
        const char *function = context.function ? context.function : "unknown";
        std::fprintf(file, format, text.constData(), fileName, line, function);
    }

    if (type == QtFatalMsg) {
        std::fflush(file);
        std::abort();
    }
    std::fclose(file);
}

} // namespace LoggingUtils
