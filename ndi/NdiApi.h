// A table of the NDI runtime operations, one function pointer per operation of NdiLib.h, and the
// forwarders that define the NDIlib_* symbols as calls through such a table.
//
// The loader fills one table from an installed libndi.so.5 and forwards through it; the built-in
// runtime (runtime/) provides a table of its own, which the export shim forwards to. Threads: a
// table is constant once filled; a forwarder only reads the table it is given.
#pragma once

#include "NdiFigures.h"
#include "NdiLib.h"

namespace veltrin::ndi {

struct NdiApi {
#define VELTRIN_NDI_TABLE_ENTRY(name, result, parameters, arguments)                               \
    decltype(&NDIlib_##name) name = nullptr;
    VELTRIN_NDI_OPERATIONS(VELTRIN_NDI_TABLE_ENTRY)
#undef VELTRIN_NDI_TABLE_ENTRY
};

// One constant per operation, for forwarders that treat one operation apart.
enum class Operation {
#define VELTRIN_NDI_OPERATION_NAME(name, result, parameters, arguments) name,
    VELTRIN_NDI_OPERATIONS(VELTRIN_NDI_OPERATION_NAME)
#undef VELTRIN_NDI_OPERATION_NAME
};

} // namespace veltrin::ndi

// Defines extern "C" NDIlib_<name> for every operation as a call through
// forwardingTable<Operation::name>(), a function template (returning const NdiApi &) that the
// expanding source file declares in its own unnamed namespace before the expansion.
#define VELTRIN_NDI_FORWARDER(name, result, parameters, arguments)                                 \
    result NDIlib_##name parameters                                                                \
    {                                                                                              \
        return forwardingTable<veltrin::ndi::Operation::name>().name arguments;                    \
    }
#define VELTRIN_NDI_DEFINE_FORWARDERS()                                                            \
    extern "C" {                                                                                   \
    VELTRIN_NDI_OPERATIONS(VELTRIN_NDI_FORWARDER)                                                  \
    }

namespace veltrin::rt {

// The built-in runtime's table (defined in runtime/).
const ndi::NdiApi &builtinApi();
// The figures of the built-in runtime's live receivers, then senders, as
// VeltrinNdi_stream_figures() gives them.
uint32_t builtinStreamFigures(VeltrinNdiFigures *out, uint32_t capacity);
// The figures of one sender or receiver handle of the built-in runtime; false when the handle
// is none of them.
bool builtinHandleFigures(const void *handle, VeltrinNdiFigures &out);

} // namespace veltrin::rt
