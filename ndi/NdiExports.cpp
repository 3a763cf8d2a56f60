// The built-in runtime under the NDI runtime's own C symbol names, for building it as a shared
// library that the loader can open like an installed libndi.so.5.
#include "NdiApi.h"

namespace {

template <veltrin::ndi::Operation> const veltrin::ndi::NdiApi &forwardingTable()
{
    return veltrin::rt::builtinApi();
}

} // namespace

VELTRIN_NDI_DEFINE_FORWARDERS()
