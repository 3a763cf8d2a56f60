// The controller on the real runtime loader with a stand-in libndi.so.5 installed: the About
// page's version properties name the library that serves the calls, not the built-in runtime.
// Its own program, because the loader chooses once per process.
#include "FakePortAudio.h"
#include "ScratchHome.h"
#include "wrapper.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class WrapperRuntimeTest : public QObject
{
    Q_OBJECT

private slots:
    void versionPropertiesNameTheInstalledRuntime()
    {
        fakepa::setTable(fakepa::Table{});
        Wrapper w;
        QCOMPARE(w.version(), QStringLiteral("5.6.7"));
        QCOMPARE(w.runtimeText(), QStringLiteral("Stand-in NDI runtime for Linux 5.6.7"));
        QVERIFY(!w.ndiBuiltIn());
    }
};

int main(int argc, char **argv)
{
    const ScratchHome home;
    QTemporaryDir runtimeDir;
    if (!home.valid() || !runtimeDir.isValid()
        || !QFile::copy(QStringLiteral(VELTRIN_NDI_STANDIN),
                        runtimeDir.filePath(QStringLiteral("libndi.so.5"))))
        return 1;
    // Before any NDI call: the loader looks here first.
    qputenv("NDI_RUNTIME_DIR_V5", runtimeDir.path().toUtf8());
    QCoreApplication app(argc, argv);
    WrapperRuntimeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WrapperRuntimeTest.moc"
