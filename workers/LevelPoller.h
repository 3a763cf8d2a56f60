// Turns the latest block of one engine level tap into a meter value, about every 70 ms.
//
// Owns a running flag and its own copy of the block. startRead()/stopRead() run on the owner's
// thread; run() polls on this thread and hands each value out through toBuffData(), which
// reaches a receiver in another thread queued. The tap is a seqlock owned by the engine, so
// the poller never reads sample memory that a stream frees or rewrites.
#pragma once

#include "LevelTap.h"

#include <QThread>
#include <atomic>
#include <cstdint>

class LevelPoller : public QThread
{
    Q_OBJECT

public:
    // log10 of the sum of the squares of channels * frames interleaved samples, summed in
    // 32-bit float; negative infinity for silence or an empty block. Deliberately neither
    // averaged nor rooted: the meters' scale is built around this raw figure.
    static double blockLevel(const float *interleaved, int32_t channels, int32_t frames);

    // The value every run ends with.
    static constexpr double kStoppedLevel = -3.0;

    ~LevelPoller() override;

    void startRead();
    // Returns at once; the loop ends after at most one more pause and value.
    void stopRead();

signals:
    void toBuffData(double const &level);

protected:
    LevelPoller(const LevelTap &tap, QObject *parent);
    void run() override;

private:
    const LevelTap &m_tap;
    std::atomic<bool> m_running{false};
};
