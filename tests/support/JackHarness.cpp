#include "JackHarness.h"

#include "WaitFor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jack/jack.h>
#include <pa_jack.h>
#include <unistd.h>

namespace {

bool connected(jack_client_t *client, const std::string &port)
{
    const jack_port_t *found = jack_port_by_name(client, port.c_str());
    return found != nullptr && jack_port_connected(found) > 0;
}

std::string port(const std::string &owner, const char *kind, int k)
{
    return owner + ":" + kind + std::to_string(k);
}

} // namespace

JackServer::JackServer(int rate, int period, int inputs, int outputs)
{
    static std::atomic<int> serial{0};
    m_name = "veltrin-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    jack_set_error_function([](const char *) {});
    jack_set_info_function([](const char *) {});
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    // -R asks for real-time scheduling, which gives the dummy driver fewer xruns of its own;
    // jackd carries on without it where it is not allowed.
    m_argv = {"jackd", "-n", m_name, "-R", "-d", "dummy"};
    for (const auto &[flag, value] :
         {std::pair{"-r", rate}, {"-p", period}, {"-C", inputs}, {"-P", outputs}})
        m_argv.insert(m_argv.end(), {flag, std::to_string(value)});
    start();
}

bool JackServer::start()
{
    // jackd may take a while to leave on a loaded machine; one killed while it still holds
    // JACK's shared registry keeps other servers from starting: give it three seconds.
    m_jackd = std::make_unique<pwtest::ChildProgram>(m_argv, std::vector<std::string>{},
                                                     "/dev/null", SIGTERM, 3000);
    // Ready when a client can connect; give a slow machine ten seconds.
    m_ready = veltrin::test::waitFor(
        [&] { return m_jackd->running() && JackClient("veltrin-ready", m_name, 0, 0).ok(); }, 10000,
        50);
    if (m_ready)
        setenv("JACK_DEFAULT_SERVER", m_name.c_str(), 1);
    else
        std::fprintf(stderr, "jackd did not become ready\n");
    return m_ready;
}

void JackServer::kill()
{
    if (m_jackd)
        m_jackd->stop(SIGKILL, 5000);
    m_jackd.reset();
    m_ready = false;
}

void setPortAudioJackClientName(const std::string &name)
{
    // PortAudio keeps the pointer, so the text must outlive every later Pa_Initialize.
    static std::string stored;
    stored = name;
    PaJack_SetClientName(stored.c_str());
}

JackClient::JackClient(const std::string &name, const std::string &server, int inputs, int outputs)
{
    // Without a server name libjack goes by JACK_DEFAULT_SERVER, else "default".
    const auto options = server.empty() ? JackNoStartServer : JackNoStartServer | JackServerName;
    jack_status_t status{};
    m_client = jack_client_open(name.c_str(), static_cast<jack_options_t>(options), &status,
                                server.c_str());
    for (auto [ports, count, kind, flags] : {std::tuple{&m_outs, outputs, "out_", JackPortIsOutput},
                                             {&m_ins, inputs, "in_", JackPortIsInput}})
        for (int k = 0; k < count && m_client != nullptr; ++k) {
            ports->push_back(jack_port_register(m_client, (kind + std::to_string(k)).c_str(),
                                                JACK_DEFAULT_AUDIO_TYPE, flags, 0));
            if (ports->back() == nullptr)
                close();
        }
}

void JackClient::close()
{
    if (m_client != nullptr && m_active)
        jack_deactivate(m_client);
    if (m_client != nullptr)
        jack_client_close(m_client);
    m_client = nullptr;
    m_active = false;
}

bool JackClient::activate(ProcessCallback process, XrunCallback xrun, void *arg)
{
    if (m_client == nullptr)
        return false;
    jack_set_process_callback(m_client, process, arg);
    if (xrun != nullptr)
        jack_set_xrun_callback(m_client, xrun, arg);
    return m_active = jack_activate(m_client) == 0;
}

int JackClient::sampleRate() const
{
    return static_cast<int>(jack_get_sample_rate(m_client));
}

JackProbe::JackProbe(const std::string &name, int channels, double recordSeconds)
    : m_jack(name, "", channels, channels)
{
    if (!m_jack.ok())
        return;
    m_capacity = static_cast<size_t>(recordSeconds * m_jack.sampleRate());
    m_record.assign(static_cast<size_t>(channels), std::vector<float>(m_capacity, 0.0f));
    m_jack.activate(&JackProbe::process, nullptr, this);
}

