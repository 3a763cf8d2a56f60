// Where veltrin-cli writes. Standard output carries only data (listings, meter lines), so that
// it can be piped; everything else goes to standard error. The engine and the NDI runtime
// loader print their messages with printf on standard output: for the life of a Console,
// file descriptor 1 is standard error and the data goes to a duplicate of the original.
//
// Also quiets the diagnostics that the audio libraries print on every PortAudio start (ALSA's
// configuration complaints, JACK's "cannot connect" lines) and Qt's, unless verbose.
//
// Threads: made and used on the command's thread; message() may be called from any thread
// (one fputs on unbuffered standard error per line).
#pragma once

#include <cstdio>
#include <string>

namespace veltrin::cli {

class Console
{
public:
    explicit Console(bool verbose);
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // One line of data on the original standard output, flushed. False when it cannot be
    // written (a closed pipe).
    bool data(const std::string &text);
    // "veltrin-cli: <text>" on standard error.
    static void message(const std::string &text);

private:
    std::FILE *m_data = nullptr;
    int m_savedStdout = -1;
};

// Sets the JACK client name of the PortAudio streams opened after this call, when PortAudio
// was built with JACK. Call before Pa_Initialize.
void setJackClientName(const std::string &name);

} // namespace veltrin::cli
