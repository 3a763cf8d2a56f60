// Real virtual audio devices for tests: a private JACK dummy server, and a probe client that
// feeds known signals into a PortAudio stream's input ports and records what its output ports play.
//
// Threads: JackServer and JackProbe are driven from the test thread; the probe's process
// callback runs on JACK's thread and only touches preallocated buffers and atomics.
// JackClient is the client set-up the probes of the tests and of the bridge benchmark share.
#pragma once

#include "ChildProgram.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _jack_client;
struct _jack_port;

// Starts `jackd -n <unique> -d dummy -r rate -p period -C inputs -P outputs`, waits until it
// accepts clients, and points JACK_DEFAULT_SERVER at it so that PortAudio (initialised after
// this) uses it. Stops it by PID in the destructor.
class JackServer
{
public:
    JackServer(int rate = 48000, int period = 256, int inputs = 2, int outputs = 2);

    bool running() const { return m_ready; }

    // The server crashes (SIGKILL), as a pulled interface or a dying sound server looks to its
    // clients; start() brings up a new one under the same name. True once it accepts clients.
    void kill();
    bool start();

private:
    std::vector<std::string> m_argv;
    std::string m_name;
    std::unique_ptr<pwtest::ChildProgram> m_jackd;
    bool m_ready = false;
};

// Sets the JACK client name of the PortAudio streams opened after this call (must precede
// Pa_Initialize, which every engine entry calls at its start).
void setPortAudioJackClientName(const std::string &name);

// A JACK client with `inputs` input ports in_k and `outputs` output ports out_k on the server
// `server` (empty: JACK_DEFAULT_SERVER, or "default"). The owner prepares what its callbacks
// use, then activates; the destructor deactivates and closes. Never starts a server.
class JackClient
{
public:
    using ProcessCallback = int (*)(unsigned int frames, void *arg);
    using XrunCallback = int (*)(void *arg);

    JackClient(const std::string &name, const std::string &server, int inputs, int outputs);
    ~JackClient() { close(); }
    JackClient(const JackClient &) = delete;
    JackClient &operator=(const JackClient &) = delete;

    // Sets the callbacks (run on JACK's process and notification threads; `xrun` may be null)
    // and activates.
    bool activate(ProcessCallback process, XrunCallback xrun, void *arg);
    // Deactivates and closes now: no callback runs after this returns.
    void close();

    bool ok() const { return m_client != nullptr; }
    bool active() const { return m_active; }
    _jack_client *get() const { return m_client; }
    int sampleRate() const;
    const std::vector<_jack_port *> &inputs() const { return m_ins; }
    const std::vector<_jack_port *> &outputs() const { return m_outs; }

private:
    _jack_client *m_client = nullptr;
    bool m_active = false;
    std::vector<_jack_port *> m_outs, m_ins;
};

class JackProbe
{
public:
    // A client with `channels` output ports (probe:out_k) and `channels` input ports
    // (probe:in_k). `recordSeconds` bounds the recording of each input.
    JackProbe(const std::string &name, int channels, double recordSeconds = 30.0);

    bool ok() const { return m_jack.active(); }

    // Value of channel c at frame f of the probe's output (f counts the probe's own frames).
    void setSignal(std::function<float(long long frame, int channel)> signal);

    // Waits up to `timeoutMs` for the PortAudio client `paClient` (or the numbered name the
    // server gave it) to have `inputs` input ports and `outputs` output ports connected, then
    // wires probe:out_k into paClient:in_k and paClient:out_k into probe:in_k.
    bool wire(const std::string &paClient, int inputs, int outputs, int timeoutMs = 10000);

    // Recorded samples of input k since the last clear.
    std::vector<float> recorded(int channel) const;
    void clearRecording();
    // Frames the probe's process callback has run for (its own clock).
    long long framesElapsed() const { return m_elapsed.load(); }

private:
    static int process(unsigned int frames, void *arg);

    using Signal = std::function<float(long long, int)>;
    // The process callback reads the current signal through this pointer; every signal set is
    // kept until the probe is destroyed, so the callback never sees a freed one.
    std::atomic<const Signal *> m_signal{nullptr};
    std::vector<std::unique_ptr<Signal>> m_signals;
    std::vector<std::vector<float>> m_record;
    std::atomic<long long> m_recorded{0}, m_elapsed{0};
    std::atomic<bool> m_clearRequest{false};
    size_t m_capacity = 0;
    // Last, so that it is deactivated before anything its process callback uses is destroyed.
    JackClient m_jack;
};
