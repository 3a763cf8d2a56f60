#include "Audio.Capture.Playback.h"
#include "DeviceLossWatch.h"
#include "InOut.h"
#include "InPutProcess.h"
#include "OutPutProcess.h"
#include "ReadBufferData.h"
#include "ReadInBuffData.h"
#include "StreamControl.h"
#include "wrapper.h"

namespace {
// Streams run at unity gain; the engine takes gains in decibels.
constexpr float kUnityGainDb = 0.0f;
} // namespace

// Each start copies the current choices, so later property writes only reach the next start;
// they reach the worker when it starts, which is at once unless the previous run of the
// stream is still ending. The worker is started before its poller, and each stop asks the
// engine first (StreamControl repeats the request until the worker has ended).

void Wrapper::startInThread()
{
    m_inControl->start([this, device = m_inPutDev, name = m_ndiInSourName, frames = m_buffSize,
                        rate = static_cast<unsigned int>(m_rates)] {
        m_inPutProcess->setParams(device, name, kUnityGainDb, frames, rate);
        m_inPutProcess->startThread();
    });
    m_readInBuffData->startRead();
}

void Wrapper::startOutThread()
{
    m_outControl->start([this, device = m_outPutDev, source = m_ndiOutSourceName,
                         frames = m_buffOutSize, rate = static_cast<unsigned int>(m_ratesOut)] {
        m_outPutProcess->setParams(device, source, kUnityGainDb, frames, rate);
        m_outPutProcess->startThread();
    });
    m_readBufferData->startRead();
}

void Wrapper::startInOutThread()
{
    m_inOutControl->start([this, device = m_inOutPutDev, name = m_ndiInSourNameDuplex,
                           source = m_ndiOutDuplexSourceName, frames = m_buffDuplexSize,
                           rate = static_cast<unsigned int>(m_rateDuplex)] {
        m_inOut->setParams(device, name, source, kUnityGainDb, frames, rate);
        m_inOut->start(QThread::InheritPriority);
    });
    m_readBufferData->startRead();
    m_readInBuffData->startRead();
}

void Wrapper::stopInThread()
{
    m_inControl->stop();
    setLevel(0.0);
    m_readInBuffData->stopRead();
}

void Wrapper::stopOutThread()
{
    m_outControl->stop();
    setOutLevel(0.0);
    m_readBufferData->stopRead();
}

void Wrapper::stopInOutThread()
{
    m_inOutControl->stop();
    m_readBufferData->stopRead();
    m_readInBuffData->stopRead();
}

QString Wrapper::inDeviceState() const
{
    return m_inLoss->state();
}

QString Wrapper::outDeviceState() const
{
    return m_outLoss->state();
}

QString Wrapper::duplexDeviceState() const
{
    return m_duplexLoss->state();
}

void Wrapper::pollDeviceLoss()
{
    if (m_inLoss->poll())
        emit inDeviceStateChanged();
    if (m_outLoss->poll())
        emit outDeviceStateChanged();
    if (m_duplexLoss->poll())
        emit duplexDeviceStateChanged();
}
