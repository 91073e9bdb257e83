#pragma once

#include <string>
#include <string_view>

#include "OrvaneCore/External/Tokenizers/Regex.hpp"

namespace orvane {

// The GPT-2 word pattern: contractions, letter runs, digit runs, other
// symbol runs, each with an optional leading space, and whitespace that
// leaves its last space to the following word.
const Regex& gpt2SplitPattern();

// Every UTF-8 byte of `text` spelled by its byte-table character.
std::string byteLevelEncoded(std::string_view text);
// The bytes spelled by byte-table characters, decoded as UTF-8 with invalid
// sequences (and characters outside the table) replaced by U+FFFD.
std::string byteLevelDecoded(std::string_view text);

}  // namespace orvane
