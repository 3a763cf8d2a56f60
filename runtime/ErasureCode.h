// Reed-Solomon erasure coding of equal-sized shards over GF(256), through ISA-L: a group of k
// data shards gets m parity shards, and any k of the k + m shards rebuild the data.
//
// Threads: one object per thread (the sender's network thread encodes, a receiver's decodes).
// The constructor allocates the scratch space for the largest group; encode() and decode()
// allocate only when they meet a (k, m) pair for the first time, which happens when a stream's
// shape changes, never per block of a steady stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace veltrin::rt {

class ErasureCode
{
public:
    // Data plus parity shards of one group; far below GF(256)'s limit of 255.
    static constexpr int kMaxShards = 64;

    ErasureCode();
    ~ErasureCode();
    ErasureCode(const ErasureCode &) = delete;
    ErasureCode &operator=(const ErasureCode &) = delete;

    // Writes m parity shards of `bytes` each from k data shards; k + m <= kMaxShards.
    void encode(int k, int m, size_t bytes, uint8_t *const *data, uint8_t *const *parity);

    // shards[0..k) are the data shards, shards[k..k+m) the parity shards, all `bytes` long;
    // present[i] (0 or 1) tells which arrived. Rebuilds every missing data shard in place (parity
    // shards are left as they are). False, with nothing changed, when fewer than k arrived.
    bool decode(int k, int m, size_t bytes, const uint8_t *present, uint8_t *const *shards);

private:
    struct Tables;
    const Tables &encodeTables(int k, int m);

    std::vector<std::unique_ptr<Tables>> m_tables;
    std::vector<uint8_t> m_matrix, m_square, m_inverse, m_rows, m_decodeTables;
    std::vector<uint8_t *> m_sources, m_targets;
};

} // namespace veltrin::rt
