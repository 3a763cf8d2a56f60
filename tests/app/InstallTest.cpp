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

QString g_prefix;

QString path(const QString &relative)
{
    return g_prefix + QLatin1Char('/') + relative;
}

QByteArray contents(const QString &relative)
{
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(InstallTest, TheInstalledTreeStartsVeltrinAndDescribesIt)
{
    const QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    g_prefix = root.path() + QStringLiteral("/usr");
    QProcess install;
    install.setProcessChannelMode(QProcess::ForwardedChannels);
    install.start(QStringLiteral(VELTRIN_CMAKE), {QStringLiteral("--install"),
                                                  QStringLiteral(VELTRIN_BUILD_DIR),
                                                  QStringLiteral("--prefix"), g_prefix});
    ASSERT_TRUE(install.waitForFinished(-1) && install.exitCode() == 0);

    // The [Desktop Entry] group of the entry, key by key.
    QMap<QString, QString> entry;
    bool inEntry = false;
    for (const QString &line : QString::fromUtf8(
             contents(QStringLiteral("share/applications/com.quorvane.Veltrin.desktop")))
             .split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QStringLiteral("[Desktop Entry]");
        else if (inEntry && line.contains(QLatin1Char('=')))
            entry.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    }
    EXPECT_EQ(entry.value(QStringLiteral("Type")), QStringLiteral("Application"));
    EXPECT_EQ(entry.value(QStringLiteral("Exec")), QStringLiteral("veltrin"));
#ifdef VELTRIN_HAS_PROGRAM
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("bin/veltrin"))).isExecutable());
#endif
    // Start-up reads both pictures from the working directory, and finds the help page there.
    EXPECT_EQ(entry.value(QStringLiteral("Path")), path(QStringLiteral("share/veltrin")));
    QStringList files{"share/veltrin/splash.jpg", "share/veltrin/icon.ico",
                      "share/doc/veltrin/LICENSE", "share/doc/veltrin/Lato-copyright"};
    for (const char *size : {"48x48", "64x64", "128x128", "256x256"})
        files << QStringLiteral("share/icons/hicolor/%1/apps/%2.png")
                     .arg(QLatin1String(size), entry.value(QStringLiteral("Icon")));
    for (const QString &file : files)
        EXPECT_TRUE(QFileInfo(path(file)).isFile()) << file.toStdString();
    const QByteArray help = contents(QStringLiteral("share/veltrin/help/index.html"));
    for (const char *topic : {"Publish an input", "Receive a source", "No sources appear", "5353"})
        EXPECT_TRUE(help.contains(topic)) << topic;

    const QString metainfo = QStringLiteral("share/metainfo/com.quorvane.Veltrin.metainfo.xml");
    EXPECT_TRUE(contents(metainfo).contains("<launchable type=\"desktop-id\">com.quorvane.Veltrin.desktop"
                              "</launchable>"));
    QProcess validate;
    validate.setProcessChannelMode(QProcess::MergedChannels);
    validate.start(QStringLiteral("appstreamcli"),
                   {QStringLiteral("validate"), QStringLiteral("--no-net"), path(metainfo)});
    ASSERT_TRUE(validate.waitForFinished(-1)) << "appstreamcli is missing (scripts/setup.sh --tests)";
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();

#ifdef VELTRIN_HAS_CLI
    // Its own version, then that of the NDI runtime it would use.
    QProcess version;
    version.start(path(QStringLiteral("bin/veltrin-cli")), {QStringLiteral("--version")});
    ASSERT_TRUE(version.waitForFinished(10000));
    EXPECT_EQ(version.exitCode(), 0);
    const QList<QByteArray> lines = version.readAllStandardOutput().split('\n');
    ASSERT_EQ(lines.size(), 3); // the last line ends too
    EXPECT_EQ(lines[0], QByteArray("veltrin-cli " VELTRIN_VERSION));
    EXPECT_TRUE(lines[1].startsWith("NDI runtime ") && lines[1].size() > 12) << lines[1].data();
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("share/man/man1/veltrin-cli.1.gz"))).isFile());
    EXPECT_TRUE(contents(QStringLiteral("lib/systemd/user/veltrin-cli@.service"))
                    .contains("KillSignal=SIGTERM"));
#endif
}

} // namespace
