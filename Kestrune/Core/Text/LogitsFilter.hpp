#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

// One decoding rule applied to the logits ([1, 1, V] Float16) before each
// token is sampled: forbidden tokens are set to negative infinity, in place.
// `tokens` is the sequence so far, prompt included. Filters never fail.
class LogitsFiltering {
 public:
  virtual ~LogitsFiltering() = default;
  virtual platform::ml::MLMultiArray filterLogits(const platform::ml::MLMultiArray& logits,
                                                  const std::vector<int64_t>& tokens) = 0;
};

// Forbids the listed ids on every step. Negative ids and ids beyond the
// logits are skipped.
class SuppressTokensFilter final : public LogitsFiltering {
 public:
  explicit SuppressTokensFilter(std::vector<int64_t> suppressTokens);

  const std::vector<int64_t>& suppressTokens() const noexcept { return suppressTokens_; }
  const std::vector<std::vector<int64_t>>& suppressTokenIndexes() const noexcept {
    return suppressTokenIndexes_;
  }
  platform::ml::MLMultiArray filterLogits(const platform::ml::MLMultiArray& logits,
                                          const std::vector<int64_t>& tokens) override;

 private:
  std::vector<int64_t> suppressTokens_;
  std::vector<std::vector<int64_t>> suppressTokenIndexes_;
};

// Forbids a blank start: the whitespace and end tokens at the first sampled
// position only.
class SuppressBlankFilter final : public LogitsFiltering {
 public:
  SuppressBlankFilter(SpecialTokens specialTokens, int64_t sampleBegin);

  const SpecialTokens& specialTokens() const noexcept { return specialTokens_; }
  int64_t sampleBegin() const noexcept { return sampleBegin_; }
  const std::vector<std::vector<int64_t>>& suppressTokenIndexes() const noexcept {
    return suppressTokenIndexes_;
  }
  platform::ml::MLMultiArray filterLogits(const platform::ml::MLMultiArray& logits,
                                          const std::vector<int64_t>& tokens) override;

 private:
  SpecialTokens specialTokens_;
  int64_t sampleBegin_;
  std::vector<std::vector<int64_t>> suppressTokenIndexes_;
};

// The pairing and ordering rules of timestamp tokens: timestamps come in
// pairs around text, never decrease, and win when their total probability
// beats every single text token. `maxInitialTimestampIndex` is carried for
// callers; no rule consults it.
class TimestampRulesFilter final : public LogitsFiltering {
 public:
  TimestampRulesFilter(SpecialTokens specialTokens, int64_t sampleBegin,
                       std::optional<int64_t> maxInitialTimestampIndex, bool isModelMultilingual);

  const SpecialTokens& specialTokens() const noexcept { return specialTokens_; }
  int64_t sampleBegin() const noexcept { return sampleBegin_; }
  std::optional<int64_t> maxInitialTimestampIndex() const noexcept {
    return maxInitialTimestampIndex_;
  }
  bool isModelMultilingual() const noexcept { return isModelMultilingual_; }

  platform::ml::MLMultiArray filterLogits(const platform::ml::MLMultiArray& logits,
                                          const std::vector<int64_t>& tokens) override;

  // Whether the probability mass of all timestamp tokens exceeds that of
  // every single text token (the tokens before the first timestamp).
  bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const platform::ml::MLMultiArray& logits,
                                                          int64_t timeTokenBegin);

 private:
  std::optional<int64_t> sampleBeginFor(const std::vector<int64_t>& tokens) const;
  void applyPairingRules(const platform::ml::MLMultiArray& logits,
                         const std::vector<int64_t>& tokens, int64_t sampleBegin) const;

  SpecialTokens specialTokens_;
  int64_t sampleBegin_;
  std::optional<int64_t> maxInitialTimestampIndex_;
  bool isModelMultilingual_;
  std::vector<float> scores_;
};

// Admits language tokens only, from `sampleBegin` on (language detection).
class LanguageLogitsFilter final : public LogitsFiltering {
 public:
  LanguageLogitsFilter(std::unordered_set<int64_t> allLanguageTokens, int64_t logitsDim,
                       int64_t sampleBegin);

  const std::unordered_set<int64_t>& allLanguageTokens() const noexcept {
    return allLanguageTokens_;
  }
  int64_t logitsDim() const noexcept { return logitsDim_; }
  int64_t sampleBegin() const noexcept { return sampleBegin_; }
  // The ids in [0, logitsDim) that are not language tokens, ascending.
  const std::vector<int64_t>& nonLanguageTokenIndexes() const noexcept {
    return nonLanguageTokenIndexes_;
  }
  platform::ml::MLMultiArray filterLogits(const platform::ml::MLMultiArray& logits,
                                          const std::vector<int64_t>& tokens) override;

 private:
  std::unordered_set<int64_t> allLanguageTokens_;
  int64_t logitsDim_;
  int64_t sampleBegin_;
  std::vector<int64_t> nonLanguageTokenIndexes_;
  // The same ids as runs [begin, end), so that a step writes ranges.
  std::vector<std::pair<int64_t, int64_t>> nonLanguageRanges_;
};

}  // namespace kestrune
