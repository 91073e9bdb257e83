#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"
#include "OrvaneCore/External/Tokenizers/Regex.hpp"

namespace orvane {

// How the matches of a split pattern take part in the pieces.
enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// All occurrences of `pattern` in `text`, left to right, without overlap.
std::vector<Regex::Range> literalRanges(std::string_view text, std::string_view pattern);

// The pieces of `text` around `matches` (ranges in order, not overlapping).
std::vector<std::string> split(std::string_view text, const std::vector<Regex::Range>& matches,
                               SplitDelimiterBehavior behavior);

// A replacement read from a component's configuration: `content` is the
// replacement, `pattern.String` a literal or `pattern.Regex` an expression.
class StringReplacePattern {
 public:
  struct RegexForm {
    std::shared_ptr<const Regex> regexp;
    std::string replacement;
  };
  struct StringForm {
    std::string pattern;
    std::string replacement;
  };

  // No pattern when the configuration names none; a Regex that does not
  // compile is a configuration fault (TokenizerError.mismatchedConfig).
  static std::optional<StringReplacePattern> from(const Config& config);

  std::string replace(std::string_view text) const;

  std::variant<RegexForm, StringForm> form;
};

// A split pattern: `pattern.String` (literal) or `pattern.Regex`.
struct StringSplitPattern {
  enum class Kind { regexp, string };
  Kind kind;
  std::string pattern;

  static std::optional<StringSplitPattern> from(const Config& config);
};

}  // namespace orvane
