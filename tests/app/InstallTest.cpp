// What `cmake --install` puts on a system: the program, its data directory with the splash
// picture, the icon and the help page, the desktop entry that starts Veltrin there, the icons
// the entry names, and AppStream metadata that validates; the command-line program, which runs
// from the prefix (its commands are cli_test's), with its manual page and systemd user unit.
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The standard output of `program` run with `arguments`, or "failed: " and both its outputs when
// it did not exit with 0.
QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (process.waitForFinished(-1) && process.exitCode() == 0)
        return process.readAllStandardOutput();
    return "failed: " + process.readAllStandardOutput() + process.readAllStandardError();
}

TEST(InstallTest, TheInstalledTreeStartsVeltrinAndDescribesIt)
{
    const QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString prefix = root.path() + QStringLiteral("/usr"), share = prefix + "/share/";
    ASSERT_FALSE(
        run(QStringLiteral(VELTRIN_CMAKE), {"--install", VELTRIN_BUILD_DIR, "--prefix", prefix})
            .startsWith("failed"));
    const auto contents = [&](const QString &relative) {
        QFile file(prefix + "/" + relative);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QSettings desktop(share + "applications/com.quorvane.Veltrin.desktop", QSettings::IniFormat);
    desktop.beginGroup(QStringLiteral("Desktop Entry"));
    // Start-up reads both pictures from the working directory, and finds the help page there.
    EXPECT_EQ(desktop.value("Type").toString() + desktop.value("Exec").toString() + " "
                  + desktop.value("Path").toString(),
              "Applicationveltrin " + share + "veltrin");
    QStringList files{"share/veltrin/splash.jpg", "share/veltrin/icon.ico",
                      "share/doc/veltrin/LICENSE", "share/doc/veltrin/Lato-copyright"};
    for (const char *size : {"48x48", "64x64", "128x128", "256x256"})
        files << QStringLiteral("share/icons/hicolor/%1/apps/%2.png")
                     .arg(QLatin1String(size), desktop.value("Icon").toString());
    for (const QString &file : files)
        EXPECT_TRUE(QFileInfo(prefix + "/" + file).isFile()) << file.toStdString();
#ifdef VELTRIN_HAS_PROGRAM
    EXPECT_TRUE(QFileInfo(prefix + "/bin/veltrin").isExecutable());
#endif
    EXPECT_TRUE(
        contents(QStringLiteral("share/veltrin/help/index.html")).contains("No sources appear"));
    const QString metainfo = QStringLiteral("share/metainfo/com.quorvane.Veltrin.metainfo.xml");
    EXPECT_TRUE(contents(metainfo).contains(
        "<launchable type=\"desktop-id\">com.quorvane.Veltrin.desktop</launchable>"));
    // appstreamcli comes with scripts/setup.sh --tests.
    const QByteArray validation =
        run(QStringLiteral("appstreamcli"), {"validate", "--no-net", prefix + "/" + metainfo});
    EXPECT_FALSE(validation.startsWith("failed")) << validation.data();
#ifdef VELTRIN_HAS_CLI
    // Its own version, then that of the NDI runtime it would use.
    const QList<QByteArray> lines = run(prefix + "/bin/veltrin-cli", {"--version"}).split('\n');
    ASSERT_EQ(lines.size(), 3); // the last line ends too
    EXPECT_EQ(lines[0], QByteArray("veltrin-cli " VELTRIN_VERSION));
    EXPECT_TRUE(lines[1].startsWith("NDI runtime ") && lines[1].size() > 12) << lines[1].data();
    EXPECT_TRUE(QFileInfo(share + "man/man1/veltrin-cli.1.gz").isFile());
    EXPECT_TRUE(contents(QStringLiteral("lib/systemd/user/veltrin-cli@.service"))
                    .contains("KillSignal=SIGTERM"));
#endif
}

} // namespace
