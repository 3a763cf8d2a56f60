// One side of the fault bench's signal path, as a process of its own (each runs in its own
// network namespace):
//   veltrin_fault_signal send NAME CHANNELS BLOCK SECONDS
//   veltrin_fault_signal recv NAME CHANNELS BLOCK SECONDS
//   veltrin_fault_signal duplex NAME_IN NAME_OUT CHANNELS BLOCK SECONDS
//   veltrin_fault_signal now          (prints the clock, for the scripts that inject faults)
//   veltrin_fault_signal hold-5353    (holds UDP port 5353 without sharing it, until killed)
// "duplex" is one process that publishes NAME_OUT and receives NAME_IN at once, as a duplex
// device does; it prints what "recv" prints.
// Both sides keep a sound card's schedule on CLOCK_MONOTONIC, which every namespace of one
// machine shares. The sender publishes the test signal with frame k of its schedule being frame
// floor(t * rate) of the clock, so the receiver can tell from any sample which instant it was
// captured at: latency is read from the samples themselves, to the frame.
//
// Times printed are seconds on CLOCK_MONOTONIC. "send" prints "sending at=<s>" once the source
// exists. "recv" prints one line a second,
//   t=<s> audio=<frames> silent=<frames> silences=<n> longest_ms=<ms> jumps=<n> wrong=<n>
//   latency_ms=<median of the second>
// then "transport repaired=<shards> concealed_shards=<n> concealed_blocks=<n> skipped=<n>
// late=<n> connections=<n> resampling=<0|1> underruns=<n>" (the receiver's and the frame
// synchroniser's counts so far), "first at=<s>" when audio first plays, "silence at=<s>
// ms=<length>" when a silence ends, and at the end "total ..." with the fields over the run. A
// silence is a run of frames that are zero on every channel, at least 0.5 ms long, after the first
// audio; a jump is audio that goes on from another place than the next frame (frames lost or
// dropped); wrong frames are neither the signal nor silence (concealed). Both end at SECONDS, or
// when standard input, a pipe, closes.
#include "Discovery.h"
#include "FrameSync.h"
#include "NdiLib.h"
#include "Receiver.h"
#include "TestSignal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;

double monotonicSeconds()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// A pipe on standard input that closes asks for a clean end (anything else is not watched).
bool inputClosed()
{
    static const bool pipe = [] {
        struct stat st {
        };
        return fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
    }();
    if (!pipe)
        return false;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 0) != 1)
        return false;
    char c;
    return read(STDIN_FILENO, &c, 1) <= 0;
}

// Sleeps until frame `frame` of the clock is due.
void waitForFrame(int64_t frame)
{
    std::this_thread::sleep_until(Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(frame) / kRate))));
}

int send(const std::string &name, int channels, int block, double seconds)
{
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name.c_str();
    NDIlib_send_instance_t sender = NDIlib_send_create(&settings);
    if (sender == nullptr)
        return 1;
    std::printf("sending at=%.6f\n", monotonicSeconds());
    std::fflush(stdout);
    std::vector<float> planar(size_t(block) * size_t(channels));
    int64_t frame = int64_t(monotonicSeconds() * kRate) / block * block + block;
    const int64_t end = frame + int64_t(seconds * kRate);
    while (frame < end && !inputClosed()) {
        // A block is handed over once all of it has been captured.
        waitForFrame(frame + block);
        const NDIlib_audio_frame_v2_t audio =
            veltrin::test::signalBlock(kRate, channels, block, frame, planar);
        NDIlib_send_send_audio_v2(sender, &audio);
        frame += block;
    }
    NDIlib_send_destroy(sender);
    return 0;
}

struct Counts {
    int64_t audio = 0, silent = 0, silences = 0, longest = 0, jumps = 0, wrong = 0;
    std::vector<int> latencies; // frames
    void print(const char *label) const
    {
        std::vector<int> sorted = latencies;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted.empty() ? -1 : sorted[sorted.size() / 2] * 1e3 / kRate;
        std::printf("%s audio=%lld silent=%lld silences=%lld longest_ms=%.2f jumps=%lld "
                    "wrong=%lld latency_ms=%.2f\n",
                    label, static_cast<long long>(audio), static_cast<long long>(silent),
                    static_cast<long long>(silences), double(longest) * 1e3 / kRate,
                    static_cast<long long>(jumps), static_cast<long long>(wrong), median);
        std::fflush(stdout);
    }
};

// The transport's and the frame synchroniser's counts so far.
void printTransport(const veltrin::rt::Receiver &receiver, const veltrin::rt::FrameSync &sync)
{
    const auto r = receiver.stats();
    const auto f = sync.stats();
    std::printf("transport repaired=%llu concealed_shards=%llu concealed_blocks=%llu "
                "skipped=%llu late=%llu connections=%llu resampling=%d underruns=%llu\n",
                static_cast<unsigned long long>(r.repairedShards),
                static_cast<unsigned long long>(r.concealedShards),
                static_cast<unsigned long long>(r.concealedBlocks),
                static_cast<unsigned long long>(r.skippedBlocks),
                static_cast<unsigned long long>(r.lateShards),
                static_cast<unsigned long long>(r.connections), f.resampling ? 1 : 0,
                static_cast<unsigned long long>(f.underruns));
    std::fflush(stdout);
}

