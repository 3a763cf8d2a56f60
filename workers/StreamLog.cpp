#include "StreamLog.h"

#include <QDebug>

void logRefusedStart(const QString &stream, const QString &what, unsigned int framesPerBuffer,
                     unsigned int sampleRate)
{
    qWarning().noquote() << QStringLiteral("%1 did not start: %2, %3 frames at %4 Hz; the audio "
                                           "engine printed why on standard output.")
                                .arg(stream, what)
                                .arg(framesPerBuffer)
                                .arg(sampleRate);
}
