// The controller on scripted device tables: its construction, the property model, device,
// channel and rate selection, damaged settings, the NDI configuration file, the discovery
// wiring and its teardown (the page tests cover the selections a user makes, the source index
// and the settings' round trip). HOME and XDG_CONFIG_HOME point into a temporary directory.
#include "wrapper.h"

#include "FakePortAudio.h"
#include "NdiRecorder.h"
#include "ScratchHome.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QSettings>
#include <QtTest>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;

const QString kNdiConfig = QStringLiteral(
    "{\"ndi\":{\"networks\":{\"ips\":\"\",\"discovery\":\"\"},\"machinename\":\"\",\"tcp\":{"
    "\"send\":{\"enable\":false},\"recv\":{\"enable\":false}},\"rudp\":{\"send\":{\"enable\":"
    "true},\"recv\":{\"enable\":true}},\"groups\":{\"send\":\"Public\",\"recv\":\"Public\"},"
    "\"unicast\":{\"send\":{\"enable\":false},\"recv\":{\"enable\":false}},\"adapters\":{"
    "\"allowed\":[]},\"multicast\":{\"send\":{\"ttl\":1,\"enable\":false,\"netmask\":\"255.255."
    "0.0\",\"netprefix\":\"239.255.0.0\"},\"recv\":{\"enable\":true}}}}");

const QStringList kNineRates{"8000",  "22050", "24000",  "44100", "48000",
                             "88200", "96000", "176400", "192000"};

struct ProbeCall {
    int inChannels = -1; // -1: no input record
    int outChannels = -1;
    double rate = 0;
};
std::vector<ProbeCall> g_probes;

// Accepts 44100 and 48000 only and records what it was asked.
fakepa::Table studioTable()
{
    fakepa::Table t;
    t.hostApis = {{"ALSA", paNoDevice, paNoDevice}};
    using fakepa::device;
    t.devices = {device("Mic", 0, 2, 0, 44100.0), device("Line In", 0, 8, 0),
                 device("Speakers", 0, 0, 2, 44100.0), device("Desk", 0, 2, 2),
                 device("Desk", 0, 4, 6, 96000.0)};
    t.isFormatSupported = [](const PaStreamParameters *in, const PaStreamParameters *out,
                             double rate) {
        g_probes.push_back({in ? in->channelCount : -1, out ? out->channelCount : -1, rate});
        return rate == 44100.0 || rate == 48000.0 ? paFormatIsSupported : paInvalidSampleRate;
    };
    return t;
}

QString settingsPath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Quorvane/Veltrin.conf");
}

