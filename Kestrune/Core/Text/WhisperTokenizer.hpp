#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestrune {

// The ids of Whisper's control tokens. Every id at or above
// `specialTokenBegin` is a control, language or timestamp token; every id
// below it is text. `timeTokenBegin` is the timestamp 0.00 s, later
// timestamps follow it one id per 0.02 s.
struct SpecialTokens {
  int64_t endToken = 50257;
  int64_t englishToken = 50259;
  int64_t noSpeechToken = 50362;
  int64_t noTimestampsToken = 50363;
  int64_t specialTokenBegin = 50257;
  int64_t startOfPreviousToken = 50361;
  int64_t startOfTranscriptToken = 50258;
  int64_t timeTokenBegin = 50364;
  int64_t transcribeToken = 50359;
  int64_t translateToken = 50358;
  int64_t whitespaceToken = 220;

  bool operator==(const SpecialTokens&) const = default;
};

// Decoded tokens grouped into words: `words[i]` is the text of the ids
// `wordTokens[i]`.
struct WordTokens {
  std::vector<std::string> words;
  std::vector<std::vector<int64_t>> wordTokens;
};

// What the engine sees of its tokenizer. Implementations are immutable and
// may be used from several transcriptions at once.
class WhisperTokenizer {
 public:
  virtual ~WhisperTokenizer() = default;
  // Text to ids; the tokenizer data's post-processor adds its special tokens.
  virtual std::vector<int64_t> encode(std::string_view text) const = 0;
  // Ids to text, special tokens kept as their texts; unknown ids are dropped.
  virtual std::string decode(const std::vector<int64_t>& tokens) const = 0;
  virtual std::optional<int64_t> convertTokenToId(std::string_view token) const = 0;
  virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
  virtual const SpecialTokens& specialTokens() const = 0;
  // The ids of the language tokens ("<|en|>", ...) the vocabulary has.
  virtual const std::unordered_set<int64_t>& allLanguageTokens() const = 0;
  // The ids grouped into words for word-level timestamps: per character
  // group for languages written without spaces, else per space.
  virtual WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const = 0;
};

}  // namespace kestrune
