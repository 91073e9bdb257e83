#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/Accessibility/Accessibility.hpp"

namespace caretpeek {

// The probe's one line, without its line feed: what precedes the caret in
// the focused text element ("NO_FOCUS", "NO_VALUE", "EMPTY", "NO_RANGE",
// "START" or "CHAR:" and the character).
std::string caretContextLine(platform::accessibility::Accessibility& accessibility);

// The line for a non-empty text and a caret counted in user-perceived
// characters: "START" at or before the start, else "CHAR:" and the character
// before the caret, the last one when the caret lies beyond the end.
std::string characterLine(std::string_view text, std::int64_t cursorPos);

}  // namespace caretpeek
