// libFuzzer target for the transport's datagram parsers and the block reassembly behind them:
// the input is a sequence of datagrams (two length bytes, then the bytes), delivered on a
// virtual clock that the first byte steps. Nothing may crash, read out of bounds, allocate
// beyond the reassembly bound or hand on a block of an impossible shape or with a sample
// that is not finite.
#include "BlockAssembler.h"
#include "WireFormat.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace veltrin::rt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const double step = (data[0] + 1) * 1e-4;
    ++data;
    --size;
    AssemblerConfig config;
    config.maxBytes = size_t(256) << 10; // larger shapes are refused: quicker runs, same paths
    BlockAssembler assembler(config);
    double now = 1.0;
    auto check = [&](const float *planar, int channels, int samples, int rate) {
        if (channels < 1 || channels > wire::kMaxChannels || samples < 1
            || samples > wire::kMaxSamples || rate < wire::kMinRate || rate > wire::kMaxRate)
            std::abort();
        for (size_t i = 0; i < size_t(channels) * size_t(samples); ++i)
            if (!std::isfinite(planar[i]))
                std::abort();
    };
    size_t at = 0;
    while (at + 2 <= size) {
        const size_t length =
            std::min<size_t>((size_t(data[at]) << 8) | data[at + 1], size - at - 2);
        const uint8_t *datagram = data + at + 2;
        at += 2 + length;
        now += step;
        // Every parser sees every datagram: each refuses the kinds that are not its own.
        wire::Shard shard;
        wire::Subscribe subscribe;
        wire::Challenge challenge;
        wire::decodeSubscribe(datagram, length, subscribe);
        wire::decodeChallenge(datagram, length, challenge);
        if (wire::decodeShard(datagram, length, shard) == wire::Error::None) {
            if (!shard.layout.valid()
                || length != wire::kShardHeaderSize + shard.layout.payloadBytes(shard.index))
                std::abort();
            assembler.offer(shard, datagram + wire::kShardHeaderSize, now, check);
        }
        assembler.poll(now, check);
        if (assembler.stats().bufferBytes > config.maxBytes + (size_t(1) << 20))
            std::abort();
    }
    // Whatever is pending comes out at its deadline at the latest.
    assembler.poll(now + 10.0, check);
    return 0;
}
