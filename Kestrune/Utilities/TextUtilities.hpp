#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

namespace TextUtilities {

// How well a decoded text compresses: input bytes over raw-DEFLATE bytes.
// Repetitive text (a decoder stuck in a loop) compresses far better than
// speech, which is what the fallback threshold tests. The tokens are taken
// as little-endian 32-bit ids. A compression failure gives +infinity (logged
// at debug level), which asks for a fallback.
float compressionRatio(const std::vector<int64_t>& tokens);
// Over the UTF-8 bytes; an empty text gives +infinity.
float compressionRatio(std::string_view text);

}  // namespace TextUtilities

// The text for comparing words: lower-cased, hyphens turned into spaces,
// Unicode punctuation removed, runs of spaces collapsed and the ends trimmed
// of white space and line breaks. Invalid UTF-8 is read as U+FFFD.
std::string normalized(std::string_view text);

// `text` without the characters '<', '|' and '>' at both ends.
std::string trimmingSpecialTokenCharacters(std::string_view text);

}  // namespace kestrune
