// Routes every Qt diagnostic of the process into one file, "log-dump.log", in the user's
// application-data directory. The file holds only the most recent message.
//
// Threads: the handler runs on whichever thread emits a message; one process-wide mutex
// serialises whole calls, because each call sets the application-wide names and truncates the
// shared file. It keeps no state between calls. Not for the audio path.
#pragma once

#include <QString>
#include <QtGlobal>

namespace LoggingUtils {

// Installs appQtMessageHandler as the process-wide Qt message handler.
void installQtMessageHandler();

// Writes one line for `msg` to the log file, replacing what the file held. A fatal message
// aborts the process once its line is on disk.
void appQtMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

} // namespace LoggingUtils
