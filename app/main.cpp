#include "LoggingUtils.h"
#include "Startup.h"
#include "wrapper.h"

#include <QtQml>

namespace {

void registerWrapper()
{
    qmlRegisterType<Wrapper>("com.quorvane.wrapper", 1, 0, "Wrapper");
}

} // namespace

int main(int argc, char *argv[])
{
    // First of all, so that every later Qt message lands in the log file.
    LoggingUtils::installQtMessageHandler();
    return Startup::run(argc, argv, QUrl(QStringLiteral("qrc:/main.qml")), registerWrapper);
}
