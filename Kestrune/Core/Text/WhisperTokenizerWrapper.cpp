#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"

#include <algorithm>
#include <array>

#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/Text/LanguageRecognizer.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace kestrune {

namespace {

namespace unicode = orvane::unicode;

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Languages written without spaces between words.
bool splitsOnUnicode(const std::optional<std::string>& code) {
  static constexpr std::array<std::string_view, 6> codes = {"zh", "ja", "th", "lo", "my", "yue"};
  return code && std::find(codes.begin(), codes.end(), *code) != codes.end();
}

std::string_view trimmedSpacesAndTabs(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool isSinglePunctuationScalar(std::string_view text) {
  if (text.empty()) return false;
  size_t length = 0;
  const char32_t scalar = unicode::scalarAt(text, 0, &length);
  return length == text.size() && unicode::isPunctuation(scalar);
}

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(
    orvane::TokenizerWrapper tokenizer, std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
  // The Whisper files name "<|endoftext|>" as their unknown token, so a text
  // missing from the vocabulary would come back as that token's id; such an
  // answer counts as no id, and the standard id stands in.
  const std::optional<std::string> unknownToken = tokenizer_.unknownToken();
  const std::optional<int64_t> unknownId = tokenizer_.unknownTokenId();
  const auto lookup = [&](std::string_view text) -> std::optional<int64_t> {
    const std::optional<int64_t> found = tokenizer_.convertTokenToId(text);
    if (found && found == unknownId && unknownToken != text) return std::nullopt;
    return found;
  };
  const auto id = [&](std::string_view text, int64_t fallback) {
    return lookup(text).value_or(fallback);
  };
  specialTokens_ = SpecialTokens{
      .endToken = id("<|endoftext|>", 50257),
      .englishToken = id("<|en|>", 50259),
      .noSpeechToken = id("<|nospeech|>", 50362),
      .noTimestampsToken = id("<|notimestamps|>", 50363),
      .specialTokenBegin = id("<|endoftext|>", 50257),
      .startOfPreviousToken = id("<|startofprev|>", 50361),
      .startOfTranscriptToken = id("<|startoftranscript|>", 50258),
      .timeTokenBegin = id("<|0.00|>", 50364),
      .transcribeToken = id("<|transcribe|>", 50359),
      .translateToken = id("<|translate|>", 50358),
      .whitespaceToken = id(" ", 220),
  };
  for (const auto& [name, code] : Constants::languages) {
    const std::string text = "<|" + std::string(code) + "|>";
    const std::optional<int64_t> token = lookup(text);
    if (token && *token > specialTokens_.specialTokenBegin) allLanguageTokens_.insert(*token);
  }
}

std::vector<int64_t> WhisperTokenizerWrapper::encode(std::string_view text) const {
  return tokenizer_.encode(text);
}

std::string WhisperTokenizerWrapper::decode(const std::vector<int64_t>& tokens) const {
  return tokenizer_.decode(tokens);
}

std::optional<int64_t> WhisperTokenizerWrapper::convertTokenToId(std::string_view token) const {
  return tokenizer_.convertTokenToId(token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(int64_t id) const {
  return tokenizer_.convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(const std::vector<int64_t>& tokenIds) const {
  std::vector<int64_t> textTokens;
  for (const int64_t id : tokenIds) {
    if (id < specialTokens_.specialTokenBegin) textTokens.push_back(id);
  }
  if (splitsOnUnicode(dominantLanguageCode(decode(textTokens)))) {
    return splitTokensOnUnicode(tokenIds);
  }
  return splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<int64_t>& tokens) const {
  const std::string decodedFull = decode(tokens);
  const std::vector<std::string_view> full = unicode::characters(decodedFull);
  WordTokens result;
  std::vector<int64_t> current;
  size_t offset = 0;
  for (const int64_t token : tokens) {
    current.push_back(token);
    std::string decoded = decode(current);
    const std::vector<std::string_view> characters = unicode::characters(decoded);
    const auto firstReplacement = std::find(characters.begin(), characters.end(), replacement);
    bool complete = firstReplacement == characters.end();
    if (!complete) {
      // A replacement character of the full text is genuine, not a partial
      // byte sequence waiting for the next token.
      const size_t position = offset + static_cast<size_t>(firstReplacement - characters.begin());
      complete = position < full.size() && full[position] == replacement;
    }
    if (!complete) continue;
    offset += characters.size();
    result.words.push_back(std::move(decoded));
    result.wordTokens.push_back(std::move(current));
    current.clear();
  }
  return result;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<int64_t>& tokens) const {
  WordTokens subwords = splitTokensOnUnicode(tokens);
  WordTokens result;
  for (size_t i = 0; i < subwords.words.size(); ++i) {
    std::string& subword = subwords.words[i];
    std::vector<int64_t>& ids = subwords.wordTokens[i];
    const bool special = !ids.empty() && ids.front() >= specialTokens_.specialTokenBegin;
    const bool startsNewWord = special || subword.starts_with(' ') ||
                               isSinglePunctuationScalar(trimmedSpacesAndTabs(subword)) ||
                               result.words.empty();
    if (startsNewWord) {
      result.words.push_back(std::move(subword));
      result.wordTokens.push_back(std::move(ids));
    } else {
      result.words.back() += subword;
      result.wordTokens.back().insert(result.wordTokens.back().end(), ids.begin(), ids.end());
    }
  }
  return result;
}

}  // namespace kestrune
