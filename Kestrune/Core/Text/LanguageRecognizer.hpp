#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

// The dominant language of a text as an ISO 639 code ("en", "zh", "ja"),
// or none when it cannot be told.
std::optional<std::string> dominantLanguageCode(std::string_view text);

}  // namespace kestrune
