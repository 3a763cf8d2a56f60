// libFuzzer target for the audio stream parser: arbitrary bytes, delivered in arbitrary pieces
// (the first byte seeds the split points), must never crash, read out of bounds or allocate
// more than the largest legal message; every delivered message must be consistent.
#include "WireFormat.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace veltrin::rt::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint32_t seed = data[0] * 2654435761u + 1;
    ++data;
    --size;
    FrameParser parser;
    size_t at = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min(size - at, size_t(1 + (seed >> 16) % 97));
        const bool ok = parser.feed(data + at, piece, [](const Header &h, const float *samples) {
            if (h.kind == Kind::KeepAlive)
                return;
            if (h.channels < 1 || h.channels > kMaxChannels || h.samples < 1
                || h.samples > kMaxSamples || h.sampleRate < kMinRate || h.sampleRate > kMaxRate)
                std::abort();
            // Touch every sample: the sanitizer checks that they are all really there.
            float sum = 0;
            for (size_t i = 0; i < size_t(h.channels) * size_t(h.samples); ++i)
                sum += samples[i];
            volatile float sink = sum;
            (void)sink;
        });
        if (!ok) {
            if (parser.error() == HeaderError::None)
                std::abort();
            break;
        }
        at += piece;
    }
    return 0;
}
