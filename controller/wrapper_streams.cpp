#include "Audio.Capture.Playback.h"
#include "InOut.h"
#include "InPutProcess.h"
#include "OutPutProcess.h"
#include "ReadBufferData.h"
#include "ReadInBuffData.h"
#include "wrapper.h"

namespace {
// Streams run at unity gain; the engine takes gains in decibels.
constexpr float kUnityGainDb = 0.0f;
} // namespace

// Each start copies the current choices into the worker, so later property writes only reach
// the next start. The worker is started before its poller, and each stop asks the engine first.

void Wrapper::startInThread()
{
    m_inPutProcess->setParams(m_inPutDev, m_ndiInSourName, kUnityGainDb, m_buffSize,
                              static_cast<unsigned int>(m_rates));
    m_inPutProcess->startThread();
    m_readInBuffData->startRead();
}

void Wrapper::startOutThread()
{
    m_outPutProcess->setParams(m_outPutDev, m_ndiOutSourceName, kUnityGainDb, m_buffOutSize,
                               static_cast<unsigned int>(m_ratesOut));
    m_outPutProcess->startThread();
    m_readBufferData->startRead();
}

void Wrapper::startInOutThread()
{
    m_inOut->setParams(m_inOutPutDev, m_ndiInSourNameDuplex, m_ndiOutDuplexSourceName, kUnityGainDb,
                       m_buffDuplexSize, static_cast<unsigned int>(m_rateDuplex));
    m_inOut->start(QThread::InheritPriority);
    m_readBufferData->startRead();
    m_readInBuffData->startRead();
}

void Wrapper::stopInThread()
{
    stopAudioInput();
    setLevel(0.0);
    m_readInBuffData->stopRead();
}

void Wrapper::stopOutThread()
{
    stopAudioOutput();
    setOutLevel(0.0);
    m_readBufferData->stopRead();
}

void Wrapper::stopInOutThread()
{
    stopAudioDuplex();
    m_readBufferData->stopRead();
    m_readInBuffData->stopRead();
}
