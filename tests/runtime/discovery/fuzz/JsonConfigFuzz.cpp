// libFuzzer target for the settings-file reader: no input may crash it, and every name it
// yields is clean text within a DNS label's length.

#include "Discovery.h"
#include "SafeText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void checkClean(const std::string &field)
{
    const veltrin::rt::CleanText again = veltrin::rt::cleanText(field, 63);
    if (again.faults != 0 || again.text != field)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const veltrin::rt::DiscoveryConfig config = veltrin::rt::DiscoveryConfig::parse(text);
    checkClean(config.machineName);
    for (const auto *list : {&config.sendGroups, &config.recvGroups, &config.allowedAdapters})
        for (const std::string &field : *list)
            checkClean(field);
    return config.extraIps.size() > 1000 ? 1 : 0;
}
