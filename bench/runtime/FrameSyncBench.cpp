// CPU cost of the frame synchroniser per channel: one 256-frame block pushed and one pulled
// per iteration, on a virtual clock. "core_pct_per_ch" is the share of one core that one
// channel costs in real time at the source rate. Figures only, no assertions.
#include "AudioConvert.h"
#include "FiguresText.h"
#include "FrameSync.h"
#include "NdiApi.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <ctime>
#include <vector>

using veltrin::rt::FrameSync;

namespace {

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// args: source rate, pull rate, channels, source drift in ppm (forces resampling at equal rates).
void BM_FrameSync(benchmark::State &state)
{
    const int srcRate = int(state.range(0));
    const int dstRate = int(state.range(1));
    const int channels = int(state.range(2));
    const double ppm = double(state.range(3));
    const int block = 256;
    FrameSync sync;
    std::vector<float> planar(size_t(block) * size_t(channels));
    for (size_t i = 0; i < planar.size(); ++i)
        planar[i] = 0.5f * float(std::sin(double(i) * 0.01));
    const double producerPeriod = double(block) / srcRate / (1 + ppm * 1e-6);
    const double consumerPeriod = double(block) / dstRate;
    double tp = 0.0001, tc = 0;
    auto step = [&] {
        while (tp <= tc) {
            sync.push(planar.data(), block, channels, block, srcRate, tp);
            tp += producerPeriod;
        }
        NDIlib_audio_frame_v2_t frame;
        sync.capture(frame, dstRate, channels, block, tc);
        benchmark::DoNotOptimize(frame.p_data);
        tc += consumerPeriod;
    };
    // Past the start and, with drift, past the switch to resampling.
    while (tc < 8.0)
        step();
    int64_t blocks = 0;
    const double start = threadCpuSeconds();
    for (auto _ : state) {
        step();
        ++blocks;
    }
    const double spent = threadCpuSeconds() - start;
    // CPU time spent per second of audio, per channel, in percent.
    state.counters["core_pct_per_ch"] =
        100.0 * spent / (double(blocks) * consumerPeriod) / channels;
    state.counters["resampling"] = sync.stats().resampling ? 1 : 0;
}

} // namespace

// Passthrough (same rate, same clock), drift correction at equal rates, and rate conversion.
BENCHMARK(BM_FrameSync)
    ->ArgNames({"src", "dst", "ch", "ppm"})
    ->Args({48000, 48000, 2, 0})
    ->Args({48000, 48000, 64, 0})
    ->Args({48000, 48000, 2, 500})
    ->Args({48000, 48000, 64, 500})
    ->Args({44100, 48000, 64, 0})
    ->Args({192000, 192000, 2, 500})
    ->Args({192000, 192000, 64, 500})
    ->Args({48000, 192000, 8, 0})
    ->Unit(benchmark::kMicrosecond);

// De-interleaving and interleaving one 256-frame block (what the engine does per block);
// "per_sample" is the time per sample, both directions together.
void BM_Convert(benchmark::State &state)
{
    const int channels = int(state.range(0));
    const int samples = 256;
    std::vector<float> interleaved(size_t(channels) * samples), planar(interleaved.size());
    for (size_t i = 0; i < interleaved.size(); ++i)
        interleaved[i] = float(i);
    NDIlib_audio_frame_interleaved_32f_t in;
    in.no_channels = channels;
    in.no_samples = samples;
    in.p_data = interleaved.data();
    NDIlib_audio_frame_v2_t mid;
    mid.p_data = planar.data();
    mid.channel_stride_in_bytes = samples * 4;
    for (auto _ : state) {
        veltrin::rt::interleavedToPlanar(in, mid);
        veltrin::rt::planarToInterleaved(mid, in);
        benchmark::ClobberMemory();
    }
    state.counters["per_sample"] =
        benchmark::Counter(double(channels) * samples, benchmark::Counter::kIsIterationInvariantRate
                                                           | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Convert)->ArgName("ch")->Arg(1)->Arg(2)->Arg(8)->Arg(64);

// One read of the figures as veltrin-cli --stats and the window's log make it once a second:
// the built-in runtime's snapshot call (its registry lock, the receiver's and the synchroniser's
// counters) and the text line, for a receiver whose synchroniser has run 64 channels.
// "core_pct_at_1hz" is the share of one core that one read a second costs.
void BM_StreamFigures(benchmark::State &state)
{
    const veltrin::ndi::NdiApi &api = veltrin::rt::builtinApi();
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_url_address = "127.0.0.1:9";
    NDIlib_recv_instance_t recv = api.recv_create_v3(&settings);
    NDIlib_framesync_instance_t sync = api.framesync_create(recv);
    NDIlib_audio_frame_v2_t frame;
    for (int i = 0; i < 64; ++i)
        api.framesync_capture_audio(sync, &frame, 48000, 64, 256);
    VeltrinNdiFigures figures[4];
    size_t bytes = 0;
    const double cpu0 = threadCpuSeconds();
    for (auto _ : state) {
        const uint32_t count = veltrin::rt::builtinStreamFigures(figures, 4);
        for (uint32_t i = 0; i < count && i < 4; ++i)
            bytes += veltrin::ndi::figuresText(figures[i], 0).size();
        benchmark::DoNotOptimize(bytes);
    }
    const double perRead = (threadCpuSeconds() - cpu0) / double(state.iterations());
    state.counters["core_pct_at_1hz"] = 100.0 * perRead;
    api.framesync_destroy(sync);
    api.recv_destroy(recv);
}
BENCHMARK(BM_StreamFigures);

BENCHMARK_MAIN();
