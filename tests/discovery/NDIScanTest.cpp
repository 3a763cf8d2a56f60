// NDI discovery: how one step turns the finder's source list into the published lists, and
// the discovery thread's signals and ownership of the NDI runtime.
#include "NDIScan.h"

#include "NdiRecorder.h"

#include <QtTest>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string addressOf(const std::string &name)
{
    return "10.0.0." + std::to_string(static_cast<unsigned char>(name.at(0))) + ":5961";
}

// Scripts the finder with these names (each with an address derived from its name).
void publish(const QStringList &names)
{
    std::vector<std::pair<std::string, std::string>> sources;
    for (const QString &name : names)
        sources.emplace_back(name.toStdString(), addressOf(name.toStdString()));
    ndirec::setSources(sources);
}

QStringList addressesOf(const QStringList &names)
{
    QStringList addresses;
    for (const QString &name : names)
        addresses << QString::fromStdString(addressOf(name.toStdString()));
    return addresses;
}

// Receives the thread's signals on the test thread.
class Listener : public QObject
{
public:
    explicit Listener(NDIScan *scan)
    {
        connect(scan, &NDIScan::ndiDeviceChange, this, [this](QStringList n) { names << n; });
        connect(scan, &NDIScan::ndiDevIp, this, [this](QStringList a) { addresses << a; });
    }
    QList<QStringList> names, addresses;
};

} // namespace

class NDIScanTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { ndirec::reset(); }

    // Each row is a run of steps on one scan; a step scripts the finder's list and the chosen
    // index, then checks the step's result and the published names.
    void stepsTurnTheFinderListIntoTheSourceList()
    {
        struct Step {
            QStringList sources;
            int index;
            bool changed;
            QStringList names;
        };
        const std::vector<std::pair<const char *, std::vector<Step>>> runs = {
            {"appended in finder order",
             {{{"A"}, 0, true, {"A"}}, {{"A", "B", "C"}, 0, true, {"A", "B", "C"}}}},
            {"the chosen one exchanged to the front",
             {{{"A", "B", "C"}, 0, true, {"A", "B", "C"}},
              {{"A", "B", "C", "D"}, 2, true, {"C", "B", "A", "D"}}}},
            // (A, B, X) -> (B, A, X); (B, A, X, Y) -> (A, B, X, Y).
            {"every append in one step exchanges",
             {{{"A", "B"}, 0, true, {"A", "B"}},
              {{"A", "B", "X", "Y"}, 1, true, {"A", "B", "X", "Y"}}}},
            {"an index off the list exchanges nothing",
             {{{"A", "B"}, -1, true, {"A", "B"}}, {{"A", "B", "C"}, 7, true, {"A", "B", "C"}}}},
            {"vanished ones removed keeping order",
             {{{"A", "B", "C", "D"}, 0, true, {"A", "B", "C", "D"}},
              {{"D", "B"}, 0, true, {"B", "D"}},
              {{"D"}, 0, true, {"D"}}}},
            // Same count: one gone and one come is not reflected; fewer: the new X is not added.
            {"removals and additions do not mix in one step",
             {{{"A", "B", "C"}, 0, true, {"A", "B", "C"}},
              {{"A", "B", "X"}, 0, false, {"A", "B", "C"}},
              {{"A", "X"}, 0, true, {"A"}}}},
            {"an empty list", {{{"A", "B"}, 0, true, {"A", "B"}}, {{}, 0, true, {}}}},
        };
        for (const auto &[what, steps] : runs) {
            ndirec::reset();
            NDIScan scan;
            scan.initNDIDevice();
            // The finder reports no change within its wait.
            QVERIFY2(!scan.enumerateNDIDevice(), what);
            for (const Step &s : steps) {
                publish(s.sources);
                scan.setCurrentDevIndex(s.index);
                QVERIFY2(scan.enumerateNDIDevice() == s.changed, what);
                QCOMPARE(scan.sourceNames(), s.names);
                QCOMPARE(scan.sourceAddresses(), addressesOf(s.names));
            }
            scan.destroyNDIDevices();
        }
    }

    void aFloodOfSourcesIsCappedAndPublishedAtMostTwiceASecond()
    {
        QStringList many;
        for (int i = 0; i < 1500; ++i)
            many << QStringLiteral("S%1").arg(i, 4, 10, QLatin1Char('0'));
        {
            NDIScan scan;
            scan.initNDIDevice();
            publish(many);
            QVERIFY(scan.enumerateNDIDevice());
            QCOMPARE(scan.sourceNames(), many.mid(0, 1000));
            scan.destroyNDIDevices();
        }

        // A finder whose list changes all the time: the thread still publishes at most once
        // per half second.
        NDIScan scan;
        Listener listener(&scan);
        scan.startThread();
        QElapsedTimer clock;
        clock.start();
        for (int round = 0; clock.elapsed() < 2000; ++round) {
            publish(many.mid(0, round % 2 == 0 ? 400 : 500));
            QTest::qWait(20);
        }
        scan.stopThread();
        QVERIFY(scan.wait(10000));
        const qint64 elapsed = clock.elapsed();
        QCoreApplication::processEvents();
        QVERIFY(!listener.names.isEmpty());
        QVERIFY2(listener.names.size() <= elapsed / 500 + 1,
                 qPrintable(
                     QStringLiteral("%1 lists in %2 ms").arg(listener.names.size()).arg(elapsed)));
    }

    void threadPublishesCopiesAndOwnsTheRuntime()
    {
        NDIScan scan;
        Listener listener(&scan);
        scan.startThread();
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().findersCreated, 1, 10000);

        publish({"A"});
        QTRY_COMPARE_WITH_TIMEOUT(listener.addresses.size(), 1, 10000);
        QCOMPARE(listener.names, QList<QStringList>{QStringList{"A"}});
        QCOMPARE(listener.addresses.first(), addressesOf({"A"}));

        // All gone: an empty name list and no address list.
        publish({});
        QTRY_COMPARE_WITH_TIMEOUT(listener.names.size(), 2, 10000);
        QVERIFY(listener.names.last().isEmpty());
        publish({"B"});
        QTRY_COMPARE_WITH_TIMEOUT(listener.addresses.size(), 2, 10000);
        QCOMPARE(listener.addresses.last(), addressesOf({"B"}));
        QCOMPARE(listener.names.size(), 3);

        scan.stopThread();
        QVERIFY(scan.wait(10000));
        const ndirec::Counts counts = ndirec::counts();
        QCOMPARE(counts.initialize, 1);
        QCOMPARE(counts.findersDestroyed, 1);
        QCOMPARE(counts.destroy, 1);
    }

    void runtimeThatFailsToInitialiseIsNeverUsed()
    {
        ndirec::setInitializeResult(false);
        QTest::ignoreMessage(
            QtWarningMsg, "NDI source discovery unavailable: the NDI runtime did not initialise.");
        NDIScan scan;
        Listener listener(&scan);
        scan.startThread();
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().initialize, 1, 10000);
        publish({"A"});
        scan.stopThread();
        QVERIFY(scan.wait(10000));
        QCoreApplication::processEvents();
        const ndirec::Counts counts = ndirec::counts();
        QCOMPARE(counts.findersCreated, 0);
        QCOMPARE(counts.findersDestroyed, 0);
        QCOMPARE(counts.destroy, 0);
        QVERIFY(listener.names.isEmpty());
    }
};

QTEST_GUILESS_MAIN(NDIScanTest)
#include "NDIScanTest.moc"
