#pragma once

#include <filesystem>
#include <optional>

#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "OrvaneCore/TokenizerWrapper.hpp"

namespace kestrune {

// The Whisper tokenizer over a general tokenizer. Control tokens are looked
// up once by their texts, with the standard multilingual ids as fallbacks.
class WhisperTokenizerWrapper : public WhisperTokenizer {
 public:
  WhisperTokenizerWrapper(orvane::TokenizerWrapper tokenizer,
                          std::optional<std::filesystem::path> tokenizerFolder = std::nullopt);

  std::vector<int64_t> encode(std::string_view text) const override;
  std::string decode(const std::vector<int64_t>& tokens) const override;
  std::optional<int64_t> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int64_t id) const override;
  const SpecialTokens& specialTokens() const override { return specialTokens_; }
  const std::unordered_set<int64_t>& allLanguageTokens() const override {
    return allLanguageTokens_;
  }
  WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const override;

  // The smallest runs of ids that decode to whole characters.
  WordTokens splitTokensOnUnicode(const std::vector<int64_t>& tokens) const;
  // Those runs joined into words that begin with a space, a punctuation mark
  // or a control token.
  WordTokens splitTokensOnSpaces(const std::vector<int64_t>& tokens) const;

  const orvane::TokenizerWrapper& tokenizer() const noexcept { return tokenizer_; }
  const std::optional<std::filesystem::path>& tokenizerFolder() const noexcept {
    return tokenizerFolder_;
  }

 private:
  orvane::TokenizerWrapper tokenizer_;
  std::optional<std::filesystem::path> tokenizerFolder_;
  SpecialTokens specialTokens_;
  std::unordered_set<int64_t> allLanguageTokens_;
};

}  // namespace kestrune
