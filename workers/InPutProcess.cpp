#include "InPutProcess.h"

#include "Audio.Capture.Playback.h"
#include "StreamLog.h"

#include <string>
#include <utility>

InPutProcess::InPutProcess(QObject *parent) : QThread(parent) {}

InPutProcess::~InPutProcess()
{
    m_running.exchange(false);
    // run() has no event loop: the wait ends when the engine call has returned.
    quit();
    wait();
}

void InPutProcess::setParams(QString device, QString ndiName, float gainDb,
                             unsigned int framesPerBuffer, unsigned int sampleRate)
{
    m_device = std::move(device);
    m_ndiName = std::move(ndiName);
    m_gainDb = gainDb;
    m_framesPerBuffer = framesPerBuffer;
    m_sampleRate = sampleRate;
}

void InPutProcess::startThread()
{
    m_running.exchange(true);
    start(QThread::InheritPriority);
}

void InPutProcess::stopThread()
{
    m_running.exchange(false);
}

void InPutProcess::run()
{
    const QByteArray device = m_device.toUtf8();
    const QByteArray ndiName = m_ndiName.toUtf8();
    const int ran =
        process_input(std::string(device.constData(), static_cast<size_t>(device.size())),
                      std::string(ndiName.constData(), static_cast<size_t>(ndiName.size())),
                      m_gainDb, m_framesPerBuffer, m_sampleRate);
    if (ran == 0)
        logRefusedStart(QStringLiteral("Capture to NDI"),
                        QStringLiteral("device \"%1\", NDI name \"%2\"").arg(m_device, m_ndiName),
                        m_framesPerBuffer, m_sampleRate);
}