int receive(const std::string &name, int channels, int block, double seconds)
{
    // A full name "HOST (name)" as it is; a bare name is a source of this host (namespaces of
    // one machine share its name).
    const std::string full =
        name.find('(') != std::string::npos
            ? name
            : veltrin::rt::sourceName(veltrin::rt::DiscoveryConfig::load(), name);
    // The runtime's own receiver and frame synchroniser (what NDIlib_recv_create_v3 and
    // NDIlib_framesync_create make), so that the transport's counts can be printed too.
    veltrin::rt::Receiver receiver(full, "");
    veltrin::rt::FrameSync sync;
    receiver.attach(&sync);
    const double start = monotonicSeconds();
    int64_t frame = int64_t(start * kRate) / block * block + block;
    const int64_t end = frame + int64_t(seconds * kRate);
    Counts second, total;
    int64_t silentRun = 0;
    bool started = false;
    int64_t expected = -1; // the clock frame the next sample should carry, mod 65536
    int reported = 0;
    auto endSilence = [&](int64_t at) {
        if (silentRun >= kRate / 2000) {
            ++second.silences;
            ++total.silences;
            second.longest = std::max(second.longest, silentRun);
            total.longest = std::max(total.longest, silentRun);
            std::printf("silence at=%.6f ms=%.2f\n", double(at - silentRun) / kRate,
                        double(silentRun) * 1e3 / kRate);
        }
        silentRun = 0;
    };
    while (frame < end && !inputClosed()) {
        waitForFrame(frame);
        NDIlib_audio_frame_v2_t audio;
        sync.capture(audio, kRate, channels, block);
        const int stride = audio.channel_stride_in_bytes / int(sizeof(float));
        for (int i = 0; i < audio.no_samples; ++i) {
            bool silent = true;
            for (int c = 0; c < channels && silent; ++c)
                silent = audio.p_data[c * stride + i] == 0.f;
            if (silent) {
                if (started) {
                    ++silentRun;
                    ++second.silent;
                    ++total.silent;
                }
                expected = -1;
                continue;
            }
            endSilence(frame + i);
            if (!started)
                std::printf("first at=%.6f\n", double(frame + i) / kRate);
            started = true;
            const float first = audio.p_data[i];
            const int64_t carried = int64_t(first * 32768.f + 32768.f);
            bool exact = true;
            for (int c = 0; c < channels && exact; ++c)
                exact = audio.p_data[c * stride + i] == veltrin::test::signalValue(carried, c);
            if (!exact) {
                ++second.wrong;
                ++total.wrong;
            } else {
                if (expected >= 0 && carried != expected) {
                    ++second.jumps;
                    ++total.jumps;
                }
                ++second.audio;
                ++total.audio;
                // Played at frame + i of the clock; captured at the frame it carries.
                const int latency = int(((frame + i - carried) % 65536 + 65536) % 65536);
                if (i == 0) {
                    second.latencies.push_back(latency);
                    total.latencies.push_back(latency);
                }
            }
            expected = (carried + 1) % 65536;
        }
        frame += block;
        const int t = int(double(frame) / kRate - start);
        if (t > reported) {
            reported = t;
            second.print(("t=" + std::to_string(double(frame) / kRate)).c_str());
            printTransport(receiver, sync);
            second = Counts();
        }
    }
    endSilence(frame);
    total.print("total");
    printTransport(receiver, sync);
    receiver.detach(&sync);
    return 0;
}

} // namespace

// A program that took the multicast DNS port for itself (no SO_REUSEADDR, no SO_REUSEPORT).
int holdMulticastDnsPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5353);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::perror("bind 5353");
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    pause();
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && std::string(argv[1]) == "now") {
        std::printf("%.6f\n", monotonicSeconds());
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "hold-5353")
        return holdMulticastDnsPort();
    // Like a sound card's thread: real-time, above the runtime's network threads, where allowed.
    sched_param param{};
    param.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (argc == 7 && std::string(argv[1]) == "duplex") {
        const int channels = std::atoi(argv[4]);
        const int block = std::atoi(argv[5]);
        const double seconds = std::atof(argv[6]);
        if (!NDIlib_initialize())
            return 1;
        std::thread out([&] { send(argv[3], channels, block, seconds); });
        const int result = receive(argv[2], channels, block, seconds);
        out.join();
        NDIlib_destroy();
        return result;
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s send|recv NAME CHANNELS BLOCK SECONDS\n", argv[0]);
        return 2;
    }
    const std::string role = argv[1];
    const int channels = std::atoi(argv[3]);
    const int block = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    if (channels < 1 || channels > 64 || block < 16 || block > 4096 || !(seconds > 0))
        return 2;
    if (!NDIlib_initialize())
        return 1;
    const int result = role == "send"   ? send(argv[2], channels, block, seconds)
                       : role == "recv" ? receive(argv[2], channels, block, seconds)
                                        : 2;
    NDIlib_destroy();
    return result;
}
