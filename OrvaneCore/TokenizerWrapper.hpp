#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/External/Hub/LanguageModelConfigurationFromHub.hpp"
#include "OrvaneCore/External/Tokenizers/Tokenizer.hpp"

namespace orvane {

// The value through which the engine holds a loaded tokenizer; copies share
// the same immutable tokenizer.
class TokenizerWrapper {
 public:
  explicit TokenizerWrapper(std::shared_ptr<const Tokenizer> tokenizer);

  std::vector<std::string> tokenize(std::string_view text) const {
    return tokenizer_->tokenize(text);
  }
  std::vector<int64_t> encode(std::string_view text) const { return tokenizer_->encode(text); }
  std::vector<int64_t> encode(std::string_view text, bool addSpecialTokens) const {
    return tokenizer_->encode(text, addSpecialTokens);
  }
  std::string decode(const std::vector<int64_t>& tokens) const {
    return tokenizer_->decode(tokens);
  }
  std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const {
    return tokenizer_->decode(tokens, skipSpecialTokens);
  }
  std::optional<int64_t> convertTokenToId(std::string_view token) const {
    return tokenizer_->convertTokenToId(token);
  }
  std::vector<std::optional<int64_t>> convertTokensToIds(
      const std::vector<std::string>& tokens) const {
    return tokenizer_->convertTokensToIds(tokens);
  }
  std::optional<std::string> convertIdToToken(int64_t id) const {
    return tokenizer_->convertIdToToken(id);
  }
  std::vector<std::optional<std::string>> convertIdsToTokens(
      const std::vector<int64_t>& ids) const {
    return tokenizer_->convertIdsToTokens(ids);
  }
  std::optional<std::string> bosToken() const { return tokenizer_->bosToken(); }
  std::optional<int64_t> bosTokenId() const { return tokenizer_->bosTokenId(); }
  std::optional<std::string> eosToken() const { return tokenizer_->eosToken(); }
  std::optional<int64_t> eosTokenId() const { return tokenizer_->eosTokenId(); }
  std::optional<std::string> unknownToken() const { return tokenizer_->unknownToken(); }
  std::optional<int64_t> unknownTokenId() const { return tokenizer_->unknownTokenId(); }

  const Tokenizer& tokenizer() const noexcept { return *tokenizer_; }

 private:
  std::shared_ptr<const Tokenizer> tokenizer_;
};

// Builds a ready tokenizer from the configuration files of a model.
struct AutoTokenizerWrapper {
  // The tokenizer of a local model folder. Throws TokenizerError.missingConfig
  // without tokenizer_config.json, and the errors of reading the files and
  // of building the tokenizer.
  static TokenizerWrapper from(const std::filesystem::path& modelFolder, bool strict = true);
  // The same for configurations from any source.
  static TokenizerWrapper from(const LanguageModelConfigurationFromHub& configuration, bool strict);
};

}  // namespace orvane
