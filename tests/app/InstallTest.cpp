// What `cmake --install` puts on a system: the program, its data directory with the splash
// picture, the icon and the help page, the desktop entry that starts Veltrin there, the icons
// the entry names, and AppStream metadata that validates; the command-line program, which runs
// from the prefix (its commands are cli_test's), with its manual page and systemd user unit.
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class InstallTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_root = new QTemporaryDir;
        ASSERT_TRUE(s_root->isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::ForwardedChannels);
        install.start(QStringLiteral(VELTRIN_CMAKE),
                      {QStringLiteral("--install"), QStringLiteral(VELTRIN_BUILD_DIR),
                       QStringLiteral("--prefix"), prefix()});
        ASSERT_TRUE(install.waitForFinished(-1));
        ASSERT_EQ(install.exitStatus(), QProcess::NormalExit);
        ASSERT_EQ(install.exitCode(), 0);
    }
    static void TearDownTestSuite()
    {
        delete s_root;
        s_root = nullptr;
    }

    static QString prefix() { return s_root->path() + QStringLiteral("/usr"); }
    static QString path(const QString &relative) { return prefix() + QLatin1Char('/') + relative; }

    // The [Desktop Entry] group of the installed entry, key by key.
    static QMap<QString, QString> desktopEntry()
    {
        QMap<QString, QString> keys;
        QFile file(path(QStringLiteral("share/applications/com.quorvane.Veltrin.desktop")));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return keys;
        bool inEntry = false;
        for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1Char('[')))
                inEntry = line == QStringLiteral("[Desktop Entry]");
            else if (inEntry && line.contains(QLatin1Char('=')))
                keys.insert(line.section(QLatin1Char('='), 0, 0),
                            line.section(QLatin1Char('='), 1));
        }
        return keys;
    }

    static QTemporaryDir *s_root;
};

QTemporaryDir *InstallTest::s_root = nullptr;

TEST_F(InstallTest, DesktopEntryStartsVeltrinWhereItsPicturesAre)
{
    const QMap<QString, QString> entry = desktopEntry();
    ASSERT_FALSE(entry.isEmpty());
    EXPECT_EQ(entry.value(QStringLiteral("Type")), QStringLiteral("Application"));
    EXPECT_EQ(entry.value(QStringLiteral("Name")), QStringLiteral("Veltrin"));
    EXPECT_EQ(entry.value(QStringLiteral("Exec")), QStringLiteral("veltrin"));
#ifdef VELTRIN_HAS_PROGRAM
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("bin/veltrin"))).isExecutable());
#endif
    // Start-up reads both pictures from the working directory.
    const QString dataDir = entry.value(QStringLiteral("Path"));
    EXPECT_EQ(dataDir, path(QStringLiteral("share/veltrin")));
    EXPECT_TRUE(QFileInfo(dataDir + QStringLiteral("/splash.jpg")).isFile());
    EXPECT_TRUE(QFileInfo(dataDir + QStringLiteral("/icon.ico")).isFile());
    for (const char *size : {"48x48", "64x64", "128x128", "256x256"}) {
        EXPECT_TRUE(
            QFileInfo(path(QStringLiteral("share/icons/hicolor/%1/apps/%2.png")
                               .arg(QLatin1String(size), entry.value(QStringLiteral("Icon")))))
                .isFile())
            << size;
    }
}

TEST_F(InstallTest, HelpPageAndLicencesAreInstalled)
{
    // Where the program looks for it: share/veltrin/help next to its bin directory.
    QFile help(path(QStringLiteral("share/veltrin/help/index.html")));
    ASSERT_TRUE(help.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(help.readAll());
    for (const char *topic : {"Publish an input", "Receive a source", "duplex device",
                              "What the meters show", "No sources appear", "5353"}) {
        EXPECT_TRUE(page.contains(QLatin1String(topic))) << topic;
    }
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("share/doc/veltrin/LICENSE"))).isFile());
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("share/doc/veltrin/Lato-copyright"))).isFile());
}

TEST_F(InstallTest, MetainfoNamesTheEntryAndValidates)
{
    const QString metainfo =
        path(QStringLiteral("share/metainfo/com.quorvane.Veltrin.metainfo.xml"));
    QFile file(metainfo);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains(
        "<launchable type=\"desktop-id\">com.quorvane.Veltrin.desktop</launchable>"));
    QProcess validate;
    validate.setProcessChannelMode(QProcess::MergedChannels);
    validate.start(QStringLiteral("appstreamcli"),
                   {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
    ASSERT_TRUE(validate.waitForFinished(-1))
        << "appstreamcli is missing (scripts/setup.sh --tests)";
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();
}

#ifdef VELTRIN_HAS_CLI
TEST_F(InstallTest, CommandLineProgramRunsFromThePrefix)
{
    const QString program = path(QStringLiteral("bin/veltrin-cli"));
    ASSERT_TRUE(QFileInfo(program).isExecutable());
    QProcess version;
    version.start(program, {QStringLiteral("--version")});
    ASSERT_TRUE(version.waitForFinished(10000));
    EXPECT_EQ(version.exitCode(), 0);
    // Its own version, then that of the NDI runtime it would use.
    const QList<QByteArray> lines = version.readAllStandardOutput().split('\n');
    ASSERT_EQ(lines.size(), 3); // the last line ends too
    EXPECT_EQ(lines[0], QByteArray("veltrin-cli " VELTRIN_VERSION));
    EXPECT_TRUE(lines[1].startsWith("NDI runtime ") && lines[1].size() > 12) << lines[1].data();

    EXPECT_TRUE(QFileInfo(path(QStringLiteral("share/man/man1/veltrin-cli.1.gz"))).isFile());
    QFile unit(path(QStringLiteral("lib/systemd/user/veltrin-cli@.service")));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    EXPECT_TRUE(unit.readAll().contains("KillSignal=SIGTERM"));
}
#endif

} // namespace
