#include "JackControl.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <jack/jack.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrin::bench {

namespace {

// Takes the lines of one answer off the front of `text`: the lines before a line ".".
bool takeAnswer(std::string &text, std::vector<std::string> &lines)
{
    std::vector<std::string> taken;
    size_t at = 0;
    for (;;) {
        const auto end = text.find('\n', at);
        if (end == std::string::npos)
            return false;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line == ".")
            break;
        taken.push_back(std::move(line));
    }
    text.erase(0, at);
    lines = std::move(taken);
    return true;
}

bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void quietJack(const char *) {}

// What the helper answers to one request (see serveJack), without the closing line.
std::string answer(jack_client_t *jack, const std::vector<std::string> &f)
{
    std::string lines;
    if (f.size() == 3 && f[0] == "ports") {
        const auto flags = std::strtoul(f[2].c_str(), nullptr, 10);
        if (const char **ports = jack_get_ports(jack, ("^" + f[1] + ":").c_str(), nullptr, flags)) {
            for (const char **p = ports; *p != nullptr; ++p) {
                jack_port_t *port = jack_port_by_name(jack, *p);
                lines += std::to_string(port ? jack_port_connected(port) : 0) + "\t" + *p + "\n";
            }
            jack_free(ports);
        }
    } else if (f.size() == 3 && f[0] == "connect") {
        lines = std::to_string(jack_connect(jack, f[1].c_str(), f[2].c_str())) + "\n";
    } else if (f.size() == 2 && f[0] == "disconnect") {
        jack_port_t *p = jack_port_by_name(jack, f[1].c_str());
        const char **others = p ? jack_port_get_all_connections(jack, p) : nullptr;
        for (const char **o = others; o != nullptr && *o != nullptr; ++o) {
            if (jack_port_flags(p) & JackPortIsInput)
                jack_disconnect(jack, *o, f[1].c_str());
            else
                jack_disconnect(jack, f[1].c_str(), *o);
        }
        if (others != nullptr)
            jack_free(others);
    }
    return lines;
}

// The helper's side of JackControl: one request per line, fields split by tabs ("ports",
// client, flags; "connect", from, to; "disconnect", port); every answer ends with a line ".".
[[noreturn]] void serveJack(int fd, const std::string &server, const std::string &name)
{
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    jack_client_t *jack = nullptr;
    for (int attempt = 0; attempt < 200 && jack == nullptr; ++attempt) {
        jack_status_t status{};
        jack = jack_client_open(name.c_str(),
                                static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                &status, server.c_str());
        if (jack == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    writeAll(fd, jack != nullptr ? "ready\n.\n" : "no server\n.\n");
    std::string pending;
    char buffer[4096];
    while (jack != nullptr) {
        const auto line = pending.find('\n');
        if (line == std::string::npos) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            pending.append(buffer, size_t(n));
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream in(pending.substr(0, line));
        for (std::string field; std::getline(in, field, '\t');)
            fields.push_back(field);
        pending.erase(0, line + 1);
        if (!writeAll(fd, answer(jack, fields) + ".\n"))
            break;
    }
    if (jack != nullptr)
        jack_client_close(jack);
    _exit(0);
}

} // namespace

JackControl::JackControl(const std::string &server, const std::string &name)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    // The benchmark holds no JACK client itself and runs no other thread, so the forked helper
    // may use libjack freely.
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        // Nothing but its own end: a copy of another helper's socket would keep that one
        // from seeing the benchmark close it.
        dup2(fds[1], 3);
        close_range(4, ~0U, 0);
        fds[1] = 3;
        serveJack(fds[1], server, name);
    }
    close(fds[1]);
    m_socket = fds[0];
    m_ok = m_pid > 0 && request("") == std::vector<std::string>{"ready"};
}

JackControl::~JackControl()
{
    if (m_socket >= 0)
        close(m_socket); // the helper sees the end of its input and exits
    if (m_pid > 0)
        waitpid(m_pid, nullptr, 0);
}

std::vector<std::string> JackControl::request(const std::string &line)
{
    std::vector<std::string> lines;
    if (m_socket < 0 || (!line.empty() && !writeAll(m_socket, line + "\n")))
        return lines;
    char buffer[4096];
    while (!takeAnswer(m_pending, lines)) {
        const ssize_t n = read(m_socket, buffer, sizeof buffer);
        if (n <= 0) {
            close(m_socket);
            m_socket = -1;
            m_ok = false;
            return {};
        }
        m_pending.append(buffer, size_t(n));
    }
    return lines;
}

std::vector<JackControl::Port> JackControl::ports(const std::string &client, unsigned long flags)
{
    std::vector<Port> ports;
    for (const auto &line : request("ports\t" + client + "\t" + std::to_string(flags))) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos)
            ports.push_back({line.substr(tab + 1), std::atoi(line.c_str())});
    }
    auto index = [](const Port &p) {
        const auto digits = p.name.find_last_not_of("0123456789");
        return std::atol(p.name.c_str() + digits + 1);
    };
    std::sort(ports.begin(), ports.end(),
              [&](const Port &a, const Port &b) { return index(a) < index(b); });
    return ports;
}

bool JackControl::connect(const std::string &from, const std::string &to)
{
    const auto answer = request("connect\t" + from + "\t" + to);
    return answer.size() == 1 && answer[0] == "0";
}

void JackControl::disconnectAll(const std::string &port)
{
    request("disconnect\t" + port);
}

} // namespace veltrin::bench