QString configPath()
{
    return QDir::homePath() + QStringLiteral("/.ndi/ndi-config.v1.json");
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class WrapperTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_probes.clear();
        fakepa::setTable(studioTable());
        ndirec::reset();
        QFile::remove(settingsPath());
    }

    void firstConstructionStartsIdleWithDefaultsAndTheFirstDuplexDeviceProbed()
    {
        Wrapper w;
        QVERIFY(!w.checkIn() && !w.checkOut() && !w.checkInOut());
        QCOMPARE(w.outLevel(), -3.0);
        QCOMPARE(w.level(), -3.0);
        QCOMPARE(w.defaultSampleRates(), kNineRates);
        QVERIFY(w.defaultSampleRatesIn().isEmpty());
        QCOMPARE(w.inOutPutDevice(), (QStringList{"Desk", "Desk"}));
        QCOMPARE(w.inOutPutDev(), QStringLiteral("Desk"));
        QCOMPARE(w.defaultSampleRatesDuplex(), (QStringList{"44100", "48000"}));
        QCOMPARE(w.ndiDevIp(), QString());
        QCOMPARE(w.version(), QStringLiteral("0.0.1"));
        QCOMPARE(w.runtimeText(), QStringLiteral("Recording test runtime 0.0.1"));
        QVERIFY(!w.ndiBuiltIn());
        QVERIFY(!w.isMacOS());
        QCOMPARE(fakepa::initializeDepth(), 0);
        // First run, no settings file: the page tests see the one-way defaults.
        QCOMPARE(w.buffDuplexSize(), 256u);
        QCOMPARE(w.rateDuplex(), 48000);

        // init() is what hands discovery its first index.
        QSignalSpy index(&w, &Wrapper::ndiCurrentdevIndex);
        QSignalSpy outLevel(&w, &Wrapper::outLevelChanged);
        w.init();
        QCOMPARE(index.count(), 1);
        QCOMPARE(index.first().first().toInt(), 0);
        QCOMPARE(outLevel.count(), 1);
    }

    void propertiesSignalOnlyWhereTheModelSaysSo()
    {
        struct Row {
            const char *name;
            const char *notify;
            QVariant value;
            bool emits;
        };
        const QStringList list{"ALSA  Mic"};
        const std::vector<Row> rows{
            {"isMacOS", "isMacOSChanged", true, false},
            {"outPutDevice", "outPutDeviceChanged", list, false},
            {"inPutDevice", "inPutDeviceChanged", list, false},
            {"ndiDevice", "ndiDeviceChanged", list, true},
            {"ndiIpDevice", "ndiIpDeviceChanged", QStringList{"10.0.0.1:5961"}, true},
            {"buffSize", "buffSizeChanged", 512u, true},
            {"buffOutSize", "buffOutSizeChanged", 512u, false},
            {"sampleRate", "sampleRateChanged", 0u, true},
            {"sampleRateIn", "sampleRateChangedIn", 0u, true},
            {"numChannels", "numChannelsChanged", 0u, true},
            {"inPutDev", "inPutDevChanged", QStringLiteral("ALSA  Mic"), false},
            {"ndiOutSourceName", "ndiOutSourceNameChanged", QStringLiteral("B"), false},
            {"ndiOutDuplexSourceName", "ndiOutDuplexSourceNameChanged", QStringLiteral("B"), false},
            {"ndiInSourName", "ndiInSourNameChanged", QStringLiteral("A"), false},
            {"numOutChannels", "numOutChannelsChanged", 0u, true},
            {"checkIn", "checkInChanged", true, false},
            {"checkOut", "checkOutChanged", true, false},
            {"checkInOut", "checkInOutChanged", true, false},
            {"outPutDev", "outPutDevChanged", QStringLiteral("ALSA  Speakers"), false},
            {"ndiDevIp", "ndiDevIpChanged", QStringLiteral("0"), true},
            {"level", "levelChanged", 2.4, true},
            {"outLevel", "outLevelChanged", 2.4, true},
            {"inOutPutDevice", "inOutPutDeviceChanged", QStringList{"Desk"}, false},
            {"inOutPutDev", "inOutPutDevChanged", QStringLiteral("Desk"), false},
            {"inDuplexCh", "inDuplexChChanged", QStringLiteral("2"), true},
            {"outDuplexCh", "outDuplexChChanged", QStringLiteral("2"), true},
            {"inDuplexSampleRate", "inDuplexSampleRateChanged", QStringLiteral("48000"), true},
            {"outDuplexSampleRate", "outDuplexSampleRateChanged", QStringLiteral("48000"), true},
            {"rates", "ratesChanged", 96000, true},
            {"ratesOut", "ratesOutChanged", 96000, false},
            {"rateDuplex", "rateDuplexChanged", 96000, false},
            {"buffDuplexSize", "buffDuplexSizeChanged", 512u, false},
            {"ndiInSourNameDuplex", "ndiInSourNameDuplexChanged", QStringLiteral("D"), false},
            {"inPutDevFullString", "inPutDevFullStringChanged", QStringLiteral("ALSA  Mic"), false},
            {"outPutDevFullString", "outPutDevFullStringChanged", QStringLiteral("ALSA  Speakers"),
             false},
            {"version", "versionChanged", QStringLiteral("9.9"), true},
            {"xWPos", "xWPosChanged", 40, true},
            {"yWPos", "yWPosChanged", 50, true},
            {"defaultSampleRates", "defaultSampleRatesChanged", QStringList{"8000"}, false},
            {"defaultSampleRatesIn", "defaultSampleRatesInChanged", QStringList{"8000"}, false},
            {"defaultSampleRatesDuplex", "defaultSampleRatesDuplexChanged", QStringList{"8000"},
             false},
            {"runtimeText", "runtimeTextChanged", QStringLiteral("X 1.0"), true},
            {"ndiBuiltIn", "ndiBuiltInChanged", true, true},
        };
        QCOMPARE(rows.size(), size_t{43});

        Wrapper w;
        const QMetaObject *mo = w.metaObject();
        // The settings and choices, then three read-only device states.
        QCOMPARE(mo->propertyCount() - mo->propertyOffset(), 46);
        for (const char *state : {"inDeviceState", "outDeviceState", "duplexDeviceState"}) {
            const QMetaProperty p = mo->property(mo->indexOfProperty(state));
            QVERIFY2(p.isReadable() && !p.isWritable() && p.hasNotifySignal(), state);
            QCOMPARE(p.read(&w).toString(), QString());
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row &row = rows[i];
            const QMetaProperty p = mo->property(mo->propertyOffset() + static_cast<int>(i));
            QCOMPARE(p.name(), row.name);
            QVERIFY2(p.isReadable() && p.isWritable() && p.hasNotifySignal(), row.name);
            QVERIFY2(!p.isConstant() && !p.isFinal(), row.name);
            QCOMPARE(p.notifySignal().name(), QByteArray(row.notify));
            QSignalSpy spy(&w, p.notifySignal());
            QVERIFY2(p.write(&w, row.value), row.name);
            QVERIFY2(spy.count() == (row.emits ? 1 : 0), row.name);
        }
        // Stored as written, or as the model turns them into values.
        QCOMPARE(w.inPutDev(), QStringLiteral("Mic"));
        QCOMPARE(w.ndiDevIp(), QStringLiteral("10.0.0.1:5961"));
    }

    void scanResultsFillTheListsAndSelectTheFirstEntries()
    {
        Wrapper w;
        QCOMPARE(w.inPutDevice(),
                 (QStringList{"ALSA  Mic", "ALSA  Line In", "ALSA  Desk", "ALSA  Desk"}));
        QCOMPARE(w.outPutDevice(), (QStringList{"ALSA  Speakers", "ALSA  Desk", "ALSA  Desk"}));

        // The values are in place before the lists are announced.
        QStringList order;
        const std::vector<std::pair<QString, void (Wrapper::*)()>> announced{
            {"numChannels", &Wrapper::numChannelsChanged},
            {"numOutChannels", &Wrapper::numOutChannelsChanged},
            {"sampleRateIn", &Wrapper::sampleRateChangedIn},
            {"sampleRate", &Wrapper::sampleRateChanged},
            {"outPutDevice", &Wrapper::outPutDeviceChanged},
            {"inPutDevice", &Wrapper::inPutDeviceChanged}};
        for (const auto &[name, signal] : announced)
            connect(&w, signal, &w, [&order, name = name] { order << name; });
        w.devLists({"A  In8", "A  In4"}, {"A  Out6"}, {"8", "4"}, {"6"}, {22050.0, 96000.7},
                   {192000.0});
        QCOMPARE(order, (QStringList{"numChannels", "numOutChannels", "sampleRateIn", "sampleRate",
                                     "outPutDevice", "inPutDevice"}));
        QCOMPARE(w.numChannels(), 8u);
        QCOMPARE(w.numOutChannels(), 6u);
        QCOMPARE(w.sampleRateIn(), 22050u);
        QCOMPARE(w.sampleRate(), 192000u);

        w.setSampleRateIn(1);
        QCOMPARE(w.sampleRateIn(), 96000u); // truncated toward zero
    }

    void choosingADeviceKeepsItsNameAndProbesItsRates()
    {
        Wrapper w;
        QSignalSpy inChanged(&w, &Wrapper::inPutDevChanged);
        QSignalSpy inRates(&w, &Wrapper::defaultSampleRatesInChanged);
        g_probes.clear();
        w.setInPutDev(QStringLiteral("ALSA  Line In"));
        QCOMPARE(w.inPutDev(), QStringLiteral("Line In"));
        QCOMPARE(inChanged.count(), 0);
        QCOMPARE(w.defaultSampleRatesIn(), (QStringList{"44100", "48000"}));
        QCOMPARE(inRates.count(), 2);
        // Input-only device: only its input record, all nine candidates in order.
        QCOMPARE(g_probes.size(), size_t{9});
        QCOMPARE(g_probes.front().inChannels, 8);
        QCOMPARE(g_probes.front().outChannels, -1);
        QCOMPARE(g_probes.front().rate, 8000.0);
        QCOMPARE(g_probes.back().rate, 192000.0);

        // Output-only device, named in other letter case.
        g_probes.clear();
        QSignalSpy outRates(&w, &Wrapper::defaultSampleRatesChanged);
        w.setOutPutDev(QStringLiteral("ALSA  speakers"));
        QCOMPARE(w.outPutDev(), QStringLiteral("speakers"));
        QCOMPARE(w.defaultSampleRates(), (QStringList{"44100", "48000"}));
        QCOMPARE(outRates.count(), 2);
        QCOMPARE(g_probes.front().inChannels, -1);
        QCOMPARE(g_probes.front().outChannels, 2);

        // A duplex device is probed both ways at once; the first of two equal names wins.
        g_probes.clear();
        w.testSampleRate(QStringLiteral("Desk"), 0);
        QCOMPARE(g_probes.front().inChannels, 2);
        QCOMPARE(g_probes.front().outChannels, 2);

        // Unknown devices, unknown types and an audio library that does not start change
        // nothing.
        g_probes.clear();
        w.setOutPutDev(QStringLiteral("ALSA  Gone"));
        w.testSampleRate(QStringLiteral("Mic"), 3);
        fakepa::Table broken = studioTable();
        broken.initializeError = paInternalError;
        fakepa::setTable(broken);
        w.setInPutDev(QStringLiteral("ALSA  Mic"));
        QCOMPARE(w.inPutDev(), QStringLiteral("Mic"));
        QVERIFY(g_probes.empty());
        QCOMPARE(w.defaultSampleRates(), (QStringList{"44100", "48000"}));
        QCOMPARE(w.defaultSampleRatesIn(), (QStringList{"44100", "48000"}));
        QCOMPARE(fakepa::initializeDepth(), 0);
    }

    void duplexTextsComeFromTheLastDeviceOfTheName()
    {
        Wrapper w;
        QSignalSpy rate(&w, &Wrapper::inDuplexSampleRateChanged);
        w.duplexChannelsSamplerate();
        QCOMPARE(w.inDuplexCh(), QStringLiteral("4"));
        QCOMPARE(w.outDuplexCh(), QStringLiteral("6"));
        QCOMPARE(w.inDuplexSampleRate(), QStringLiteral("96000"));
        QCOMPARE(w.outDuplexSampleRate(), QStringLiteral("96000"));
        QCOMPARE(rate.count(), 2); // once per device of that name
    }

    void corruptSettingsGiveDefaults()
    {
        QDir().mkpath(QFileInfo(settingsPath()).path());
        {
            QFile f(settingsPath());
            QVERIFY(f.open(QIODevice::WriteOnly));
            static const char garbage[] = "\x00\xff\xfe[[[\n=\x01\x02===\n\\\\\\[Gen";
            f.write(garbage, sizeof(garbage) - 1);
        }
        Wrapper w;
        QCOMPARE(w.buffSize(), 256u);
        QCOMPARE(w.rates(), 48000);
        QCOMPARE(w.ndiInSourName(), QString());
    }

    void ndiConfigurationIsWrittenAfreshAtEveryStart()
    {
        QDir(QDir::homePath() + QStringLiteral("/.ndi")).removeRecursively();
        {
            Wrapper w;
        }
        QCOMPARE(readAll(configPath()), kNdiConfig.toLatin1());

        // An edited, longer file is replaced whole.
        {
            QFile f(configPath());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(1000, 'x'));
        }
        {
            Wrapper w;
        }
        QCOMPARE(readAll(configPath()), kNdiConfig.toLatin1());
    }

    void discoveredSourcesReachTheListWithTheChosenOneFirst()
    {
        Wrapper w;
        QSignalSpy changed(&w, &Wrapper::ndiDeviceChanged);
        ndirec::setSources(
            {{"A", "10.0.0.1:5961"}, {"B", "10.0.0.2:5961"}, {"C", "10.0.0.3:5961"}});
        QTRY_COMPARE_WITH_TIMEOUT(w.ndiDevice(), (QStringList{"A", "B", "C"}), kWaitMs);
        QVERIFY(changed.count() >= 1);

        w.setNdiDevIp(QStringLiteral("2"));
        QCoreApplication::processEvents(); // delivers the queued index to discovery
        ndirec::setSources({{"A", "10.0.0.1:5961"},
                            {"B", "10.0.0.2:5961"},
                            {"C", "10.0.0.3:5961"},
                            {"D", "10.0.0.4:5961"}});
        QTRY_COMPARE_WITH_TIMEOUT(w.ndiDevice(), (QStringList{"C", "B", "A", "D"}), kWaitMs);
        // The address list is not fed by discovery.
        QVERIFY(w.ndiIpDevice().isEmpty());
    }

    // A line a minute per stream with its latest figures, and one when it has gone; xruns are
    // counted from the stream's start, from the counter of its direction.
    void figuresLogALineAMinuteAndOneAtTheStop()
    {
        VeltrinNdiFigures recv;
        recv.kind = VeltrinNdi_receiver;
        recv.available = VeltrinNdi_has_datagrams;
        std::strcpy(recv.name, "HOST (A)");
        VeltrinNdiFigures send;
        send.kind = VeltrinNdi_sender;
        send.available = VeltrinNdi_has_sent;
        std::strcpy(send.name, "HOST (B)");

        FiguresLog log;
        std::vector<std::string> lines;
        for (int second = 0; second <= 125; ++second) {
            recv.datagramsLost = uint64_t(second);
            const auto now = log.update(second, {recv, send}, 100, 7 + uint64_t(second / 60));
            lines.insert(lines.end(), now.begin(), now.end());
        }
        QCOMPARE(lines.size(), size_t{4}); // at 60 and 120 s, two streams each
        QVERIFY(
            QString::fromStdString(lines[0]).contains("0 received 0 repaired 0 concealed 60 lost"));
        QVERIFY(QString::fromStdString(lines[0]).endsWith(", xruns 1"));
        QVERIFY(QString::fromStdString(lines[1]).startsWith("Stream figures: send \"HOST (B)\""));
        QVERIFY(QString::fromStdString(lines[1]).endsWith(", xruns 0"));

        recv.datagramsLost = 999; // gone before this reached the log
        const auto end = log.update(130, {send}, 100, 9);
        QCOMPARE(end.size(), size_t{1});
        QCOMPARE(QString::fromStdString(end[0]),
                 QStringLiteral("Stream stopped after 130 s: receive \"HOST (A)\": latency n/a, "
                                "clock n/a, late n/a, datagrams 0 received 0 repaired 0 "
                                "concealed 125 lost, frames n/a received n/a dropped, underruns "
                                "n/a, xruns 2"));
        QVERIFY(log.update(131, {send}, 100, 9).empty());
    }

    void teardownSavesAndEndsDiscovery()
    {
        auto w = std::make_unique<Wrapper>();
        QTRY_COMPARE_WITH_TIMEOUT(ndirec::counts().findersCreated, 1, kWaitMs);
        w->setBuffDuplexSize(2048);
        w.reset();
        QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value("buffDuplexSize").toUInt(),
                 2048u);
        const ndirec::Counts counts = ndirec::counts();
        QCOMPARE(counts.findersDestroyed, 1);
        QCOMPARE(counts.destroy, 1);
    }
};

int main(int argc, char **argv)
{
    const ScratchHome home;
    if (!home.valid())
        return 1;
    QCoreApplication app(argc, argv);
    WrapperTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WrapperTest.moc"
