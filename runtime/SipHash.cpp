#include "SipHash.h"

#include <cstring>

namespace veltrin::rt {

uint64_t sipHash(const uint64_t key[2], const uint8_t *data, size_t size)
{
    auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    uint64_t v0 = 0x736f6d6570736575ULL ^ key[0], v1 = 0x646f72616e646f6dULL ^ key[1],
             v2 = 0x6c7967656e657261ULL ^ key[0], v3 = 0x7465646279746573ULL ^ key[1];
    auto round = [&] {
        v0 += v1;
        v1 = rotl(v1, 13) ^ v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotl(v1, 17) ^ v2;
        v2 = rotl(v2, 32);
    };
    auto absorb = [&](uint64_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    };
    size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        uint64_t m;
        std::memcpy(&m, data + at, 8);
        absorb(m);
    }
    uint64_t last = uint64_t(size) << 56;
    for (size_t i = 0; at + i < size; ++i)
        last |= uint64_t(data[at + i]) << (8 * i);
    absorb(last);
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i)
        round();
    return v0 ^ v1 ^ v2 ^ v3;
}

} // namespace veltrin::rt