void JackProbe::setSignal(std::function<float(long long, int)> signal)
{
    m_signals.push_back(std::make_unique<Signal>(std::move(signal)));
    m_signal.store(m_signals.back().get(), std::memory_order_release);
}

int JackProbe::process(unsigned int frames, void *arg)
{
    auto *self = static_cast<JackProbe *>(arg);
    const long long start = self->m_elapsed.load(std::memory_order_relaxed);
    const Signal *signal = self->m_signal.load(std::memory_order_acquire);
    if (self->m_clearRequest.exchange(false, std::memory_order_acquire))
        self->m_recorded.store(0, std::memory_order_relaxed);
    const long long recorded = self->m_recorded.load(std::memory_order_relaxed);
    const size_t n = std::min<size_t>(frames, self->m_capacity - static_cast<size_t>(recorded));
    for (size_t k = 0; k < self->m_record.size(); ++k) {
        auto *out = static_cast<float *>(jack_port_get_buffer(self->m_jack.outputs()[k], frames));
        for (unsigned int f = 0; f < frames; ++f)
            out[f] =
                signal != nullptr && *signal ? (*signal)(start + f, static_cast<int>(k)) : 0.0f;
        const auto *in =
            static_cast<const float *>(jack_port_get_buffer(self->m_jack.inputs()[k], frames));
        std::copy(in, in + n, self->m_record[k].begin() + recorded);
    }
    // Release: the samples above are visible to a reader that sees the new count.
    self->m_recorded.store(recorded + static_cast<long long>(n), std::memory_order_release);
    self->m_elapsed.store(start + frames, std::memory_order_relaxed);
    return 0;
}

bool JackProbe::wire(const std::string &paClient, int inputs, int outputs, int timeoutMs)
{
    jack_client_t *client = m_jack.get();
    if (!ok())
        return false;
    const std::string probe = jack_get_client_name(client);
    // PortAudio registers its ports when the stream opens and connects them when it starts.
    const auto ready = [&](const std::string &name) {
        for (int k = 0; k < inputs + outputs; ++k)
            if (!connected(client,
                           k < inputs ? port(name, "in_", k) : port(name, "out_", k - inputs)))
                return false;
        return true;
    };
    // While the server still holds the name of a client just closed, a new client of that
    // name is given a numbered one ("name-01"): the stream's ports are looked for under both.
    std::string name;
    const bool found = veltrin::test::waitFor(
        [&] {
            std::vector<std::string> names{paClient};
            if (const char **ports =
                    jack_get_ports(client, ("^" + paClient + "-[0-9]+:").c_str(), nullptr, 0)) {
                for (const char **p = ports; *p != nullptr; ++p)
                    names.emplace_back(*p, std::strchr(*p, ':'));
                jack_free(ports);
            }
            const auto it = std::find_if(names.begin(), names.end(), ready);
            name = it != names.end() ? *it : "";
            return !name.empty();
        },
        timeoutMs, 20);
    // The probe's out_k feeds the stream's in_k, the stream's out_k the probe's in_k. What else
    // feeds the stream's inputs (the dummy server's silent capture ports) is left in place.
    bool ok = found;
    for (int k = 0; ok && k < inputs + outputs; ++k) {
        const std::string from =
            k < inputs ? port(probe, "out_", k) : port(name, "out_", k - inputs);
        const std::string to = k < inputs ? port(name, "in_", k) : port(probe, "in_", k - inputs);
        ok = jack_connect(client, from.c_str(), to.c_str()) == 0;
    }
    return ok;
}

std::vector<float> JackProbe::recorded(int channel) const
{
    const long long n = m_recorded.load(std::memory_order_acquire);
    const auto &track = m_record.at(static_cast<size_t>(channel));
    return {track.begin(), track.begin() + n};
}

void JackProbe::clearRecording()
{
    m_clearRequest.store(true, std::memory_order_release);
    // Wait for the process callback to take the request, so the next read starts afresh.
    veltrin::test::waitFor([&] { return !m_clearRequest.load(std::memory_order_acquire); }, 1000,
                           2);
}
