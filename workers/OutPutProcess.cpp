#include "OutPutProcess.h"

#include "Audio.Capture.Playback.h"
#include "StreamLog.h"

#include <string>
#include <utility>

OutPutProcess::OutPutProcess(QObject *parent) : QThread(parent) {}

OutPutProcess::~OutPutProcess()
{
    m_running.exchange(false);
    // run() has no event loop: the wait ends when the engine call has returned.
    quit();
    wait();
}

void OutPutProcess::setParams(QString device, QString ndiSource, float gainDb,
                              unsigned int framesPerBuffer, unsigned int sampleRate)
{
    m_device = std::move(device);
    m_ndiSource = std::move(ndiSource);
    m_gainDb = gainDb;
    m_framesPerBuffer = framesPerBuffer;
    m_sampleRate = sampleRate;
}

void OutPutProcess::startThread()
{
    m_running.exchange(true);
    start(QThread::InheritPriority);
}

void OutPutProcess::stopThread()
{
    m_running.exchange(false);
}

void OutPutProcess::run()
{
    const QByteArray device = m_device.toUtf8();
    const QByteArray ndiSource = m_ndiSource.toUtf8();
    const int ran =
        process_output(std::string(device.constData(), static_cast<size_t>(device.size())),
                       std::string(ndiSource.constData(), static_cast<size_t>(ndiSource.size())),
                       m_gainDb, m_framesPerBuffer, m_sampleRate);
    if (ran == 0)
        logRefusedStart(
            QStringLiteral("NDI to playback"),
            QStringLiteral("device \"%1\", NDI source \"%2\"").arg(m_device, m_ndiSource),
            m_framesPerBuffer, m_sampleRate);
}
