// Around the tests of whole programs (veltrin-cli, the main window): veltrin-cli as a child
// process, and NDI tones sent and heard by the test process.
//
// Threads: everything runs on the test thread, except a ToneSender's own sending thread, which
// touches only its sender and a stop flag.
#pragma once

#include "ChildProgram.h"
#include "NdiLib.h"

#include <QStringList>
#include <atomic>
#include <string>
#include <thread>

namespace clitest {

constexpr int kRate = 48000;

// veltrin-cli as a child process, its two outputs as lists of lines without the empty ones.
class CliProcess : public pwtest::ChildProgram
{
public:
    explicit CliProcess(const QStringList &arguments);

    // The exit status, or -1 when it did not exit in time (the destructor then stops it).
    int finish(int timeoutMs) { return wait(timeoutMs); }
    // True once a line of standard error contains `text`.
    bool waitForErrorLine(const QString &text, int timeoutMs)
    {
        return waitFor(text.toStdString(), timeoutMs, true);
    }
    QStringList outputLines() const { return lines(output()); }
    QStringList errorLines() const { return lines(output(true)); }

private:
    static QStringList lines(const std::string &text)
    {
        return QString::fromStdString(text).split('\n', Qt::SkipEmptyParts);
    }
};

// A 48 kHz stereo NDI source carrying a sine on both channels, paced on an absolute schedule,
// from construction to destruction.
class ToneSender
{
public:
    ToneSender(const std::string &name, double frequency, float amplitude);
    ~ToneSender();

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Receives `source` through a frame synchroniser, pulled at 48 kHz in blocks of 2048 frames in
// real time: true once `count` blocks in a row carry the tone on both channels, false when
// `timeoutMs` has passed first. Amplitude 0 listens for silence.
bool hearTone(const std::string &source, double frequency, double amplitude, int count,
              int timeoutMs);

// Points HOME at `home`, a scratch directory, with `config` as its NDI configuration file, which
// the programs started afterwards and this process's runtime read. The file's path, or an empty
// text when it could not be written.
QString useNdiHome(const QString &home, const QByteArray &config);

} // namespace clitest
