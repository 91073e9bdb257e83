#include "OrvaneCore/External/Tokenizers/BPETokenizer.hpp"

#include <cstdio>
#include <limits>

#include "OrvaneCore/External/Tokenizers/ByteLevelText.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerModel.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

namespace {

// Byte values that stand for themselves; the other 68 bytes are moved, in
// increasing order, to U+0100 onwards so that no byte is a space or control.
bool printableByte(int byte) {
  return (byte >= 0x21 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xAC) ||
         (byte >= 0xAE && byte <= 0xFF);
}

struct ByteTables {
  std::array<std::string, 256> encoder;
  std::array<int16_t, 0x144> decoder{};
  ByteTables() {
    decoder.fill(-1);
    char32_t next = 0x100;
    for (int byte = 0; byte < 256; ++byte) {
      const char32_t character = printableByte(byte) ? static_cast<char32_t>(byte) : next++;
      encoder[static_cast<size_t>(byte)] = unicode::utf8(character);
      decoder[character] = static_cast<int16_t>(byte);
    }
  }
};

const ByteTables& byteTables() {
  static const ByteTables tables;
  return tables;
}

std::vector<std::string> splitAtSpaces(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t space = text.find(' ', start);
    parts.emplace_back(
        text.substr(start, space == std::string_view::npos ? text.npos : space - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return parts;
}

}  // namespace

const std::array<std::string, 256>& byteEncoder() {
  return byteTables().encoder;
}

std::optional<uint8_t> byteDecoder(char32_t character) {
  if (character >= byteTables().decoder.size()) return std::nullopt;
  const int16_t byte = byteTables().decoder[character];
  if (byte < 0) return std::nullopt;
  return static_cast<uint8_t>(byte);
}

size_t BPETokenizer::PairHash::operator()(
    const std::pair<std::string_view, std::string_view>& pair) const noexcept {
  const size_t a = std::hash<std::string_view>{}(pair.first);
  const size_t b = std::hash<std::string_view>{}(pair.second);
  return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
}

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(
    const Config& merges) {
  const Config::Array* elements = merges.array();
  if (!elements) return std::nullopt;
  std::vector<std::vector<std::string>> out;
  out.reserve(elements->size());
  for (const Config& element : *elements) {
    if (const auto text = element.string()) {
      out.push_back(splitAtSpaces(*text));
    } else if (const auto parts = element.get()) {
      out.push_back(*parts);
    }
  }
  return out;
}

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                           const AddedTokenMap& addedTokens) {
  const Config model = tokenizerData["model"];
  auto merges = mergesFromConfig(model["merges"]);
  if (!merges) throw TokenizerError::mismatchedConfig("BPETokenizer requires merges");
  const Config::Dictionary* vocab = model["vocab"].dictionary();
  if (!vocab) throw TokenizerError::missingVocab();

  bpeRanks_.reserve(merges->size());
  for (size_t i = 0; i < merges->size(); ++i) {
    std::vector<std::string>& parts = (*merges)[i];
    // A merge needs two symbols; a file with less is not a BPE model.
    if (parts.size() < 2) throw TokenizerError::malformedVocab();
    bpeRanks_.insert_or_assign(BytePair{std::move(parts[0]), std::move(parts[1])},
                               static_cast<int>(i));
  }

  tokensToIds_.reserve(vocab->size() + addedTokens.size());
  for (const auto& [token, id] : *vocab) {
    if (const auto number = id.integer()) tokensToIds_.emplace(token.string(), *number);
  }
  for (const auto& [token, id] : addedTokens) tokensToIds_.insert_or_assign(token, id);
  // The keys of tokensToIds_ stay where they are, so the inverse can view them.
  idsToTokens_.reserve(tokensToIds_.size());
  for (const auto& [token, id] : tokensToIds_) idsToTokens_.emplace(id, token);

  const auto idOf = [&](const std::optional<std::string>& token) -> std::optional<int64_t> {
    if (!token) return std::nullopt;
    const auto found = tokensToIds_.find(*token);
    if (found == tokensToIds_.end()) return std::nullopt;
    return found->second;
  };
  unknownToken_ = TokenizerModel::unknownToken(tokenizerConfig);
  unknownTokenId_ = idOf(unknownToken_);
  eosToken_ = addedTokenAsString(tokenizerConfig["eos_token"]);
  eosTokenId_ = idOf(eosToken_);
  bosToken_ = addedTokenAsString(tokenizerConfig["bos_token"]);
  bosTokenId_ = idOf(bosToken_);
  fuseUnknownTokens_ = tokenizerConfig["fuse_unk"].boolean().value_or(false);
}

std::optional<int> BPETokenizer::rank(std::string_view a, std::string_view b) const {
  const auto found = bpeRanks_.find(std::pair(a, b));
  if (found == bpeRanks_.end()) return std::nullopt;
  return found->second;
}

std::string BPETokenizer::bpe(std::string_view token) const {
  std::vector<std::string> symbols;
  for (const std::string_view character : unicode::characters(token)) {
    symbols.emplace_back(character);
  }
  if (symbols.size() <= 1) return std::string(token);

  while (true) {
    int best = std::numeric_limits<int>::max();
    size_t bestIndex = symbols.size();
    for (size_t i = 0; i + 1 < symbols.size(); ++i) {
      const std::optional<int> r = rank(symbols[i], symbols[i + 1]);
      if (r && *r < best) {
        best = *r;
        bestIndex = i;
      }
    }
    if (bestIndex == symbols.size()) break;
    const std::string first = symbols[bestIndex];
    const std::string second = symbols[bestIndex + 1];

    std::vector<std::string> merged;
    merged.reserve(symbols.size());
    size_t i = 0;
    while (i < symbols.size()) {
      size_t j = i;
      while (j < symbols.size() && symbols[j] != first) ++j;
      for (; i < j; ++i) merged.push_back(std::move(symbols[i]));
      if (j == symbols.size()) break;
      if (j + 1 < symbols.size() && symbols[j + 1] == second) {
        merged.push_back(first + second);
        i = j + 2;
      } else {
        merged.push_back(std::move(symbols[j]));
        i = j + 1;
      }
    }
    symbols = std::move(merged);
    if (symbols.size() == 1) break;
  }

  std::string joined;
  for (size_t i = 0; i < symbols.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += symbols[i];
  }
  return joined;
}

std::vector<std::string> BPETokenizer::byteFallback(std::string_view piece) const {
  std::vector<std::string> tokens;
  for (const std::string& match : gpt2SplitPattern().matchedTexts(piece)) {
    for (const char byte : match) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "<0x%02X>", static_cast<unsigned char>(byte));
      tokens.emplace_back(buffer);
    }
  }
  return tokens;
}

std::vector<std::string> BPETokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> tokens;
  for (std::string& piece : splitAtSpaces(bpe(text))) {
    if (piece.empty()) continue;
    const auto found = tokensToIds_.find(piece);
    if (found != tokensToIds_.end() && (!unknownTokenId_ || found->second != *unknownTokenId_)) {
      tokens.push_back(std::move(piece));
    } else {
      for (std::string& byte : byteFallback(piece)) tokens.push_back(std::move(byte));
    }
  }
  return tokens;
}

std::optional<int64_t> BPETokenizer::convertTokenToId(std::string_view token) const {
  const auto found = tokensToIds_.find(token);
  if (found == tokensToIds_.end()) return unknownTokenId_;
  return found->second;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int64_t id) const {
  const auto found = idsToTokens_.find(id);
  if (found == idsToTokens_.end()) return std::nullopt;
  return std::string(found->second);
}

}  // namespace orvane
