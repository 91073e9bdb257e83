#include "OrvaneCore/External/Tokenizers/BertTokenizer.hpp"

#include <algorithm>

#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

bool isBertPunctuation(char32_t c) {
  return unicode::isPunctuation(c) || (c >= 33 && c <= 47) || (c >= 58 && c <= 64) ||
         (c >= 91 && c <= 96) || (c >= 123 && c <= 126);
}

// Tab and the space separators cut; line breaks do not.
bool isCutPoint(char32_t c) {
  return c == '\t' || unicode::isSpaceSeparator(c);
}

std::vector<std::string> splitOnPunctuation(std::string_view part) {
  std::vector<std::string> tokens;
  std::string run;
  for (const std::string_view character : unicode::characters(part)) {
    if (isBertPunctuation(unicode::scalarAt(character, 0))) {
      if (!run.empty()) tokens.push_back(std::move(run));
      run.clear();
      tokens.emplace_back(character);
    } else {
      run.append(character);
    }
  }
  if (!run.empty()) tokens.push_back(std::move(run));
  return tokens;
}

}  // namespace

void WordPieceVocabulary::insertOrAssign(const std::string& token, int64_t id) {
  entries_.insert_or_assign(unicode::nfc(token), id);
}

std::optional<int64_t> WordPieceVocabulary::find(std::string_view token) const {
  const auto found = entries_.find(unicode::nfc(token));
  if (found == entries_.end()) return std::nullopt;
  return found->second;
}

BasicTokenizer::BasicTokenizer(bool doLowerCase)
    : doLowerCase(doLowerCase), neverSplit{"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"} {}

std::vector<std::string> BasicTokenizer::tokenize(std::string_view input) const {
  const std::string text = doLowerCase ? unicode::removingDiacritics(input) : std::string(input);
  std::vector<std::string> parts{std::string()};
  size_t i = 0;
  while (i < text.size()) {
    size_t length = 1;
    const char32_t scalar = unicode::scalarAt(text, i, &length);
    if (isCutPoint(scalar)) {
      parts.emplace_back();
    } else {
      parts.back().append(text, i, length);
    }
    i += length;
  }
  std::vector<std::string> tokens;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (std::find(neverSplit.begin(), neverSplit.end(), part) != neverSplit.end()) {
      tokens.push_back(part);
      continue;
    }
    for (std::string& token : splitOnPunctuation(doLowerCase ? unicode::lowercased(part) : part)) {
      tokens.push_back(std::move(token));
    }
  }
  return tokens;
}

WordpieceTokenizer::WordpieceTokenizer(std::string unkToken, size_t maxInputCharsPerWord,
                                       std::shared_ptr<const WordPieceVocabulary> vocab)
    : unkToken(std::move(unkToken)),
      maxInputCharsPerWord(maxInputCharsPerWord),
      vocab_(std::move(vocab)) {}

std::vector<std::string> WordpieceTokenizer::tokenize(std::string_view word) const {
  const std::vector<std::string_view> characters = unicode::characters(word);
  if (characters.size() > maxInputCharsPerWord) return {unkToken};
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < characters.size()) {
    std::optional<std::string> found;
    size_t end = characters.size();
    for (; end > start; --end) {
      std::string candidate = start > 0 ? "##" : "";
      for (size_t i = start; i < end; ++i) candidate.append(characters[i]);
      if (vocab_->find(candidate)) {
        found = std::move(candidate);
        break;
      }
    }
    if (!found) return {unkToken};
    pieces.push_back(std::move(*found));
    start = end;
  }
  return pieces;
}

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                             const AddedTokenMap& addedTokens)
    : vocab_(std::make_shared<WordPieceVocabulary>()) {
  const Config::Dictionary* vocab = tokenizerData["model"]["vocab"].dictionary();
  if (!vocab) throw TokenizerError::missingVocab();
  tokenizeChineseChars_ = tokenizerConfig["handle_chinese_chars"].boolean().value_or(true);
  eosToken_ = tokenizerConfig["eos_token"].string();
  bosToken_ = tokenizerConfig["bos_token"].string();
  fuseUnknownTokens_ = tokenizerConfig["fuse_unk"].boolean().value_or(false);
  const bool doLowerCase = tokenizerConfig["do_lower_case"].boolean().value_or(true);

  for (const auto& [token, id] : *vocab) {
    if (const auto number = id.integer()) vocab_->insertOrAssign(token.string(), *number);
  }
  if (const Config::Array* added = tokenizerData["added_tokens"].array()) {
    for (const Config& token : *added) {
      const auto id = token["id"].integer();
      const auto content = token["content"].string();
      if (id && content) vocab_->insertOrAssign(*content, *id);
    }
  }
  for (const auto& [token, id] : addedTokens) vocab_->insertOrAssign(token, id);

  // The inverse keeps the spelling of the file where one is known.
  for (const auto& [token, id] : vocab_->entries()) idsToTokens_.emplace(id, token);
  for (const auto& [token, id] : *vocab) {
    if (const auto number = id.integer(); number && vocab_->find(token.string()) == number) {
      idsToTokens_.insert_or_assign(*number, token.string());
    }
  }

  basic_ = std::make_unique<BasicTokenizer>(doLowerCase);
  wordpiece_ = std::make_unique<WordpieceTokenizer>("[UNK]", 100, vocab_);
  if (bosToken_) bosTokenId_ = vocab_->find(*bosToken_);
  if (eosToken_) eosTokenId_ = vocab_->find(*eosToken_);
}

std::vector<std::string> BertTokenizer::tokenize(std::string_view text) const {
  const std::string prepared =
      tokenizeChineseChars_ ? unicode::spacingChineseCharacters(text) : std::string(text);
  std::vector<std::string> pieces;
  for (const std::string& word : basic_->tokenize(prepared)) {
    for (std::string& piece : wordpiece_->tokenize(word)) pieces.push_back(std::move(piece));
  }
  return pieces;
}

std::optional<int64_t> BertTokenizer::convertTokenToId(std::string_view token) const {
  if (const auto id = vocab_->find(token)) return id;
  return unknownTokenId();
}

std::optional<std::string> BertTokenizer::convertIdToToken(int64_t id) const {
  const auto found = idsToTokens_.find(id);
  if (found == idsToTokens_.end()) return std::nullopt;
  return found->second;
}

std::optional<int64_t> BertTokenizer::unknownTokenId() const {
  return vocab_->find(wordpiece_->unkToken);
}

}  // namespace orvane
