#include "wrapper.h"

#include "Audio.Capture.Playback.h"
#include "AudioRoute.h"
#include "DeviceLossWatch.h"
#include "InOut.h"
#include "InPutProcess.h"
#include "NDIScan.h"
#include "NdiFigures.h"
#include "NdiLib.h"
#include "OutPutProcess.h"
#include "ReadBufferData.h"
#include "ReadInBuffData.h"
#include "ScanDevice.h"
#include "StreamControl.h"

#include <QDebug>
#include <QTimer>
#include <cmath>
#include <utility>

Wrapper::Wrapper(QObject *parent) : QObject(parent)
{
    setIsMacOS(false);
    // The NDI runtime reads its configuration when discovery starts it, further down.
    setUpLinuxNdiConfig();
    readSettings();

    m_inPutProcess = std::make_unique<InPutProcess>();
    m_outPutProcess = std::make_unique<OutPutProcess>();
    m_inOut = new InOut(this);
    m_readBufferData = new ReadBufferData(this);
    m_readInBuffData = new ReadInBuffData(this);
    m_scanDevice = std::make_unique<ScanDevice>();
    m_inControl = new StreamControl(m_inPutProcess.get(), QStringLiteral("Capture to NDI"),
                                    &stopAudioInput, this);
    m_outControl = new StreamControl(m_outPutProcess.get(), QStringLiteral("NDI to playback"),
                                     &stopAudioOutput, this);
    m_inOutControl = new StreamControl(m_inOut, QStringLiteral("Duplex"), &stopAudioDuplex, this);
    m_inLoss = std::make_unique<DeviceLossWatch>(QStringLiteral("Capture to NDI"), inputHealth);
    m_outLoss = std::make_unique<DeviceLossWatch>(QStringLiteral("NDI to playback"), outputHealth);
    m_duplexLoss = std::make_unique<DeviceLossWatch>(QStringLiteral("Duplex"), duplexHealth);
    m_lossTimer = new QTimer(this);
    connect(m_lossTimer, &QTimer::timeout, this, &Wrapper::pollDeviceLoss);
    // A quarter of a second: the page tells of a loss about as soon as the engine sees it.
    m_lossTimer->start(250);

    m_defaultSampleRates << QStringLiteral("8000") << QStringLiteral("22050")
                         << QStringLiteral("24000") << QStringLiteral("44100")
                         << QStringLiteral("48000") << QStringLiteral("88200")
                         << QStringLiteral("96000") << QStringLiteral("176400")
                         << QStringLiteral("192000");

    connect(m_scanDevice.get(), &ScanDevice::toDevList, this, &Wrapper::devLists);
    connect(m_scanDevice.get(), &ScanDevice::toInOutDev, this, &Wrapper::inOutDev);
    connect(m_readBufferData, &ReadBufferData::toBuffData, this, &Wrapper::setOutLevel);
    connect(m_readInBuffData, &ReadInBuffData::toBuffData, this, &Wrapper::setLevel);

    // Same thread: the lists and the first selections are in place when scan() returns.
    m_scanDevice->scan();

    m_ndiScan = std::make_unique<NDIScan>();
    // Whatever the settings hold, no stream runs at start.
    m_checkIn = false;
    m_checkOut = false;
    m_checkInOut = false;

    connect(this, &Wrapper::ndiCurrentdevIndex, m_ndiScan.get(), &NDIScan::setCurrentDevIndex,
            Qt::QueuedConnection);
    connect(m_ndiScan.get(), SIGNAL(ndiDeviceChange(QStringList)), this,
            SLOT(setNdiDevice(QStringList)));

    m_clock.start();
    auto *figures = new QTimer(this);
    connect(figures, &QTimer::timeout, this, &Wrapper::logFigures);
    figures->start(1000);

    init();
}

Wrapper::~Wrapper()
{
    writeSettings();
    m_ndiScan->stopThread();
    // The window refuses to close while a stream runs, but the application can also be quit
    // from elsewhere (a session that ends): a stream still running is stopped here, so that
    // none of these waits on an engine call for ever. Discovery ends within one pass.
    m_inControl->stop();
    m_outControl->stop();
    m_inOutControl->stop();
    m_inControl->settle();
    m_outControl->settle();
    m_inOutControl->settle();
    m_inPutProcess.reset();
    m_outPutProcess.reset();
    m_ndiScan.reset();
    delete m_inOut;
    m_inOut = nullptr;
    m_scanDevice.reset();
}

void Wrapper::init()
{
    setNdiDevIp(QStringLiteral("0"));
    setOutLevel(-3.0);
    readRuntime();
    m_ndiScan->startThread();
}

void Wrapper::readRuntime()
{
    const char *text = NDIlib_version();
    const QString phrase = QString::fromUtf8(text != nullptr ? text : "");
    // The runtime answers with a phrase ending in its version number; keep the number.
    setVersion(phrase.split(QLatin1Char(' '), Qt::KeepEmptyParts).last());
    const bool builtIn = VeltrinNdi_is_builtin();
    setNdiBuiltIn(builtIn);
    setRuntimeText(phrase + (builtIn ? QStringLiteral(" (built-in)") : QString()));
    qInfo().noquote() << "NDI runtime:" << m_runtimeText;
    if (const std::string &route = veltrin::audio::audioRoute().note; !route.empty())
        qInfo().noquote() << QString::fromStdString(route);
}

