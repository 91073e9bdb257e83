#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "Kestrune/Core/Text/WhisperTokenizer.hpp"

namespace kestrune::testing {

// A tokenizer over a handful of text tokens with the multilingual control
// ids. Timestamps decode as "<|1.50|>", the end of text as "<|endoftext|>".
// Words split as the engine's space rule does: a word starts at a special
// token, at a token that begins with a space, at a lone punctuation mark,
// or at the first token.
class FakeTokenizer final : public WhisperTokenizer {
 public:
  static constexpr int64_t hello = 100;      // " Hello"
  static constexpr int64_t world = 101;      // " world"
  static constexpr int64_t comma = 102;      // ","
  static constexpr int64_t period = 103;     // "."
  static constexpr int64_t hel = 104;        // " Hel"
  static constexpr int64_t lo = 105;         // "lo"
  static constexpr int64_t a = 106;          // " A"
  static constexpr int64_t b = 107;          // " B"
  static constexpr int64_t c = 108;          // " C"
  static constexpr int64_t openParen = 109;  // " ("
  static constexpr int64_t endOfText = 50257;
  static constexpr int64_t timeBegin = 50364;

  // The timestamp token of a time in seconds.
  static int64_t time(double seconds) {
    return timeBegin + static_cast<int64_t>(seconds / 0.02 + 0.5);
  }

  std::vector<int64_t> encode(std::string_view) const override { return {}; }

  std::string decode(const std::vector<int64_t>& tokens) const override {
    std::string text;
    for (const int64_t token : tokens) text += tokenText(token);
    return text;
  }
  std::optional<int64_t> convertTokenToId(std::string_view) const override { return std::nullopt; }
  std::optional<std::string> convertIdToToken(int64_t id) const override { return tokenText(id); }
  const SpecialTokens& specialTokens() const override { return specialTokens_; }
  const std::unordered_set<int64_t>& allLanguageTokens() const override { return languages_; }

  WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const override {
    WordTokens split;
    for (const int64_t id : tokenIds) {
      const std::string text = tokenText(id);
      const bool startsWord = split.words.empty() || id >= specialTokens_.specialTokenBegin ||
                              text.starts_with(' ') || text == "," || text == ".";
      if (startsWord) {
        split.words.push_back(text);
        split.wordTokens.push_back({id});
      } else {
        split.words.back() += text;
        split.wordTokens.back().push_back(id);
      }
    }
    return split;
  }

  std::string tokenText(int64_t id) const {
    static const std::map<int64_t, std::string> vocabulary = {{hello, " Hello"},
                                                              {world, " world"},
                                                              {comma, ","},
                                                              {period, "."},
                                                              {hel, " Hel"},
                                                              {lo, "lo"},
                                                              {a, " A"},
                                                              {b, " B"},
                                                              {c, " C"},
                                                              {openParen, " ("},
                                                              {endOfText, "<|endoftext|>"}};
    if (const auto found = vocabulary.find(id); found != vocabulary.end()) return found->second;
    if (id >= timeBegin) {
      char text[32];
      std::snprintf(text, sizeof text, "<|%.2f|>", static_cast<double>(id - timeBegin) * 0.02);
      return text;
    }
    return "";
  }

 private:
  SpecialTokens specialTokens_{};
  std::unordered_set<int64_t> languages_{};
};

}  // namespace kestrune::testing
