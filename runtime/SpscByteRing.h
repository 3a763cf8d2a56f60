// A single-producer single-consumer ring of variable-sized byte records.
//
// Owns one buffer allocated at construction. The producer (a real-time thread) reserves room
// for a record, fills it and commits it; the consumer peeks at the oldest record and releases
// it. Neither side locks, allocates or makes a system call. A record never wraps: when it does
// not fit before the end, the producer leaves a skip marker and starts again at the front.
//
// Memory order: the producer publishes a record by a release store of m_head after writing it,
// and the consumer reads m_head with acquire before reading the record; the same pairing on
// m_tail hands the space back. Each index is written by one side only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace veltrin::rt {

class SpscByteRing
{
public:
    // capacity: bytes, rounded up to a power of two.
    explicit SpscByteRing(size_t capacity)
    {
        m_capacity = 64;
        while (m_capacity < capacity)
            m_capacity <<= 1;
        m_buffer = std::make_unique<uint8_t[]>(m_capacity);
    }

    // Producer. Room for `size` bytes, or null if the ring is too full (the record is dropped).
    uint8_t *reserve(size_t size)
    {
        const size_t need = align(kRecordHeader + size);
        if (need > m_capacity / 2)
            return nullptr;
        const uint64_t head = m_head.load(std::memory_order_relaxed);
        const uint64_t tail = m_tail.load(std::memory_order_acquire);
        const size_t offset = head & (m_capacity - 1);
        const size_t toEnd = m_capacity - offset;
        const size_t total = need <= toEnd ? need : toEnd + need;
        if (m_capacity - (head - tail) < total)
            return nullptr;
        m_reservedSkip = need <= toEnd ? 0 : toEnd;
        uint8_t *record = m_buffer.get() + (m_reservedSkip ? 0 : offset);
        writeSize(record, size);
        m_reservedSize = need;
        return record + kRecordHeader;
    }

    // Producer. Publishes the record reserved last.
    void commit()
    {
        uint64_t head = m_head.load(std::memory_order_relaxed);
        if (m_reservedSkip)
            writeSize(m_buffer.get() + (head & (m_capacity - 1)), kSkip);
        head += m_reservedSkip + m_reservedSize;
        m_head.store(head, std::memory_order_release);
    }

    // Consumer. The oldest record, or null when empty.
    const uint8_t *peek(size_t &size)
    {
        uint64_t tail = m_tail.load(std::memory_order_relaxed);
        const uint64_t head = m_head.load(std::memory_order_acquire);
        if (tail == head)
            return nullptr;
        size_t offset = tail & (m_capacity - 1);
        uint32_t stored = readSize(m_buffer.get() + offset);
        m_pendingSkip = 0;
        if (stored == kSkip) {
            m_pendingSkip = m_capacity - offset;
            offset = 0;
            stored = readSize(m_buffer.get());
        }
        size = stored;
        return m_buffer.get() + offset + kRecordHeader;
    }

    // Consumer. Frees the record returned by the last peek().
    void release(size_t size)
    {
        const uint64_t tail = m_tail.load(std::memory_order_relaxed);
        m_tail.store(tail + m_pendingSkip + align(kRecordHeader + size), std::memory_order_release);
    }

    size_t capacity() const { return m_capacity; }

private:
    static constexpr size_t kRecordHeader = 8;
    static constexpr uint32_t kSkip = 0xffffffffu;
    static size_t align(size_t n) { return (n + 15) & ~size_t(15); }
    static void writeSize(uint8_t *at, size_t size)
    {
        const auto value = static_cast<uint32_t>(size);
        std::memcpy(at, &value, sizeof value);
    }
    static uint32_t readSize(const uint8_t *at)
    {
        uint32_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }

    size_t m_capacity;
    std::unique_ptr<uint8_t[]> m_buffer;
    alignas(64) std::atomic<uint64_t> m_head{0}; // written by the producer
    size_t m_reservedSkip = 0;                   // producer only
    size_t m_reservedSize = 0;                   // producer only
    alignas(64) std::atomic<uint64_t> m_tail{0}; // written by the consumer
    size_t m_pendingSkip = 0;                    // consumer only
};

} // namespace veltrin::rt
