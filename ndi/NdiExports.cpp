// The built-in runtime under the NDI runtime's own C symbol names, for building it as a shared
// library that the loader can open like an installed libndi.so.5.
#include "NdiApi.h"

namespace {

#ifdef VELTRIN_EXPORT_VERSION_TEXT
// A stand-in for an installed runtime of another version: the built-in runtime under a
// version text of its own.
const char *standInVersion()
{
    return VELTRIN_EXPORT_VERSION_TEXT;
}
#endif

template <veltrin::ndi::Operation> const veltrin::ndi::NdiApi &forwardingTable()
{
#ifdef VELTRIN_EXPORT_VERSION_TEXT
    static const veltrin::ndi::NdiApi api = [] {
        veltrin::ndi::NdiApi table = veltrin::rt::builtinApi();
        table.version = &standInVersion;
        return table;
    }();
    return api;
#else
    return veltrin::rt::builtinApi();
#endif
}

} // namespace

VELTRIN_NDI_DEFINE_FORWARDERS()
