// libFuzzer target for the DNS message parser: any input must either be rejected or parse into
// a message that the writer encodes and the parser reads back unchanged.

#include "DnsMessage.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace veltrin::rt;
    const auto message = parseDnsMessage(data, size);
    if (!message)
        return 0;
    const auto bytes = writeDnsMessage(*message); // whatever parses must be writable
    const auto again = bytes ? parseDnsMessage(bytes->data(), bytes->size()) : std::nullopt;
    if (!again || !(*again == *message))
        std::abort();
    return 0;
}
