// What the veltrin-cli tests need around the program: the program run as a child process with
// its two outputs kept apart, and NDI tone senders and listeners inside the test process.
//
// Threads: CliProcess is driven from the test thread. ToneSender and ToneListener each run one
// thread of their own that only touches atomics and the NDI handles it owns.
#pragma once

#include "NdiLib.h"

#include <QProcess>
#include <QStringList>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace clitest {

constexpr int kRate = 48000;

// True when `n` samples, `step` floats apart, hold a sine of `frequency` Hz at `rate` with
// amplitude `amplitude` (within 10 %) and nothing else of weight: the energy at that one
// frequency is the block's whole energy.
bool carriesTone(const float *samples, int n, int step, double frequency, double amplitude,
                 int rate = kRate);

// Blocks of `block` samples of `track` from `from` on that carry the tone, and all blocks.
struct ToneCount {
    int tone = 0;
    int blocks = 0;
};
ToneCount countToneBlocks(const std::vector<float> &track, size_t from, int block, double frequency,
                          double amplitude);

// veltrin-cli (or another program) as a child process. The destructor kills what still runs.
class CliProcess
{
public:
    explicit CliProcess(const QStringList &arguments, const QString &program = QString());
    ~CliProcess();
    CliProcess(const CliProcess &) = delete;
    CliProcess &operator=(const CliProcess &) = delete;

    // True once a line of standard error contains `text`; false after `timeoutMs`.
    bool waitForErrorLine(const QString &text, int timeoutMs);
    // True once `count` lines of standard output start with `prefix`; false after `timeoutMs`.
    bool waitForOutputLines(const QString &prefix, int count, int timeoutMs);
    // Waits for the exit; the exit status, or -1 when it did not exit (it is then killed).
    int finish(int timeoutMs);
    void signal(int number);

    QStringList outputLines() const;
    QStringList errorLines() const;
    // The lines of standard error that the program itself wrote ("veltrin-cli: ...").
    QStringList ownErrorLines() const;

private:
    void pump(int timeoutMs);

    QProcess m_process;
    QByteArray m_out, m_err;
};

// Publishes a sine on both channels of a 48 kHz stereo NDI source, 256 frames at a time,
// paced on an absolute schedule. The source exists from construction to destruction.
class ToneSender
{
public:
    ToneSender(const std::string &name, double frequency, float amplitude);
    ~ToneSender();
    ToneSender(const ToneSender &) = delete;
    ToneSender &operator=(const ToneSender &) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Receives an NDI source through a frame synchroniser, pulled at 48 kHz in blocks of 2048
// frames on an absolute schedule, and counts the blocks that carry an expected tone.
class ToneListener
{
public:
    ToneListener(const std::string &source, double frequency, double amplitude);
    ~ToneListener();
    ToneListener(const ToneListener &) = delete;
    ToneListener &operator=(const ToneListener &) = delete;

    // True once `count` blocks in a row carried the tone on both channels.
    bool heardInARow(int count, int timeoutMs);

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_bestRun{0};
    std::thread m_thread;
};

// Whether discovery in the test process lists `name` within `timeoutMs`.
bool sourceListed(const std::string &name, int timeoutMs);
// Whether `name` disappears from discovery within `timeoutMs`.
bool sourceGone(const std::string &name, int timeoutMs);

} // namespace clitest
