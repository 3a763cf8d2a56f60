#pragma once
// SipHash-2-4 (Aumasson and Bernstein, 2012): a keyed 64-bit hash whose output does not reveal
// its key. The sender signs each subscriber's address with it, so that a cookie for one
// address tells nothing about the cookie of another. Words are read little-endian, as the
// reference does; this runs on little-endian hosts only. A pure function, safe on any thread.

#include <cstddef>
#include <cstdint>

namespace veltrin::rt {

uint64_t sipHash(const uint64_t key[2], const uint8_t *data, size_t size);

} // namespace veltrin::rt
