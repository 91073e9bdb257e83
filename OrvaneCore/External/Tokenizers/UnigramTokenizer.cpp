#include "OrvaneCore/External/Tokenizers/UnigramTokenizer.hpp"

#include <algorithm>

#include "OrvaneCore/External/Tokenizers/TokenLattice.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

std::vector<std::string> characterStrings(std::string_view text) {
  std::vector<std::string> out;
  for (const std::string_view character : unicode::characters(text)) out.emplace_back(character);
  return out;
}

UnigramTokenizer::SentencePieceToken piece(const Config& entry) {
  const Config::Array* parts = entry.array();
  if (!parts || parts->empty()) throw TokenizerError::malformedVocab();
  const std::optional<std::string> text = parts->front().string();
  const Config& last = parts->back();
  std::optional<float> score = last.floating();
  if (!score) {
    if (const auto integer = last.integer()) score = static_cast<float>(*integer);
  }
  if (!text || !score) throw TokenizerError::malformedVocab();
  return {*text, *score};
}

}  // namespace

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                   const AddedTokenMap&) {
  const Config model = tokenizerData["model"];
  const Config::Array* vocab = model["vocab"].array();
  if (!vocab) throw TokenizerError::missingVocab();
  vocab_.reserve(vocab->size());
  for (const Config& entry : *vocab) vocab_.push_back(piece(entry));

  for (const SentencePieceToken& token : vocab_) minScore_ = std::min(minScore_, token.score);

  const std::optional<int64_t> unknownId = model["unk_id"].integer();
  if (!unknownId || *unknownId < 0 || static_cast<size_t>(*unknownId) >= vocab_.size()) {
    throw TokenizerError::malformedVocab();
  }
  unknownPiece_ = {vocab_[static_cast<size_t>(*unknownId)].token, minScore_ - 10};

  // A text listed twice keeps its first id.
  for (size_t id = 0; id < vocab_.size(); ++id) {
    tokensToIds_.emplace(vocab_[id].token, static_cast<int64_t>(id));
  }
  const auto idOf = [&](std::string_view text) -> std::optional<int64_t> {
    const auto found = tokensToIds_.find(text);
    if (found == tokensToIds_.end()) return std::nullopt;
    return found->second;
  };
  unknownTokenId_ = idOf(unknownPiece_.token);
  bosTokenId_ = idOf(" ");
  eosToken_ = tokenizerConfig["eos_token"].string();
  if (eosToken_) eosTokenId_ = idOf(*eosToken_);

  for (const SentencePieceToken& token : vocab_) trie_.insert(characterStrings(token.token));
}

std::vector<std::string> UnigramTokenizer::tokenize(std::string_view text) const {
  TokenLattice lattice(text, bosTokenId_.value_or(0), eosTokenId_.value_or(0));
  const std::vector<std::string> characters = characterStrings(text);
  for (size_t start = 0; start < characters.size(); ++start) {
    bool singleCharacterPiece = false;
    auto leaves = trie_.commonPrefixSearchIterator(std::vector<std::string>(
        characters.begin() + static_cast<std::ptrdiff_t>(start), characters.end()));
    while (const auto leaf = leaves.next()) {
      std::string pieceText;
      for (const std::string& character : *leaf) pieceText += character;
      const auto found = tokensToIds_.find(pieceText);
      if (found == tokensToIds_.end()) continue;
      const int64_t id = found->second;
      lattice.insert(start, leaf->size(), vocab_[static_cast<size_t>(id)].score, id);
      singleCharacterPiece = singleCharacterPiece || leaf->size() == 1;
    }
    if (!singleCharacterPiece) {
      lattice.insert(start, 1, unknownPiece_.score, unknownTokenId_.value_or(0));
    }
  }
  return lattice.tokens();
}

std::optional<int64_t> UnigramTokenizer::convertTokenToId(std::string_view token) const {
  const auto found = tokensToIds_.find(token);
  if (found == tokensToIds_.end()) return unknownTokenId_;
  return found->second;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int64_t id) const {
  if (id < 0 || static_cast<size_t>(id) >= vocab_.size()) return std::nullopt;
  return vocab_[static_cast<size_t>(id)].token;
}

}  // namespace orvane
