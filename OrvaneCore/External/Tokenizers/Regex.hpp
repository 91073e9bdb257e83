#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {

// A pattern that does not compile.
class RegexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A compiled regular expression over UTF-8 text, with Unicode property
// classes (\p{L}, \s and \d are Unicode-aware). Immutable, so one instance
// serves any number of threads.
class Regex {
 public:
  // A byte range of the searched text.
  struct Range {
    size_t begin = 0;
    size_t end = 0;
    bool operator==(const Range&) const = default;
  };
  struct Match {
    Range whole;
    // Capture groups 1..n; an entry is empty when its group took no part.
    std::vector<std::optional<Range>> groups;
  };

  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // The pattern that matches `literal` and nothing else.
  static std::string escapedPattern(std::string_view literal);

  // All matches, left to right, each search starting where the previous
  // match ended; after an empty match the search moves on one character.
  std::vector<Match> matches(std::string_view text) const;
  std::vector<Range> ranges(std::string_view text) const;
  std::vector<std::string> matchedTexts(std::string_view text) const;
  // Every match replaced by `replacementTemplate`, in which $0..$9 stand for
  // the groups and a backslash makes the next character literal.
  std::string replacingMatches(std::string_view text, std::string_view replacementTemplate) const;

  const std::string& pattern() const noexcept { return pattern_; }

 private:
  struct Compiled;
  std::string pattern_;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace orvane
