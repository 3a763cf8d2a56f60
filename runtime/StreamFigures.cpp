#include "StreamFigures.h"

#include <algorithm>
#include <cstring>

namespace veltrin::rt {

namespace {

void copyName(const std::string &name, char (&out)[256])
{
    const size_t n = std::min(name.size(), sizeof out - 1);
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
}

} // namespace

VeltrinNdiFigures senderFigures(const std::string &name, const SenderStats &sender)
{
    VeltrinNdiFigures f;
    f.kind = VeltrinNdi_sender;
    f.available = VeltrinNdi_has_connections | VeltrinNdi_has_sent;
    copyName(name, f.name);
    f.connections = sender.clients;
    f.datagramsSent = sender.datagramsSent;
    f.bytesSent = sender.bytesSent;
    return f;
}

VeltrinNdiFigures receiverFigures(const std::string &name, const ReceiverStats &r,
                                  const FrameSync *sync)
{
    VeltrinNdiFigures f;
    f.kind = VeltrinNdi_receiver;
    f.available = VeltrinNdi_has_datagrams | VeltrinNdi_has_frames | VeltrinNdi_has_connections;
    copyName(name, f.name);
    f.datagramsReceived = r.datagramsReceived;
    f.datagramsRepaired = r.repairedShards;
    f.datagramsConcealed = r.concealedShards;
    f.datagramsLost = r.repairedShards + r.concealedShards;
    f.framesReceived = r.framesReceived;
    // Blocks never played as sent: lost whole, or come after their time.
    f.framesDropped = r.concealedBlocks + r.skippedBlocks;
    f.connections = r.connected ? 1 : 0;
    if (sync == nullptr)
        return f;
    const FrameSyncStats s = sync->stats();
    f.available |= VeltrinNdi_has_latency | VeltrinNdi_has_clock | VeltrinNdi_has_blocks;
    f.latencyMs = s.fillMs;
    f.reserveMs = s.targetMs;
    f.driftPpm = s.driftPpm;
    f.clockMode = !s.running     ? VeltrinNdi_clock_unknown
                  : s.resampling ? VeltrinNdi_clock_resampling
                                 : VeltrinNdi_clock_copying;
    f.lateBlocks = s.stretched;
    f.underruns = s.underruns;
    return f;
}

} // namespace veltrin::rt
