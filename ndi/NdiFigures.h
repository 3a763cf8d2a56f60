// Veltrin's own additions to the NDI interface: the figures of every sender and receiver the
// runtime in use holds, and which runtime that is. An installed libndi.so.5 has no such calls;
// the loader answers them from what the library's interface offers (frames received and
// dropped, queue depth, connections) and marks the rest as not available. The program defines
// the symbols in ndi/NdiLoader.cpp; test doubles of the runtime define them too.
//
// Threads: both calls may come from any thread, at any time. A snapshot takes the runtime's
// registry lock, which only creating and destroying a sender or receiver also take, and reads
// the streams' counters with relaxed atomic loads: the audio threads are never held up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {

enum VeltrinNdiStreamKind : int32_t { VeltrinNdi_receiver = 0, VeltrinNdi_sender = 1 };

enum VeltrinNdiClockMode : int32_t {
    VeltrinNdi_clock_unknown = 0, // not decided yet, or not available
    VeltrinNdi_clock_copying = 1, // samples played untouched
    VeltrinNdi_clock_resampling = 2,
};

// One bit per figure (or group of figures) in VeltrinNdiFigures::available.
enum VeltrinNdiFigure : uint32_t {
    VeltrinNdi_has_latency = 1u << 0,     // latencyMs, reserveMs
    VeltrinNdi_has_clock = 1u << 1,       // clockMode, driftPpm
    VeltrinNdi_has_blocks = 1u << 2,      // lateBlocks, underruns
    VeltrinNdi_has_datagrams = 1u << 3,   // datagramsReceived/Repaired/Concealed/Lost
    VeltrinNdi_has_frames = 1u << 4,      // framesReceived, framesDropped
    VeltrinNdi_has_queue = 1u << 5,       // queueDepth
    VeltrinNdi_has_connections = 1u << 6, // connections
    VeltrinNdi_has_sent = 1u << 7,        // datagramsSent, bytesSent
};

struct VeltrinNdiFigures {
    int32_t kind = VeltrinNdi_receiver;
    uint32_t available = 0;
    char name[256] = {}; // the source received, or the name published; NUL-terminated
    // Receivers.
    double latencyMs = 0; // audio waiting in the receiver now, in ms of the source
    double reserveMs = 0; // what the receiver aims to keep waiting, in ms
    double driftPpm = 0;  // the source's clock against the device's
    int32_t clockMode = VeltrinNdi_clock_unknown;
    int32_t queueDepth = 0;  // audio frames queued in the receiver
    uint64_t lateBlocks = 0; // blocks that came after their time and were spanned by reading slower
    uint64_t underruns = 0;  // device blocks that ran short and were filled with silence
    uint64_t datagramsReceived = 0;
    uint64_t datagramsRepaired = 0;  // lost, and rebuilt from parity
    uint64_t datagramsConcealed = 0; // lost, and replaced by concealment
    uint64_t datagramsLost = 0;      // lost: repaired plus concealed
    uint64_t framesReceived = 0;
    uint64_t framesDropped = 0;
    // Both: receivers connected to a sender, or 1 when a receiver hears its source.
    int32_t connections = 0;
    // Senders.
    uint64_t datagramsSent = 0;
    uint64_t bytesSent = 0;
};

// Writes the figures of up to `capacity` streams to `out`; returns how many streams there are
// (which may exceed capacity).
uint32_t VeltrinNdi_stream_figures(VeltrinNdiFigures *out, uint32_t capacity);

// True when the built-in runtime serves the NDI calls. Makes the runtime choice if it was not
// made yet, like NDIlib_version().
bool VeltrinNdi_is_builtin(void);

} // extern "C"

namespace veltrin::ndi {

// All streams' figures, through VeltrinNdi_stream_figures (allocates: not for audio threads).
inline std::vector<VeltrinNdiFigures> streamFigures()
{
    std::vector<VeltrinNdiFigures> figures(8);
    for (;;) {
        const uint32_t count =
            VeltrinNdi_stream_figures(figures.data(), static_cast<uint32_t>(figures.size()));
        if (count <= figures.size()) {
            figures.resize(count);
            return figures;
        }
        figures.resize(count);
    }
}

} // namespace veltrin::ndi
