#include "AudioRoute.h"
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
    // Before anything else: it may run the program again on PipeWire's JACK library.
    veltrin::audio::chooseAudioRoute(argv);
    // Then, so that every later Qt message lands in the log file.
    LoggingUtils::installQtMessageHandler();
    return Startup::run(argc, argv, QUrl(QStringLiteral("qrc:/main.qml")), registerWrapper);
}
