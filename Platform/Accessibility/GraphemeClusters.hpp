#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace platform::accessibility {

// Byte offsets at which the user-perceived characters (extended grapheme
// clusters) of the UTF-8 text begin, followed by the text's size; an empty
// text gives {0}.
std::vector<std::size_t> graphemeClusterBoundaries(std::string_view utf8);

// The number of user-perceived characters that begin before the code point at
// `codePointOffset`: converts a caret given in code points to one given in
// characters. An offset inside a character counts that character, so that the
// character before the caret is the one holding the code point before it. An
// offset past the end stays past the end by the same amount.
std::int64_t graphemeClustersBeforeCodePoint(std::string_view utf8, std::int64_t codePointOffset);

}  // namespace platform::accessibility
