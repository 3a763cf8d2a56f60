// The fault bench's network: a TUN device in each of two network namespaces, and this program
// carrying IP packets between them with the faults asked for, in both directions.
//   veltrin_fault_relay NETNS_A NETNS_B [--loss P] [--gilbert P_BAD R_GOOD] [--delay MS]
//                       [--jitter MS] [--reorder P] [--reorder-by MS] [--duplicate P] [--seed N]
// NETNS_x are names of `ip netns`; the device is "vrelay" in both. Probabilities are per packet:
//   --loss P          each packet is lost with probability P;
//   --gilbert P R     Gilbert's two-state model: from good to bad with probability P, back with
//                     R; every packet in the bad state is lost (loss P / (P + R), mean burst 1/R);
//   --delay MS        a fixed one-way delay;
//   --jitter MS       an extra delay drawn uniformly in [0, MS] anew every millisecond; packets
//                     keep their order (a queue that fills and drains, as a switch's does);
//   --reorder P       with probability P a packet is held back --reorder-by MS (default 1) more,
//                     so the packets behind it overtake it;
//   --duplicate P     with probability P a packet is delivered twice.
// With --off the faults start switched off; SIGUSR1 switches them on and off again, so that a
// run can be measured before, during and after them. Prints "ready" once both devices exist
// (the caller then gives them addresses and brings them up), and, at SIGTERM or SIGINT, one
// line of counts per direction.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <pthread.h>
#include <queue>
#include <random>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_active = 1;

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A TUN device named "vrelay" in the named network namespace; -1 on failure.
int openTun(const std::string &netns)
{
    const int ns = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
        std::perror(netns.c_str());
        return -1;
    }
    ::close(ns);
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::perror("/dev/net/tun");
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, "vrelay", IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        std::perror("TUNSETIFF");
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Faults {
    double loss = 0, gilbertBad = 0, gilbertGood = 1, duplicate = 0, reorder = 0;
    int64_t delayNs = 0, jitterNs = 0, reorderByNs = 1'000'000;
};

struct Packet {
    int64_t due;
    uint64_t order;
    std::vector<uint8_t> bytes;
    bool operator>(const Packet &other) const
    {
        return due != other.due ? due > other.due : order > other.order;
    }
};

// One direction: packets read from `in`, written to `out` when due.
class Direction
{
public:
    Direction(int in, int out, const Faults &faults, uint32_t seed)
        : m_in(in), m_out(out), m_faults(faults), m_random(seed)
    {
    }

    void read(int64_t now)
    {
        uint8_t buffer[65536];
        for (;;) {
            const ssize_t got = ::read(m_in, buffer, sizeof buffer);
            if (got <= 0)
                return;
            ++m_packets;
            if (!g_active) {
                m_lastDue = std::max(now + m_faults.delayNs, m_lastDue);
                m_queue.push({m_lastDue, m_order++, std::vector<uint8_t>(buffer, buffer + got)});
                continue;
            }
            if (lost()) {
                ++m_lost;
                continue;
            }
            if (m_faults.jitterNs > 0 && now >= m_nextDraw) {
                m_jitter = int64_t(uniform() * double(m_faults.jitterNs));
                m_nextDraw = now + 1'000'000;
            }
            int64_t due = std::max(now + m_faults.delayNs + m_jitter, m_lastDue);
            m_lastDue = due;
            if (uniform() < m_faults.reorder) {
                due += m_faults.reorderByNs;
                ++m_reordered;
            }
            std::vector<uint8_t> bytes(buffer, buffer + got);
            if (uniform() < m_faults.duplicate) {
                ++m_duplicated;
                m_queue.push({due, m_order++, bytes});
            }
            m_queue.push({due, m_order++, std::move(bytes)});
        }
    }

    void write(int64_t now)
    {
        while (!m_queue.empty() && m_queue.top().due <= now) {
            const auto &p = m_queue.top().bytes;
            if (::write(m_out, p.data(), p.size()) < 0)
                ++m_writeErrors;
            m_queue.pop();
        }
    }

    int64_t nextDue() const { return m_queue.empty() ? INT64_MAX : m_queue.top().due; }

    void print(const char *name) const
    {
        std::printf("%s packets=%llu lost=%llu duplicated=%llu reordered=%llu write_errors=%llu\n",
                    name, static_cast<unsigned long long>(m_packets),
                    static_cast<unsigned long long>(m_lost),
                    static_cast<unsigned long long>(m_duplicated),
                    static_cast<unsigned long long>(m_reordered),
                    static_cast<unsigned long long>(m_writeErrors));
    }

private:
    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(m_random); }
    bool lost()
    {
        if (m_faults.gilbertBad > 0) {
            m_bad = m_bad ? uniform() >= m_faults.gilbertGood : uniform() < m_faults.gilbertBad;
            if (m_bad)
                return true;
        }
        return uniform() < m_faults.loss;
    }

    const int m_in, m_out;
    const Faults m_faults;
    std::mt19937_64 m_random;
    std::priority_queue<Packet, std::vector<Packet>, std::greater<Packet>> m_queue;
    uint64_t m_order = 0;
    int64_t m_lastDue = 0, m_jitter = 0, m_nextDraw = 0;
    bool m_bad = false;
    uint64_t m_packets = 0, m_lost = 0, m_duplicated = 0, m_reordered = 0, m_writeErrors = 0;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s NETNS_A NETNS_B [options]\n", argv[0]);
        return 2;
    }
    Faults faults;
    uint32_t seed = 1;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&] { return i + 1 < argc ? std::atof(argv[++i]) : 0.0; };
        if (option == "--loss")
            faults.loss = value();
        else if (option == "--gilbert") {
            faults.gilbertBad = value();
            faults.gilbertGood = value();
        } else if (option == "--delay")
            faults.delayNs = int64_t(value() * 1e6);
        else if (option == "--jitter")
            faults.jitterNs = int64_t(value() * 1e6);
        else if (option == "--reorder")
            faults.reorder = value();
        else if (option == "--reorder-by")
            faults.reorderByNs = int64_t(value() * 1e6);
        else if (option == "--duplicate")
            faults.duplicate = value();
        else if (option == "--seed")
            seed = uint32_t(value());
        else if (option == "--off")
            g_active = 0;
        else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    const int a = openTun(argv[1]);
    const int b = openTun(argv[2]);
    if (a < 0 || b < 0)
        return 1;
    // The network should not be what a busy machine delays.
    sched_param param{};
    param.sched_priority = 20;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGUSR1, [](int) { g_active = !g_active; });
    std::printf("ready\n");
    std::fflush(stdout);

    Direction ab(a, b, faults, seed), ba(b, a, faults, seed * 7919 + 1);
    while (!g_stop) {
        const int64_t now = nowNs();
        const int64_t next = std::min(ab.nextDue(), ba.nextDue());
        const int64_t wait = std::clamp<int64_t>(next - now, 0, 100'000'000);
        const timespec timeout{time_t(wait / 1'000'000'000), long(wait % 1'000'000'000)};
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        ::ppoll(p, 2, &timeout, nullptr);
        const int64_t t = nowNs();
        if (p[0].revents & POLLIN)
            ab.read(t);
        if (p[1].revents & POLLIN)
            ba.read(t);
        ab.write(nowNs());
        ba.write(nowNs());
    }
    ab.print("a->b");
    ba.print("b->a");
    return 0;
}
