// One stream's figures (NdiFigures.h) as one line of text, the same in veltrin-cli's --stats
// lines and in the window's log. Figures the runtime does not offer read "n/a".
//
// Threads: pure functions; any thread (they allocate: not for audio threads).
#pragma once

#include "NdiFigures.h"

#include <string>

namespace veltrin::ndi {

// Whether the runtime offers `figure` (a VeltrinNdi_has_* bit) in `figures`.
inline bool hasFigure(const VeltrinNdiFigures &figures, uint32_t figure)
{
    return (figures.available & figure) != 0;
}

// `value` printed with the printf `pattern` (one double).
std::string formatted(const char *pattern, double value);

// "copying", "resampling" or "settling" (not decided yet).
const char *clockWord(int32_t mode);

// `xruns` is the device blocks lost or late since the stream started.
std::string figuresText(const VeltrinNdiFigures &figures, uint64_t xruns);

} // namespace veltrin::ndi
