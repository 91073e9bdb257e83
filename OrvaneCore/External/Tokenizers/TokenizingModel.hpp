#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

// Added-token text to id, as collected from a tokenizer's `added_tokens`.
using AddedTokenMap = std::unordered_map<std::string, int64_t>;

// The model of a tokenizer pipeline: turns one pre-tokenized word into
// vocabulary tokens and maps tokens to ids and back. Models are built by
// their constructor from (tokenizer configuration, tokenizer data, added
// tokens), which throws on a faulty configuration.
class TokenizingModel {
 public:
  virtual ~TokenizingModel() = default;
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
  std::vector<std::string> operator()(std::string_view text) const { return tokenize(text); }
  virtual std::optional<int64_t> convertTokenToId(std::string_view token) const = 0;
  virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
  virtual std::optional<std::string> bosToken() const = 0;
  virtual std::optional<int64_t> bosTokenId() const = 0;
  virtual std::optional<std::string> eosToken() const = 0;
  virtual std::optional<int64_t> eosTokenId() const = 0;
  virtual std::optional<std::string> unknownToken() const = 0;
  virtual std::optional<int64_t> unknownTokenId() const = 0;
  virtual bool fuseUnknownTokens() const = 0;
};

// Hash and equality that let string maps be searched with a string_view.
struct TransparentStringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
using TokenIdMap = std::unordered_map<std::string, int64_t, TransparentStringHash, std::equal_to<>>;

}  // namespace orvane
