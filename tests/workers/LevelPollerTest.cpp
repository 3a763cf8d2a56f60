// The meter figure of a block (the page tests cover the pollers' values and their stop value).
#include "LevelPoller.h"

#include <QtTest>
#include <cmath>
#include <limits>
#include <vector>

class LevelPollerTest : public QObject
{
    Q_OBJECT

private slots:
    void blockLevelIsLog10OfTheSumOfSquares()
    {
        const double minusInf = -std::numeric_limits<double>::infinity();
        const struct {
            int channels, frames;
            float sample;
            double expected;
        } rows[] = {
            {2, 256, 0.5f, std::log10(128.0)}, {8, 256, 0.5f, std::log10(512.0)},
            {1, 100, -1.0f, 2.0},              {2, 256, 0.0f, minusInf},
            {2, 0, 0.5f, minusInf},            {0, 256, 0.5f, minusInf},
        };
        for (const auto &r : rows) {
            const std::vector<float> block(size_t(std::max(r.channels * r.frames, 1)), r.sample);
            const double level = LevelPoller::blockLevel(block.data(), r.channels, r.frames);
            QVERIFY2(level == r.expected || std::abs(level - r.expected) < 1e-9,
                     qPrintable(QStringLiteral("%1 x %2 of %3: %4")
                                    .arg(r.channels)
                                    .arg(r.frames)
                                    .arg(double(r.sample))
                                    .arg(level)));
        }
    }
};

QTEST_GUILESS_MAIN(LevelPollerTest)
#include "LevelPollerTest.moc"
