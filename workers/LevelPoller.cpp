#include "LevelPoller.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr unsigned long kPeriodMs = 70;
}

double LevelPoller::blockLevel(const float *interleaved, int32_t channels, int32_t frames)
{
    // 64-bit product: a corrupt header must not overflow into a bogus positive count.
    const int64_t n = static_cast<int64_t>(channels) * frames;
    float sum = 0.0f;
    for (int64_t i = 0; i < n; ++i)
        sum += interleaved[i] * interleaved[i];
    return std::log10(static_cast<double>(sum));
}

LevelPoller::LevelPoller(const LevelTap &tap, QObject *parent) : QThread(parent), m_tap(tap) {}

LevelPoller::~LevelPoller()
{
    // An owner that forgot stopRead() would otherwise wait forever.
    m_running.store(false);
    quit();
    wait();
}

void LevelPoller::startRead()
{
    m_running.store(true);
    start(QThread::InheritPriority);
}

void LevelPoller::stopRead()
{
    m_running.store(false);
}

void LevelPoller::run()
{
    LevelTap::Block block;
    if (m_running.load()) {
        for (;;) {
            m_tap.snapshot(block);
            // Never read past the copy, whatever its header says.
            const int64_t held = block.channels > 0
                                     ? static_cast<int64_t>(block.samples.size()) / block.channels
                                     : 0;
            const auto frames = static_cast<int32_t>(std::min<int64_t>(block.frames, held));
            const double level = blockLevel(block.samples.data(), block.channels, frames);
            emit toBuffData(level);
            QThread::msleep(kPeriodMs);
            if (!m_running.load())
                break;
        }
    }
    const double stopped = kStoppedLevel;
    emit toBuffData(stopped);
}
