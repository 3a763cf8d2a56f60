// How one discovery step merges the finder's source list into the published lists, and a
// runtime that did not initialise (the controller's test covers the thread, the chosen index and
// the runtime's ownership).
#include "NDIScan.h"

#include "NdiRecorder.h"

#include <QtTest>
#include <string>
#include <tuple>
#include <vector>

class NDIScanTest : public QObject
{
    Q_OBJECT

private slots:
    // Each row is a run of steps on one pair of lists: the finder's names (each source's
    // address is its name in lower case), the chosen index, the step's result, the names after.
    void stepsMergeTheFinderListIntoTheSourceList()
    {
        using Step = std::tuple<QStringList, int, bool, QStringList>;
        QStringList flood;
        for (int i = 0; i < 1001; ++i)
            flood << QStringLiteral("S%1").arg(i);
        const std::vector<std::pair<const char *, std::vector<Step>>> runs = {
            {"appended in finder order, the chosen one exchanged to the front",
             {{{"A"}, 0, true, {"A"}},
              {{"A", "B", "C"}, 0, true, {"A", "B", "C"}},
              {{"A", "B", "C", "D"}, 2, true, {"C", "B", "A", "D"}}}},
            // (A, B, X) -> (B, A, X); (B, A, X, Y) -> (A, B, X, Y).
            {"every append in one step exchanges",
             {{{"A", "B"}, 0, true, {"A", "B"}},
              {{"A", "B", "X", "Y"}, 1, true, {"A", "B", "X", "Y"}}}},
            // Same count: one gone and one come is not reflected; fewer: the vanished ones are
            // removed keeping order, and the new X is not added.
            {"removals and additions do not mix in one step",
             {{{"A", "B", "C", "D"}, 0, true, {"A", "B", "C", "D"}},
              {{"A", "B", "C", "X"}, 0, false, {"A", "B", "C", "D"}},
              {{"D", "B", "X"}, 0, true, {"B", "D"}},
              {{}, 0, true, {}}}},
            {"a flood is cut at 1000", {{flood, 0, true, flood.mid(0, 1000)}}},
        };
        for (const auto &[what, steps] : runs) {
            QStringList names, addresses;
            for (const auto &[found, index, changed, after] : steps) {
                std::vector<std::string> text; // name, address, name, address...
                for (const QString &name : found)
                    text.insert(text.end(), {name.toStdString(), name.toLower().toStdString()});
                std::vector<NDIlib_source_t> sources;
                for (size_t i = 0; i < text.size(); i += 2)
                    sources.push_back({text[i].c_str(), text[i + 1].c_str()});
                QVERIFY2(NDIScan::mergeSources(names, addresses, sources.data(),
                                               uint32_t(sources.size()), index)
                             == changed,
                         what);
                QCOMPARE(names, after);
                QCOMPARE(addresses.join(','), after.join(',').toLower());
            }
        }
    }

    // A runtime that did not initialise is said so once and never used: no finder, no
    // destroy, no source.
    void runtimeThatFailsToInitialiseIsNeverUsed()
    {
        ndirec::Script script;
        script.initializeResult = false;
        ndirec::reset(script);
        QTest::ignoreMessage(
            QtWarningMsg, "NDI source discovery unavailable: the NDI runtime did not initialise.");
        NDIScan scan;
        scan.startThread();
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().initialize, 1, 10000);
        ndirec::setSources({{"A", "10.0.0.1:5961"}});
        scan.stopThread();
        QVERIFY(scan.wait(10000));
        const ndirec::Counts counts = ndirec::counts();
        QCOMPARE(counts.findersCreated + counts.findersDestroyed + counts.destroy, 0);
    }
};

QTEST_GUILESS_MAIN(NDIScanTest)
#include "NDIScanTest.moc"
