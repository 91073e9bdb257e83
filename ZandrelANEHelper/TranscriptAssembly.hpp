#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ZandrelANEHelper/Answers.hpp"
#include "ZandrelANEHelper/HelperEngine.hpp"

namespace zandrel {

// The texts of all results joined by single spaces, with white space and
// line breaks (Unicode's) trimmed from both ends only.
std::string joinedText(const std::vector<EngineResult>& results);

// Every word timing of every segment of every result, in order, unchanged.
std::vector<WordResponse> collectedWords(const std::vector<EngineResult>& results);

// `text` without Unicode white space and line breaks at either end.
std::string_view trimmedWhitespace(std::string_view text);

}  // namespace zandrel
