// The log line of a stream that could not start. Errors do not travel back to the user
// interface (its switch stays on), and the audio engine prints its reasons on standard output,
// which the window's users never see: this line in the log file is what they can find.
#pragma once

#include <QString>

// Any thread; once per refused start. `stream` names it as the pages do, `what` holds the
// device and NDI names it was started with.
void logRefusedStart(const QString &stream, const QString &what, unsigned int framesPerBuffer,
                     unsigned int sampleRate);
