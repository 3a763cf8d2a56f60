// The figures of one sender or receiver of the built-in runtime, as the NDI interface's figures
// call (NdiFigures.h) hands them out: the transport's counters and the frame synchroniser's
// clock state, under the names and units the command line and the log print.
//
// Threads: any; the stats read are relaxed atomics of their owners.
#pragma once

#include "FrameSync.h"
#include "NdiFigures.h"
#include "Receiver.h"
#include "Sender.h"

#include <string>

namespace veltrin::rt {

// `sync` is the receiver's frame synchroniser, or null when it has none (no latency, clock or
// block figures then).
VeltrinNdiFigures receiverFigures(const std::string &name, const ReceiverStats &receiver,
                                  const FrameSync *sync);
VeltrinNdiFigures senderFigures(const std::string &name, const SenderStats &sender);

} // namespace veltrin::rt
