#pragma once

#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/External/Hub/Config.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizingModel.hpp"
#include "OrvaneCore/External/Tokenizers/Trie.hpp"

namespace orvane {

// The SentencePiece unigram model: a word becomes the sequence of vocabulary
// pieces with the highest total score.
class UnigramTokenizer : public TokenizingModel {
 public:
  struct SentencePieceToken {
    std::string token;
    float score = 0;
  };

  // Throws TokenizerError.missingVocab without a vocabulary array and
  // TokenizerError.malformedVocab for an entry that is not [text, ..., score]
  // or an `unk_id` that is no index of the vocabulary.
  UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                   const AddedTokenMap& addedTokens);

  std::vector<std::string> tokenize(std::string_view text) const override;
  std::optional<int64_t> convertTokenToId(std::string_view token) const override;
  std::optional<std::string> convertIdToToken(int64_t id) const override;
  std::optional<std::string> bosToken() const override { return bosToken_; }
  std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
  std::optional<std::string> eosToken() const override { return eosToken_; }
  std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
  std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
  std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
  bool fuseUnknownTokens() const override { return true; }

  float minScore() const noexcept { return minScore_; }
  const SentencePieceToken& unknownPiece() const noexcept { return unknownPiece_; }

 private:
  std::vector<SentencePieceToken> vocab_;
  SentencePieceToken unknownPiece_;
  std::optional<int64_t> unknownTokenId_;
  float minScore_ = 999;
  TokenIdMap tokensToIds_;
  std::optional<std::string> bosToken_ = " ";
  std::optional<int64_t> bosTokenId_;
  std::optional<std::string> eosToken_;
  std::optional<int64_t> eosTokenId_;
  Trie<std::string> trie_;
};

// The T5 tokenizer is the unigram model unchanged.
class T5Tokenizer : public UnigramTokenizer {
 public:
  using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace orvane
