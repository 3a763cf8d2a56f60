// The NDI runtime loader: defines the NDIlib_* C functions of NdiLib.h and sends every call to
// the runtime chosen at the first NDIlib_initialize() or NDIlib_version(): an installed
// libndi.so.5 (looked for in $NDI_RUNTIME_DIR_V5, then on the dynamic loader's search path)
// when it provides every operation, otherwise Veltrin's built-in runtime. One line on standard
// output names the choice. Other calls made before the choice go to the built-in runtime. The
// forwarders and the table are expanded from the operation list of NdiLib.h, like the export
// shim's. It also defines the figures calls of NdiFigures.h for either runtime.
//
// Threads: the choice is made once, under std::call_once; afterwards every call reads one
// atomic pointer to a constant table (no lock on the audio path).
#pragma once

#include <string>

namespace veltrin::ndi {

// A description of the runtime in use, as printed ("built-in" before the first initialise).
std::string runtimeDescription();

// The version text of the runtime that serves the calls, followed by " (built-in)" for the
// built-in one. Makes the runtime choice if it was not made yet.
std::string runtimeVersionText();

} // namespace veltrin::ndi
