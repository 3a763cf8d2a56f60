#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// The latest audio block that a stream exchanged with its device, kept for the level meters.
//
// Threads: publish() and clear() run on the audio side (a PortAudio callback, a duplex block
// thread or the stream's entry); snapshot() runs on a poller thread. Both sides are wait-free:
// a seqlock over engine-owned storage that is allocated once, when the tap is constructed, so
// no side ever frees memory that the other may still read. When two streams publish at once,
// a writer that finds the other one mid-write skips its block (the meter loses nothing it needs).
//
// Samples are stored as atomics with release stores and acquire loads: on x86-64 these are plain
// moves, they need no fences, and they make the reader's copy of a block being overwritten
// well-defined (the sequence check then discards it).
class LevelTap
{
public:
    // Room for the largest block a stream can publish: 64 channels of 8192 frames.
    static constexpr int kMaxChannels = 64;
    static constexpr int kMaxFrames = 8192;
    static constexpr int kCapacity = kMaxChannels * kMaxFrames;

    struct Block {
        int32_t sampleRate = 48000;
        int32_t channels = 2;
        int32_t frames = 0;
        std::vector<float> samples; // channels * frames values, interleaved
    };

    LevelTap();

    // Audio side, wait-free. Copies channels * frames interleaved samples; a block larger than
    // the storage keeps its first kMaxFrames frames. Returns false if the block was skipped.
    bool publish(const float *interleaved, int32_t channels, int32_t frames, int32_t sampleRate);

    // Marks the stream as ended: readers see an empty block (0 frames).
    void clear();

    // Poller side, wait-free in practice (retries only while a writer is mid-block). Fills
    // `out` with a consistent copy of the latest block; reuses out.samples' capacity.
    void snapshot(Block &out) const;

private:
    // Even: stable; odd: a writer is copying a block in.
    std::atomic<uint32_t> m_sequence{0};
    std::atomic<int32_t> m_sampleRate{48000};
    std::atomic<int32_t> m_channels{2};
    std::atomic<int32_t> m_frames{0};
    std::unique_ptr<std::atomic<float>[]> m_samples;
};
