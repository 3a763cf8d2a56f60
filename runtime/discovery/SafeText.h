#pragma once
// Text from outside the process (names in announcements, fields of the settings file, sender
// names handed to the runtime) made safe to list, to compare and to put on the wire: valid
// UTF-8, no control characters, bounded length. Plain functions; any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrin::rt {

// What cleanText() had to repair, as bits.
enum TextFault : unsigned {
    kTextInvalidUtf8 = 1u << 0, // each bad sequence became U+FFFD
    kTextControl = 1u << 1,     // line breaks and tabs became spaces, other controls U+FFFD
    kTextTooLong = 1u << 2,     // cut at a character boundary
};

struct CleanText {
    std::string text;
    unsigned faults = 0; // TextFault bits
};

// Strict UTF-8 (no overlong forms, surrogates or code points past U+10FFFF): every maximal
// invalid subsequence becomes one U+FFFD. Controls are C0, DEL, C1, the line and paragraph
// separators and the bidirectional embeddings, overrides and isolates (which could make one
// name look like another in a list). At most maxBytes bytes come out.
CleanText cleanText(std::string_view raw, size_t maxBytes);

// Where cleaned text came from, for the log line.
enum class TextOrigin { Announcement, SettingsFile, SenderName };

// Writes one line to standard error, "Veltrin discovery: ...", the first time each kind of
// fault is seen from each origin in this process; later ones are silent, so a flood of bad
// names costs one line per kind. `what` names the field and `shown` is the cleaned text.
void reportCleanedText(TextOrigin origin, unsigned faults, const std::string &what,
                       const std::string &shown);

} // namespace veltrin::rt
