// libFuzzer target for the settings-file reader: no input may crash it, and every name it
// yields is clean text within a DNS label's length, left as it is when cleaned again.

#include "Discovery.h"
#include "SafeText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace veltrin::rt;
    const DiscoveryConfig config =
        DiscoveryConfig::parse(std::string(reinterpret_cast<const char *>(data), size));
    for (const auto &list : {std::vector<std::string>{config.machineName}, config.sendGroups,
                             config.recvGroups, config.allowedAdapters})
        for (const std::string &field : list)
            if (const CleanText again = cleanText(field, 63); again.faults || again.text != field)
                std::abort();
    return 0;
}
