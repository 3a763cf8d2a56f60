// The device scan: entry texts, channel texts and rates in device order, the side each device
// is listed on, and what a failing audio library leaves.
#include "DeviceScanLists.h"
#include "FakePortAudio.h"

#include <QtTest>

namespace {

using fakepa::device;

const QStringList kSignalOrder{QStringLiteral("toDevList"), QStringLiteral("toInOutDev")};

} // namespace

class ScanDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void listsEachDeviceOnItsSidesInDeviceOrder()
    {
        fakepa::Table t;
        t.hostApis = {{"ALSA", 0, 1}, {"JACK Audio Connection Kit", 2, 2}};
        t.devices = {
            device("Mic", 0, 2, 0, 44100.0),           device("Speakers", 0, 0, 2, 48000.0),
            device("USB Interface", 1, 8, 6, 96000.0), device("Mic", 0, 2, 0, 44100.0),
            device("Écran HDMI", 0, 0, 8, 48000.0),    device("Dead", 0, 0, 0, 48000.0)};
        fakepa::setTable(t);
        QTest::ignoreMessage(QtWarningMsg, "Aqui  6");

        const ScanLists s = scanDevices();
        QCOMPARE(s.order, kSignalOrder);
        // Equal devices stay two entries.
        QCOMPARE(s.inputs, (QStringList{"ALSA  Mic", "JACK Audio Connection Kit  USB Interface",
                                        "ALSA  Mic"}));
        QCOMPARE(s.inputChannels, (QStringList{"2", "8", "2"}));
        QCOMPARE(s.inputRates, (QList<double>{44100.0, 96000.0, 44100.0}));
        QCOMPARE(s.outputs,
                 (QStringList{"ALSA  Speakers", "JACK Audio Connection Kit  USB Interface",
                              QStringLiteral("ALSA  Écran HDMI")}));
        QCOMPARE(s.outputChannels, (QStringList{"2", "6", "8"}));
        QCOMPARE(s.outputRates, (QList<double>{48000.0, 96000.0, 48000.0}));
        QCOMPARE(s.duplex, QStringList{"USB Interface"});
        QCOMPARE(fakepa::initializeDepth(), 0);
    }

    // No device, or an audio library that fails: the lists still come, empty.
    void emptyListsWhenThereIsNothingToList()
    {
        fakepa::setTable(fakepa::Table{});
        QTest::ignoreMessage(QtWarningMsg, "Aqui  0");
        const ScanLists none = scanDevices();

        fakepa::Table t;
        t.devices = {device("Mic", 0, 2, 0, 44100.0)};
        t.initializeError = paInternalError;
        t.overrideDeviceCount = true;
        t.deviceCount = paNotInitialized;
        fakepa::setTable(t);
        QTest::ignoreMessage(QtWarningMsg, "ERROR : Unable to initialize audio devices.\n");
        QTest::ignoreMessage(QtWarningMsg, "ERROR : Unable to get audio devices.\n");
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Aqui  %1").arg(paNotInitialized)));
        const ScanLists failed = scanDevices();
        for (const ScanLists &s : {none, failed}) {
            QCOMPARE(s.order, kSignalOrder);
            QVERIFY(s.inputs.isEmpty() && s.outputs.isEmpty() && s.inputChannels.isEmpty()
                    && s.outputChannels.isEmpty());
            QVERIFY(s.inputRates.isEmpty() && s.outputRates.isEmpty() && s.duplex.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(ScanDeviceTest)
#include "ScanDeviceTest.moc"
