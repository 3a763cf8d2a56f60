#include "InOut.h"

#include "Audio.Capture.Playback.h"
#include "StreamLog.h"

#include <string>
#include <utility>

namespace {

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace

InOut::InOut(QObject *parent) : QThread(parent) {}

InOut::~InOut()
{
    // run() has no event loop: the wait ends when the engine call has returned.
    quit();
    wait();
}

void InOut::setParams(QString device, QString ndiSendName, QString ndiReceiveSource, float gainDb,
                      unsigned int framesPerBuffer, unsigned int sampleRate)
{
    m_device = std::move(device);
    m_ndiSendName = std::move(ndiSendName);
    m_ndiReceiveSource = std::move(ndiReceiveSource);
    m_gainDb = gainDb;
    m_framesPerBuffer = framesPerBuffer;
    m_sampleRate = sampleRate;
}

void InOut::run()
{
    // One gain for both directions: the duplex page has a single level control.
    const int ran = process_duplex(utf8(m_device), utf8(m_ndiSendName), utf8(m_ndiReceiveSource),
                                   m_gainDb, m_gainDb, m_framesPerBuffer, m_sampleRate);
    if (ran == 0)
        logRefusedStart(QStringLiteral("Duplex"),
                        QStringLiteral("device \"%1\", NDI name \"%2\", NDI source \"%3\"")
                            .arg(m_device, m_ndiSendName, m_ndiReceiveSource),
                        m_framesPerBuffer, m_sampleRate);
}
