#include "OrvaneCore/External/Tokenizers/StringPatterns.hpp"

#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

void appendPiece(std::vector<std::string>& pieces, std::string_view text, size_t begin,
                 size_t end) {
  if (end > begin) pieces.emplace_back(text.substr(begin, end - begin));
}

}  // namespace

std::vector<Regex::Range> literalRanges(std::string_view text, std::string_view pattern) {
  std::vector<Regex::Range> out;
  if (pattern.empty()) return out;
  for (size_t found = text.find(pattern); found != std::string_view::npos;
       found = text.find(pattern, found + pattern.size())) {
    out.push_back({found, found + pattern.size()});
  }
  return out;
}

std::vector<std::string> split(std::string_view text, const std::vector<Regex::Range>& matches,
                               SplitDelimiterBehavior behavior) {
  std::vector<std::string> pieces;
  size_t last = 0;
  switch (behavior) {
    case SplitDelimiterBehavior::removed:
    case SplitDelimiterBehavior::isolated:
      for (const Regex::Range& match : matches) {
        appendPiece(pieces, text, last, match.begin);
        if (behavior == SplitDelimiterBehavior::isolated) {
          appendPiece(pieces, text, match.begin, match.end);
        }
        last = match.end;
      }
      appendPiece(pieces, text, last, text.size());
      break;
    case SplitDelimiterBehavior::mergedWithPrevious:
      for (const Regex::Range& match : matches) {
        appendPiece(pieces, text, last, match.end);
        last = match.end;
      }
      appendPiece(pieces, text, last, text.size());
      break;
    case SplitDelimiterBehavior::mergedWithNext:
      for (const Regex::Range& match : matches) {
        appendPiece(pieces, text, last, match.begin);
        last = match.begin;
      }
      appendPiece(pieces, text, last, text.size());
      break;
  }
  return pieces;
}

std::optional<StringReplacePattern> StringReplacePattern::from(const Config& config) {
  const std::optional<std::string> replacement = config["content"].string();
  if (!replacement) return std::nullopt;
  const Config pattern = config["pattern"];
  if (const auto literal = pattern["String"].string()) {
    return StringReplacePattern{StringForm{*literal, *replacement}};
  }
  if (const auto expression = pattern["Regex"].string()) {
    try {
      return StringReplacePattern{
          RegexForm{std::make_shared<const Regex>(*expression), *replacement}};
    } catch (const RegexError&) {
      throw TokenizerError::mismatchedConfig("Cannot build regexp from " + *expression);
    }
  }
  return std::nullopt;
}

std::string StringReplacePattern::replace(std::string_view text) const {
  if (const auto* literal = std::get_if<StringForm>(&form)) {
    return unicode::replacingAll(text, literal->pattern, literal->replacement);
  }
  const auto& expression = std::get<RegexForm>(form);
  return expression.regexp->replacingMatches(text, expression.replacement);
}

std::optional<StringSplitPattern> StringSplitPattern::from(const Config& config) {
  const Config pattern = config["pattern"];
  if (const auto literal = pattern["String"].string()) {
    return StringSplitPattern{Kind::string, *literal};
  }
  if (const auto expression = pattern["Regex"].string()) {
    return StringSplitPattern{Kind::regexp, *expression};
  }
  return std::nullopt;
}

}  // namespace orvane
