#include "LevelTap.h"

#include <algorithm>

LevelTap::LevelTap() : m_samples(new std::atomic<float>[kCapacity])
{
    // Zero pages are touched lazily by the kernel; only the header needs a value.
}

bool LevelTap::publish(const float *interleaved, int32_t channels, int32_t frames,
                       int32_t sampleRate)
{
    uint32_t seq = m_sequence.load(std::memory_order_relaxed);
    // Another stream is writing (odd) or wins the race: skip this block rather than wait.
    if ((seq & 1u) != 0
        || !m_sequence.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed))
        return false;
    // The data stores are releases: a reader whose acquire load sees any of the new data also
    // sees the odd (or a later) sequence when it checks again, and retries.

    channels = std::clamp(channels, 0, kMaxChannels);
    if (channels == 0 || interleaved == nullptr)
        frames = 0;
    frames = std::clamp(frames, 0, kMaxFrames);
    const int32_t n = channels * frames;
    for (int32_t i = 0; i < n; ++i)
        m_samples[i].store(interleaved[i], std::memory_order_release);
    m_sampleRate.store(sampleRate, std::memory_order_release);
    m_channels.store(channels, std::memory_order_release);
    m_frames.store(frames, std::memory_order_release);

    // Release: the data stores above happen-before a reader's acquire load of the even value.
    m_sequence.store(seq + 2, std::memory_order_release);
    return true;
}

void LevelTap::clear()
{
    // A stream's end must not be lost to a concurrent writer, so spin until it lands; only
    // entry threads call this, never a callback.
    while (!publish(nullptr, m_channels.load(std::memory_order_relaxed), 0,
                    m_sampleRate.load(std::memory_order_relaxed))) {
    }
}

void LevelTap::snapshot(Block &out) const
{
    for (;;) {
        const uint32_t before = m_sequence.load(std::memory_order_acquire);
        if ((before & 1u) != 0)
            continue;
        const int32_t channels = m_channels.load(std::memory_order_acquire);
        const int32_t frames = m_frames.load(std::memory_order_acquire);
        const int32_t rate = m_sampleRate.load(std::memory_order_acquire);
        const int32_t n = std::clamp(channels * frames, 0, kCapacity);
        out.samples.resize(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i)
            out.samples[static_cast<size_t>(i)] = m_samples[i].load(std::memory_order_acquire);
        // A writer that overlapped the loads above has changed the sequence by now: each
        // acquire load that saw its data also makes its odd sequence visible here.
        if (m_sequence.load(std::memory_order_relaxed) != before)
            continue;
        out.channels = channels;
        out.frames = frames;
        out.sampleRate = rate;
        return;
    }
}