void Wrapper::setRuntimeText(QString text)
{
    m_runtimeText = std::move(text);
    emit runtimeTextChanged();
}

void Wrapper::setNdiBuiltIn(bool builtIn)
{
    m_ndiBuiltIn = builtIn;
    emit ndiBuiltInChanged();
}

void Wrapper::logFigures()
{
    const uint64_t duplex = duplex_xruns.load(std::memory_order_relaxed);
    const auto lines =
        m_figuresLog.update(double(m_clock.elapsed()) / 1000.0, veltrin::ndi::streamFigures(),
                            input_xruns.load(std::memory_order_relaxed) + duplex,
                            output_xruns.load(std::memory_order_relaxed) + duplex);
    for (const std::string &line : lines)
        qInfo().noquote() << QString::fromStdString(line);
}

void Wrapper::stopThreads()
{
    m_ndiScan->stopThread();
}

void Wrapper::setIsMacOS(bool isMacOS)
{
    m_isMacOS = isMacOS;
}

void Wrapper::setOutPutDevice(QStringList list)
{
    m_outPutDevice = std::move(list);
}

void Wrapper::setInPutDevice(QStringList list)
{
    m_inPutDevice = std::move(list);
}

void Wrapper::setNdiDevice(QStringList dvc)
{
    m_ndiDevice = std::move(dvc);
    emit ndiDeviceChanged();
}

void Wrapper::setBuffSize(unsigned int frames)
{
    m_buffSize = frames;
    emit buffSizeChanged();
}

void Wrapper::setBuffOutSize(unsigned int frames)
{
    m_buffOutSize = frames;
}

void Wrapper::setNdiOutSourceName(QString name)
{
    m_ndiOutSourceName = std::move(name);
}

void Wrapper::setNdiOutDuplexSourceName(QString name)
{
    m_ndiOutDuplexSourceName = std::move(name);
}

void Wrapper::setNdiInSourName(QString name)
{
    m_ndiInSourName = std::move(name);
}

void Wrapper::setCheckIn(bool on)
{
    m_checkIn = on;
}

void Wrapper::setCheckOut(bool on)
{
    m_checkOut = on;
}

void Wrapper::setCheckInOut(bool on)
{
    m_checkInOut = on;
}

void Wrapper::setLevel(double level)
{
    // Whole numbers, halves away from zero; emitted every time so the meter follows a poller
    // that repeats itself.
    m_level = std::round(level);
    emit levelChanged();
}

void Wrapper::setOutLevel(const double &level)
{
    m_outLevel = std::round(level);
    emit outLevelChanged();
}

void Wrapper::setInDuplexCh(const QString &channels)
{
    m_inDuplexCh = channels;
    emit inDuplexChChanged();
}

void Wrapper::setOutDuplexCh(const QString &channels)
{
    m_outDuplexCh = channels;
    emit outDuplexChChanged();
}

void Wrapper::setInDuplexSampleRate(const QString &rate)
{
    m_inDuplexSampleRate = rate;
    emit inDuplexSampleRateChanged();
}

void Wrapper::setOutDuplexSampleRate(const QString &rate)
{
    m_outDuplexSampleRate = rate;
    emit outDuplexSampleRateChanged();
}

void Wrapper::setRates(int rate)
{
    m_rates = rate;
    emit ratesChanged();
}

void Wrapper::setRatesOut(int rate)
{
    m_ratesOut = rate;
}

void Wrapper::setRateDuplex(int rate)
{
    m_rateDuplex = rate;
}

void Wrapper::setBuffDuplexSize(unsigned int frames)
{
    m_buffDuplexSize = frames;
}

void Wrapper::setNdiInSourNameDuplex(QString name)
{
    m_ndiInSourNameDuplex = std::move(name);
}

void Wrapper::setInPutDevFullString(QString entry)
{
    m_inPutDevFullString = std::move(entry);
}

void Wrapper::setOutPutDevFullString(QString entry)
{
    m_outPutDevFullString = std::move(entry);
}

void Wrapper::setVersion(QString version)
{
    m_version = std::move(version);
    emit versionChanged();
}

void Wrapper::setXWPos(int x)
{
    m_xWPos = x;
    emit xWPosChanged();
}

void Wrapper::setYWPos(int y)
{
    m_yWPos = y;
    emit yWPosChanged();
}

void Wrapper::setDefaultSampleRates(QStringList rates)
{
    m_defaultSampleRates = std::move(rates);
}

void Wrapper::setDefaultSampleRatesIn(QStringList rates)
{
    m_defaultSampleRatesIn = std::move(rates);
}

void Wrapper::setDefaultSampleRatesDuplex(QStringList rates)
{
    m_defaultSampleRatesDuplex = std::move(rates);
}
