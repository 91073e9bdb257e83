#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizingModel.hpp"

namespace orvane {

// A WordPiece vocabulary. Keys compare under canonical equivalence: a
// precomposed and a decomposed spelling of a letter find the same entry.
class WordPieceVocabulary {
 public:
  void insertOrAssign(const std::string& token, int64_t id);
  std::optional<int64_t> find(std::string_view token) const;
  const std::unordered_map<std::string, int64_t>& entries() const noexcept { return entries_; }

 private:
  std::unordered_map<std::string, int64_t> entries_;  // keyed by the NFC form
};

// Splits text at whitespace and punctuation, optionally lowercased and with
// diacritics removed.
class BasicTokenizer {
 public:
  explicit BasicTokenizer(bool doLowerCase);
  std::vector<std::string> tokenize(std::string_view text) const;

  bool doLowerCase;
  std::vector<std::string> neverSplit;
};

// Cuts a word greedily into the longest known pieces ("##" marks a piece
// that continues a word).
class WordpieceTokenizer {
 public:
  WordpieceTokenizer(std::string unkToken, size_t maxInputCharsPerWord,
                     std::shared_ptr<const WordPieceVocabulary> vocab);
  std::vector<std::string> tokenize(std::string_view word) const;

  std::string unkToken;
  size_t maxInputCharsPerWord;

 private:
  std::shared_ptr<const WordPieceVocabulary> vocab_;
};

class BertTokenizer : public TokenizingModel {
 public:
  // Throws TokenizerError.missingVocab when `model.vocab` is no dictionary.
  BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                const AddedTokenMap& addedTokens);

  std::vector<std::string> tokenize(std::string_view text) const override;
  std::optional<int64_t> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int64_t id) const override;
  std::optional<std::string> bosToken() const override { return bosToken_; }
  std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
  std::optional<std::string> eosToken() const override { return eosToken_; }
  std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
  std::optional<std::string> unknownToken() const override { return wordpiece_->unkToken; }
  std::optional<int64_t> unknownTokenId() const override;
  bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

  static constexpr size_t maxLen = 512;

 private:
  std::unique_ptr<BasicTokenizer> basic_;
  std::unique_ptr<WordpieceTokenizer> wordpiece_;
  bool tokenizeChineseChars_ = true;
  std::shared_ptr<WordPieceVocabulary> vocab_;
  std::unordered_map<int64_t, std::string> idsToTokens_;
  std::optional<std::string> bosToken_;
  std::optional<int64_t> bosTokenId_;
  std::optional<std::string> eosToken_;
  std::optional<int64_t> eosTokenId_;
  bool fuseUnknownTokens_ = false;
};

}  // namespace orvane
