#include "FiguresText.h"

#include <cstdio>

namespace veltrin::ndi {

std::string formatted(const char *pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

const char *clockWord(int32_t mode)
{
    switch (mode) {
    case VeltrinNdi_clock_copying:
        return "copying";
    case VeltrinNdi_clock_resampling:
        return "resampling";
    default:
        return "settling";
    }
}

namespace {

std::string receiverText(const VeltrinNdiFigures &f)
{
    const std::string na = "n/a";
    const auto count = [&](uint32_t figure, uint64_t value) {
        return hasFigure(f, figure) ? std::to_string(value) : na;
    };
    std::string line = "receive \"" + std::string(f.name) + "\": latency ";
    line += hasFigure(f, VeltrinNdi_has_latency) ? formatted("%.1f ms", f.latencyMs) + " (reserve "
                                                       + formatted("%.1f ms", f.reserveMs) + ")"
                                                 : na;
    line += ", clock ";
    line += hasFigure(f, VeltrinNdi_has_clock)
                ? std::string(clockWord(f.clockMode)) + " " + formatted("%+.1f ppm", f.driftPpm)
                : na;
    line += ", late " + count(VeltrinNdi_has_blocks, f.lateBlocks);
    line += ", datagrams " + count(VeltrinNdi_has_datagrams, f.datagramsReceived) + " received "
            + count(VeltrinNdi_has_datagrams, f.datagramsRepaired) + " repaired "
            + count(VeltrinNdi_has_datagrams, f.datagramsConcealed) + " concealed "
            + count(VeltrinNdi_has_datagrams, f.datagramsLost) + " lost";
    line += ", frames " + count(VeltrinNdi_has_frames, f.framesReceived) + " received "
            + count(VeltrinNdi_has_frames, f.framesDropped) + " dropped";
    if (hasFigure(f, VeltrinNdi_has_queue))
        line += ", queue " + std::to_string(f.queueDepth);
    line += ", underruns " + count(VeltrinNdi_has_blocks, f.underruns);
    return line;
}

std::string senderText(const VeltrinNdiFigures &f)
{
    std::string line = "send \"" + std::string(f.name) + "\": ";
    line += hasFigure(f, VeltrinNdi_has_connections)
                ? std::to_string(f.connections) + (f.connections == 1 ? " receiver" : " receivers")
                : "receivers n/a";
    if (hasFigure(f, VeltrinNdi_has_sent))
        line += ", " + std::to_string(f.datagramsSent) + " datagrams, "
                + std::to_string(f.bytesSent) + " bytes sent";
    else
        line += ", sent n/a";
    return line;
}

} // namespace

std::string figuresText(const VeltrinNdiFigures &figures, uint64_t xruns)
{
    return (figures.kind == VeltrinNdi_sender ? senderText(figures) : receiverText(figures))
           + ", xruns " + std::to_string(xruns);
}

} // namespace veltrin::ndi
