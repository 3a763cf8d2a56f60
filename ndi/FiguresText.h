// One stream's figures (NdiFigures.h) as one line of text, the same in veltrin-cli's --stats
// lines and in the window's log. Figures the runtime does not offer read "n/a".
//
// Threads: pure functions; any thread (they allocate: not for audio threads).
#pragma once

#include "NdiFigures.h"

#include <string>

namespace veltrin::ndi {

// "copying", "resampling" or "settling" (not decided yet).
const char *clockWord(int32_t mode);

// `xruns` is the device blocks lost or late since the stream started.
std::string figuresText(const VeltrinNdiFigures &figures, uint64_t xruns);

} // namespace veltrin::ndi
