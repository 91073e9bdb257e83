#include "OrvaneCore/External/Tokenizers/Regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

std::string compileMessage(int code, PCRE2_SIZE offset, std::string_view pattern) {
  PCRE2_UCHAR buffer[256];
  pcre2_get_error_message(code, buffer, sizeof buffer);
  return "Cannot compile regular expression " + std::string(pattern) + ": " +
         reinterpret_cast<const char*>(buffer) + " at offset " + std::to_string(offset);
}

}  // namespace

struct Regex::Compiled {
  pcre2_code* code = nullptr;
  ~Compiled() { pcre2_code_free(code); }
};

Regex::Regex(std::string_view pattern)
    : pattern_(pattern), compiled_(std::make_unique<Compiled>()) {
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  // Invalid UTF-8 in a searched text then only fails to match instead of
  // making the search fail.
  const uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;
  compiled_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(),
                                  options, &errorCode, &errorOffset, nullptr);
  if (!compiled_->code) throw RegexError(compileMessage(errorCode, errorOffset, pattern_));
  pcre2_jit_compile(compiled_->code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::string Regex::escapedPattern(std::string_view literal) {
  std::string out;
  out.reserve(literal.size() * 2);
  for (const char c : literal) {
    const auto u = static_cast<unsigned char>(c);
    const bool plain = u >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                       (c >= 'A' && c <= 'Z') || c == '_';
    if (!plain) out += '\\';
    out += c;
  }
  return out;
}

std::vector<Regex::Match> Regex::matches(std::string_view text) const {
  std::vector<Match> out;
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(
      pcre2_match_data_create_from_pattern(compiled_->code, nullptr));
  const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  size_t start = 0;
  while (start <= text.size()) {
    const int rc =
        pcre2_match(compiled_->code, subject, text.size(), start, 0, data.get(), nullptr);
    if (rc < 0) break;  // no further match (or a search failure, which ends the search too)
    const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(data.get());
    const uint32_t pairs = pcre2_get_ovector_count(data.get());
    Match match{{vector[0], vector[1]}, {}};
    for (uint32_t group = 1; group < pairs; ++group) {
      if (vector[2 * group] == PCRE2_UNSET) {
        match.groups.emplace_back(std::nullopt);
      } else {
        match.groups.emplace_back(Range{vector[2 * group], vector[2 * group + 1]});
      }
    }
    out.push_back(std::move(match));
    if (vector[1] > vector[0]) {
      start = vector[1];
    } else if (vector[1] >= text.size()) {
      break;
    } else {
      start =
          vector[1] + std::min(unicode::scalarLength(static_cast<unsigned char>(text[vector[1]])),
                               text.size() - vector[1]);
    }
  }
  return out;
}

std::vector<Regex::Range> Regex::ranges(std::string_view text) const {
  std::vector<Range> out;
  for (const Match& match : matches(text)) out.push_back(match.whole);
  return out;
}

std::vector<std::string> Regex::matchedTexts(std::string_view text) const {
  std::vector<std::string> out;
  for (const Range& range : ranges(text)) {
    out.emplace_back(text.substr(range.begin, range.end - range.begin));
  }
  return out;
}

std::string Regex::replacingMatches(std::string_view text,
                                    std::string_view replacementTemplate) const {
  std::string out;
  size_t last = 0;
  for (const Match& match : matches(text)) {
    out.append(text.substr(last, match.whole.begin - last));
    for (size_t i = 0; i < replacementTemplate.size(); ++i) {
      const char c = replacementTemplate[i];
      if (c == '\\' && i + 1 < replacementTemplate.size()) {
        out += replacementTemplate[++i];
      } else if (c == '$' && i + 1 < replacementTemplate.size() &&
                 replacementTemplate[i + 1] >= '0' && replacementTemplate[i + 1] <= '9') {
        const size_t group = static_cast<size_t>(replacementTemplate[++i] - '0');
        std::optional<Range> range;
        if (group == 0) {
          range = match.whole;
        } else if (group <= match.groups.size()) {
          range = match.groups[group - 1];
        }
        if (range) out.append(text.substr(range->begin, range->end - range->begin));
      } else {
        out += c;
      }
    }
    last = match.whole.end;
  }
  out.append(text.substr(last));
  return out;
}

}  // namespace orvane
