#include "ErasureCode.h"

#include <algorithm>
#include <cstring>
#include <isa-l/erasure_code.h>

namespace veltrin::rt {

// The generator of one (k, m) pair: a Cauchy matrix below the identity, so that the data
// shards go out as they are and any k rows of the (k + m) x k matrix are invertible.
struct ErasureCode::Tables {
    int k = 0, m = 0;
    std::vector<uint8_t> matrix;       // (k + m) x k
    std::vector<uint8_t> parityTables; // ISA-L's expanded tables for the m parity rows
};

ErasureCode::ErasureCode()
    : m_square(size_t(kMaxShards) * kMaxShards), m_inverse(size_t(kMaxShards) * kMaxShards),
      m_rows(size_t(kMaxShards) * kMaxShards), m_decodeTables(size_t(32) * kMaxShards * kMaxShards),
      m_sources(kMaxShards), m_targets(kMaxShards)
{
}

ErasureCode::~ErasureCode() = default;

const ErasureCode::Tables &ErasureCode::encodeTables(int k, int m)
{
    for (const auto &t : m_tables)
        if (t->k == k && t->m == m)
            return *t;
    auto t = std::make_unique<Tables>();
    t->k = k;
    t->m = m;
    t->matrix.resize(size_t(k + m) * size_t(k));
    gf_gen_cauchy1_matrix(t->matrix.data(), k + m, k);
    t->parityTables.resize(size_t(32) * size_t(k) * size_t(std::max(m, 1)));
    if (m > 0)
        ec_init_tables(k, m, t->matrix.data() + size_t(k) * size_t(k), t->parityTables.data());
    m_tables.push_back(std::move(t));
    return *m_tables.back();
}

void ErasureCode::encode(int k, int m, size_t bytes, uint8_t *const *data, uint8_t *const *parity)
{
    if (k < 1 || m < 1 || k + m > kMaxShards)
        return;
    const Tables &t = encodeTables(k, m);
    ec_encode_data(int(bytes), k, m, const_cast<uint8_t *>(t.parityTables.data()),
                   const_cast<uint8_t **>(data), const_cast<uint8_t **>(parity));
}

bool ErasureCode::decode(int k, int m, size_t bytes, const uint8_t *present, uint8_t *const *shards)
{
    if (k < 1 || m < 0 || k + m > kMaxShards)
        return false;
    int missing = 0;
    for (int i = 0; i < k; ++i)
        missing += present[i] ? 0 : 1;
    if (missing == 0)
        return true;
    // The first k shards that arrived, and their rows of the generator.
    const Tables &t = encodeTables(k, m);
    int chosen = 0;
    for (int i = 0; i < k + m && chosen < k; ++i) {
        if (!present[i])
            continue;
        std::memcpy(m_square.data() + size_t(chosen) * size_t(k),
                    t.matrix.data() + size_t(i) * size_t(k), size_t(k));
        m_sources[size_t(chosen)] = shards[i];
        ++chosen;
    }
    if (chosen < k)
        return false;
    if (gf_invert_matrix(m_square.data(), m_inverse.data(), k) != 0)
        return false; // cannot happen with a Cauchy generator
    // A missing data shard r is row r of the inverse applied to the chosen shards.
    int row = 0;
    for (int r = 0; r < k; ++r) {
        if (present[r])
            continue;
        std::memcpy(m_rows.data() + size_t(row) * size_t(k),
                    m_inverse.data() + size_t(r) * size_t(k), size_t(k));
        m_targets[size_t(row)] = shards[r];
        ++row;
    }
    ec_init_tables(k, missing, m_rows.data(), m_decodeTables.data());
    ec_encode_data(int(bytes), k, missing, m_decodeTables.data(), m_sources.data(),
                   m_targets.data());
    return true;
}

} // namespace veltrin::rt
