#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizingModel.hpp"

namespace orvane {

// The GPT-2 table through which byte-level components spell every byte as
// one printable character (the space byte as "Ġ").
const std::array<std::string, 256>& byteEncoder();
// The byte a byte-table character stands for; none for other characters.
std::optional<uint8_t> byteDecoder(char32_t character);

struct BytePair {
  std::string a;
  std::string b;
  bool operator==(const BytePair&) const = default;
};

// The byte-pair-encoding model: merges adjacent symbols of a word, best
// (lowest) rank first, until no ranked pair is left.
class BPETokenizer : public TokenizingModel {
 public:
  // Throws TokenizerError.mismatchedConfig("BPETokenizer requires merges")
  // without a merge list, TokenizerError.missingVocab without a vocabulary
  // dictionary and TokenizerError.malformedVocab for a merge of fewer than
  // two parts.
  BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
               const AddedTokenMap& addedTokens);
  BPETokenizer(const BPETokenizer&) = delete;  // the id map views the token map's keys
  BPETokenizer& operator=(const BPETokenizer&) = delete;

  // The merges of `model.merges`: "a b" strings and ["a", "b"] arrays.
  static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(
      const Config& merges);

  // The merged symbols of one word, joined with single spaces.
  std::string bpe(std::string_view token) const;

  std::vector<std::string> tokenize(std::string_view text) const override;
  std::optional<int64_t> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int64_t id) const override;
  std::optional<std::string> bosToken() const override { return bosToken_; }
  std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
  std::optional<std::string> eosToken() const override { return eosToken_; }
  std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
  std::optional<std::string> unknownToken() const override { return unknownToken_; }
  std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
  bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

  std::optional<int> rank(std::string_view a, std::string_view b) const;
  size_t vocabularySize() const noexcept { return tokensToIds_.size(); }

 private:
  struct PairHash {
    using is_transparent = void;
    size_t operator()(const std::pair<std::string_view, std::string_view>& pair) const noexcept;
    size_t operator()(const BytePair& pair) const noexcept {
      return (*this)(std::pair<std::string_view, std::string_view>(pair.a, pair.b));
    }
  };
  struct PairEqual {
    using is_transparent = void;
    template <typename L, typename R>
    bool operator()(const L& l, const R& r) const noexcept {
      return view(l) == view(r);
    }
    static std::pair<std::string_view, std::string_view> view(const BytePair& pair) {
      return {pair.a, pair.b};
    }
    static std::pair<std::string_view, std::string_view> view(
        const std::pair<std::string_view, std::string_view>& pair) {
      return pair;
    }
  };

  std::vector<std::string> byteFallback(std::string_view piece) const;

  std::unordered_map<BytePair, int, PairHash, PairEqual> bpeRanks_;
  TokenIdMap tokensToIds_;
  std::unordered_map<int64_t, std::string_view> idsToTokens_;
  std::optional<std::string> bosToken_;
  std::optional<int64_t> bosTokenId_;
  std::optional<std::string> eosToken_;
  std::optional<int64_t> eosTokenId_;
  std::optional<std::string> unknownToken_;
  std::optional<int64_t> unknownTokenId_;
  bool fuseUnknownTokens_ = false;
};

}  // namespace orvane
