// The level pollers: the figure computed from a block, which tap each poller reads, and the
// value every run ends with.
#include "Audio.Capture.Playback.h"
#include "ReadBufferData.h"
#include "ReadInBuffData.h"

#include <QtTest>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// Collects a poller's values on the test thread (the connection is queued).
class Collector : public QObject
{
public:
    explicit Collector(LevelPoller *poller)
    {
        connect(poller, &LevelPoller::toBuffData, this, [this](double v) { values.append(v); });
    }
    QVector<double> values;
};

bool containsLevel(const QVector<double> &values, double level)
{
    for (double v : values)
        if (std::abs(v - level) < 1e-9)
            return true;
    return false;
}

} // namespace

class LevelPollerTest : public QObject
{
    Q_OBJECT

private slots:
    void blockLevel_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("frames");
        QTest::addColumn<float>("sample");
        QTest::addColumn<double>("expected");
        const double minusInf = -std::numeric_limits<double>::infinity();
        QTest::newRow("256 x 2 of 0.5") << 2 << 256 << 0.5f << std::log10(128.0);
        QTest::newRow("grows with channels") << 8 << 256 << 0.5f << std::log10(512.0);
        QTest::newRow("negative samples") << 1 << 100 << -1.0f << 2.0;
        QTest::newRow("silence") << 2 << 256 << 0.0f << minusInf;
        QTest::newRow("empty block") << 2 << 0 << 0.5f << minusInf;
        QTest::newRow("no channels") << 0 << 256 << 0.5f << minusInf;
    }

    void blockLevel()
    {
        QFETCH(int, channels);
        QFETCH(int, frames);
        QFETCH(float, sample);
        QFETCH(double, expected);
        const std::vector<float> block(static_cast<size_t>(std::max(channels * frames, 1)), sample);
        const double level = LevelPoller::blockLevel(block.data(), channels, frames);
        if (std::isinf(expected))
            QCOMPARE(level, expected);
        else
            QVERIFY2(std::abs(level - expected) < 1e-9, qPrintable(QString::number(level)));
    }

    // Each poller reads only its own tap (the other holds a block of level 0) and ends with
    // one stop value.
    void eachPollerReadsItsOwnTapAndEndsWithOneStopValue()
    {
        const std::vector<float> half(512, 0.5f); // 2 x 256 samples: sum of squares 128
        const std::vector<float> loud(1, 1.0f);   // sum of squares 1: level 0
        for (const bool input : {true, false}) {
            (input ? input_aud : output_aud).publish(half.data(), 2, 256, 48000);
            (input ? output_aud : input_aud).publish(loud.data(), 1, 1, 48000);
            ReadInBuffData inPoller;
            ReadBufferData outPoller;
            LevelPoller &poller = input ? static_cast<LevelPoller &>(inPoller) : outPoller;
            Collector collector(&poller);
            poller.startRead();
            QTRY_VERIFY_WITH_TIMEOUT(containsLevel(collector.values, std::log10(128.0)), 10000);
            poller.stopRead();
            QVERIFY(poller.wait(10000));
            QCoreApplication::processEvents();
            QVERIFY2(!containsLevel(collector.values, 0.0), input ? "input" : "output");
            QCOMPARE(collector.values.last(), -3.0);
            QCOMPARE(collector.values.count(-3.0), 1);
        }
    }

    void everyRunEndsWithOneStopValue()
    {
        // Three runs, the shortest stopped before its first pause ends.
        ReadInBuffData poller;
        Collector collector(&poller);
        for (int run = 0; run < 3; ++run) {
            poller.startRead();
            poller.stopRead();
            QVERIFY(poller.wait(10000));
        }
        QCoreApplication::processEvents();
        QCOMPARE(collector.values.count(-3.0), 3);
        QCOMPARE(collector.values.last(), -3.0);
    }
};

QTEST_GUILESS_MAIN(LevelPollerTest)
#include "LevelPollerTest.moc"
