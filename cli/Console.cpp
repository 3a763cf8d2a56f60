#include "Console.h"

#include <QString>
#include <QtGlobal>
#include <dlfcn.h>
#include <unistd.h>

namespace veltrin::cli {

namespace {

bool g_verbose = false;

void qtMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (g_verbose)
        Console::message("Qt: " + text.toStdString());
}

void quietAlsa(const char *, int, const char *, int, const char *, ...) {}
void quietJack(const char *) {}

// The audio libraries' own diagnostic hooks. They are looked up in the running process rather
// than linked: ALSA and JACK come in through PortAudio when it was built with them, and are
// absent under the tests' PortAudio double.
template <typename Function> Function lookUp(const char *symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, symbol));
}

void quietAudioLibraries()
{
    using AlsaHandler = void (*)(const char *, int, const char *, int, const char *, ...);
    if (auto set = lookUp<int (*)(AlsaHandler)>("snd_lib_error_set_handler"))
        set(quietAlsa);
    using JackHandler = void (*)(const char *);
    if (auto set = lookUp<void (*)(JackHandler)>("jack_set_error_function"))
        set(quietJack);
    if (auto set = lookUp<void (*)(JackHandler)>("jack_set_info_function"))
        set(quietJack);
}

} // namespace

Console::Console(bool verbose)
{
    g_verbose = verbose;
    qInstallMessageHandler(qtMessage);
    if (!verbose)
        quietAudioLibraries();

    std::fflush(stdout);
    m_savedStdout = dup(STDOUT_FILENO);
    if (m_savedStdout >= 0)
        m_data = fdopen(dup(m_savedStdout), "w");
    if (m_data != nullptr && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
        // The engine's lines should show as they are printed, not when a buffer fills.
        setvbuf(stdout, nullptr, _IOLBF, 0);
    } else if (m_data != nullptr) {
        std::fclose(m_data);
        m_data = nullptr;
    }
}

Console::~Console()
{
    qInstallMessageHandler(nullptr);
    std::fflush(stdout);
    if (m_data != nullptr) {
        std::fclose(m_data);
        dup2(m_savedStdout, STDOUT_FILENO);
    }
    if (m_savedStdout >= 0)
        close(m_savedStdout);
}

bool Console::data(const std::string &text)
{
    std::FILE *out = m_data != nullptr ? m_data : stdout;
    const bool written = std::fputs(text.c_str(), out) >= 0 && std::fputc('\n', out) != EOF;
    return std::fflush(out) == 0 && written;
}

void Console::message(const std::string &text)
{
    const std::string line = "veltrin-cli: " + text + "\n";
    std::fputs(line.c_str(), stderr);
}

void setJackClientName(const std::string &name)
{
    // PortAudio keeps the pointer, so the text lives as long as the process.
    static std::string stored;
    stored = name;
    if (auto set = lookUp<int (*)(const char *)>("PaJack_SetClientName"))
        set(stored.c_str());
}

} // namespace veltrin::cli
