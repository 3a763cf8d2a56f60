// libFuzzer target for the DNS message parser and the cleaning of the names it yields: any
// input must either be rejected or parse into a message that the writer encodes and the parser
// reads back unchanged, and every label and text string must clean into text that is valid,
// within its bound, and left as it is when cleaned again.

#include "DnsMessage.h"
#include "SafeText.h"

#include <cstdint>
#include <cstdlib>

namespace {

void checkCleaning(const std::string &raw)
{
    using namespace veltrin::rt;
    constexpr size_t kBound = 250;
    const CleanText clean = cleanText(raw, kBound);
    if (clean.text.size() > kBound || (clean.faults == 0 && clean.text != raw.substr(0, kBound)))
        std::abort();
    const CleanText again = cleanText(clean.text, kBound);
    if (again.faults != 0 || again.text != clean.text)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace veltrin::rt;
    const auto message = parseDnsMessage(data, size);
    if (!message)
        return 0;
    const auto bytes = writeDnsMessage(*message);
    if (!bytes)
        std::abort(); // whatever parses must be writable
    const auto again = parseDnsMessage(bytes->data(), bytes->size());
    if (!again || !(*again == *message))
        std::abort();
    for (const auto *section : {&message->answers, &message->authorities, &message->additionals})
        for (const DnsRecord &r : *section) {
            for (const std::string &label : r.name)
                checkCleaning(label);
            for (const std::string &text : r.txt)
                checkCleaning(text);
        }
    return 0;
}
