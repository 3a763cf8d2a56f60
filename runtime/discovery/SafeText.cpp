#include "SafeText.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>

namespace veltrin::rt {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

bool isControl(uint32_t cp)
{
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029
           || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// Controls that only break a line or a column: a space keeps the words apart.
bool isSpacing(uint32_t cp)
{
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}

// The length of the valid sequence that starts at `at`, with its code point; 0 and the length
// of the maximal invalid subsequence (at least 1) when it is not valid.
size_t decode(std::string_view raw, size_t at, uint32_t &cp, size_t &invalid)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(raw[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t more = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        if (lead == 0xE0)
            low = 0xA0; // overlong below U+0800
        if (lead == 0xED)
            high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        if (lead == 0xF0)
            low = 0x90; // overlong below U+10000
        if (lead == 0xF4)
            high = 0x8F; // past U+10FFFF
    } else {
        invalid = 1;
        return 0;
    }
    cp = lead & (0x3Fu >> more);
    for (size_t k = 1; k <= more; ++k) {
        const bool inRange = at + k < raw.size()
                             && (k == 1 ? byte(at + k) >= low && byte(at + k) <= high
                                        : byte(at + k) >= 0x80 && byte(at + k) <= 0xBF);
        if (!inRange) {
            invalid = k;
            return 0;
        }
        cp = (cp << 6) | (byte(at + k) & 0x3Fu);
    }
    return more + 1;
}

} // namespace

CleanText cleanText(std::string_view raw, size_t maxBytes)
{
    CleanText out;
    out.text.reserve(std::min(raw.size(), maxBytes));
    for (size_t at = 0; at < raw.size();) {
        uint32_t cp = 0;
        size_t invalid = 0;
        const size_t length = decode(raw, at, cp, invalid);
        std::string_view piece;
        unsigned fault = 0;
        if (length == 0) {
            fault = kTextInvalidUtf8;
            piece = kReplacement;
            at += invalid;
        } else if (isControl(cp)) {
            fault = kTextControl;
            piece = isSpacing(cp) ? std::string_view(" ") : std::string_view(kReplacement);
            at += length;
        } else {
            piece = raw.substr(at, length);
            at += length;
        }
        // What is cut off is not reported as repaired: the faults describe the text kept.
        if (out.text.size() + piece.size() > maxBytes) {
            out.faults |= kTextTooLong;
            break;
        }
        out.faults |= fault;
        out.text.append(piece);
    }
    return out;
}

void reportCleanedText(TextOrigin origin, unsigned faults, const std::string &what,
                       const std::string &shown)
{
    static std::atomic<unsigned> reported[3];
    const auto slot = static_cast<size_t>(origin);
    const unsigned fresh = faults & ~reported[slot].fetch_or(faults);
    const char *prefix = origin == TextOrigin::SenderName ? "Veltrin runtime" : "Veltrin discovery";
    // Once per kind and origin for the life of the process, never on an audio path.
    if (fresh & kTextInvalidUtf8)
        std::fprintf(stderr,
                     "%s: %s held bytes that are not UTF-8; each bad sequence is shown as "
                     "U+FFFD: \"%s\" (said once)\n",
                     prefix, what.c_str(), shown.c_str());
    if (fresh & kTextControl)
        std::fprintf(stderr,
                     "%s: %s held control characters; they are shown as spaces or U+FFFD: "
                     "\"%s\" (said once)\n",
                     prefix, what.c_str(), shown.c_str());
    if (fresh & kTextTooLong)
        std::fprintf(stderr, "%s: %s was too long and is cut to \"%s\" (said once)\n", prefix,
                     what.c_str(), shown.c_str());
}

} // namespace veltrin::rt
