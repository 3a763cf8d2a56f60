// libFuzzer target for the settings-file reader: no input may crash it.

#include "Discovery.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const veltrin::rt::DiscoveryConfig config = veltrin::rt::DiscoveryConfig::parse(text);
    return config.extraIps.size() > 1000 ? 1 : 0;
}
