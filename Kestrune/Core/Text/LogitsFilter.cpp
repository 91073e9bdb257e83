#include "Kestrune/Core/Text/LogitsFilter.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "Kestrune/Core/Text/LogitsAccess.hpp"
#include "OrvaneCore/Logging.hpp"
#include "Platform/ML/VectorKernels.hpp"

namespace kestrune {

namespace kernels = platform::ml::kernels;
using platform::ml::MLMultiArray;

// MARK: - Suppress tokens

SuppressTokensFilter::SuppressTokensFilter(std::vector<int64_t> suppressTokens)
    : suppressTokens_(std::move(suppressTokens)) {
  for (const int64_t token : suppressTokens_) suppressTokenIndexes_.push_back({0, 0, token});
  if (std::any_of(suppressTokens_.begin(), suppressTokens_.end(),
                  [](int64_t token) { return token < 0; })) {
    orvane::Logging::debug(
        "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel "
        "(suppress default non-speech tokens) is not supported");
  }
}

MLMultiArray SuppressTokensFilter::filterLogits(const MLMultiArray& logits,
                                                const std::vector<int64_t>&) {
  LogitsAccess::suppress(logits, suppressTokens_);
  return logits;
}

// MARK: - Suppress blank

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, int64_t sampleBegin)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      suppressTokenIndexes_{{0, 0, specialTokens.whitespaceToken}, {0, 0, specialTokens.endToken}} {
}

MLMultiArray SuppressBlankFilter::filterLogits(const MLMultiArray& logits,
                                               const std::vector<int64_t>& tokens) {
  if (static_cast<int64_t>(tokens.size()) == sampleBegin_) {
    const int64_t blank[] = {specialTokens_.whitespaceToken, specialTokens_.endToken};
    LogitsAccess::suppress(logits, blank);
  }
  return logits;
}

// MARK: - Timestamp rules

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, int64_t sampleBegin,
                                           std::optional<int64_t> maxInitialTimestampIndex,
                                           bool isModelMultilingual)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      maxInitialTimestampIndex_(maxInitialTimestampIndex),
      isModelMultilingual_(isModelMultilingual) {}

std::optional<int64_t> TimestampRulesFilter::sampleBeginFor(
    const std::vector<int64_t>& tokens) const {
  if (!isModelMultilingual_) return sampleBegin_;
  // A multilingual prompt names its task right after the start-of-transcript
  // and language tokens; a prompt that does not (one led by previous text)
  // leaves no known place where sampling starts.
  const size_t searched = std::min<size_t>(3, tokens.size());
  for (size_t position = 0; position < searched; ++position) {
    if (tokens[position] == specialTokens_.transcribeToken ||
        tokens[position] == specialTokens_.translateToken) {
      return std::max(static_cast<int64_t>(position) + 1, sampleBegin_);
    }
  }
  return std::nullopt;
}

MLMultiArray TimestampRulesFilter::filterLogits(const MLMultiArray& logits,
                                                const std::vector<int64_t>& tokens) {
  const auto sampleBegin = sampleBeginFor(tokens);
  if (!sampleBegin || static_cast<int64_t>(tokens.size()) < *sampleBegin) return logits;
  const int64_t noTimestamps[] = {specialTokens_.noTimestampsToken};
  LogitsAccess::suppress(logits, noTimestamps);
  applyPairingRules(logits, tokens, *sampleBegin);
  if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits, specialTokens_.timeTokenBegin)) {
    LogitsAccess::suppressRange(logits, 0, specialTokens_.timeTokenBegin);
  }
  return logits;
}

void TimestampRulesFilter::applyPairingRules(const MLMultiArray& logits,
                                             const std::vector<int64_t>& tokens,
                                             int64_t sampleBegin) const {
  if (static_cast<int64_t>(tokens.size()) <= sampleBegin) return;
  const int64_t timeBegin = specialTokens_.timeTokenBegin;
  const std::span<const int64_t> sampled(tokens.begin() + sampleBegin, tokens.end());
  const bool lastWasTimestamp = sampled.back() >= timeBegin;
  const bool penultimateWasTimestamp =
      sampled.size() < 2 || sampled[sampled.size() - 2] >= timeBegin;
  if (lastWasTimestamp) {
    if (penultimateWasTimestamp) {
      // A pair has just closed (or a lone opening timestamp): text must follow.
      LogitsAccess::suppressRange(logits, timeBegin, LogitsAccess::vocabularySize(logits));
    } else {
      // Text then a timestamp: only the closing timestamp or the end may follow.
      LogitsAccess::suppressRange(logits, 0, specialTokens_.endToken);
    }
  }
  const auto lastTimestamp = std::find_if(sampled.rbegin(), sampled.rend(),
                                          [&](int64_t token) { return token >= timeBegin; });
  if (lastTimestamp == sampled.rend()) return;
  // Timestamps never decrease; a segment may end at the time its text
  // ended (the same token), but a new one may not start there again.
  const int64_t end =
      lastWasTimestamp && !penultimateWasTimestamp ? *lastTimestamp : *lastTimestamp + 1;
  LogitsAccess::suppressRange(logits, timeBegin, end);
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(
    const MLMultiArray& logits, int64_t timeTokenBegin) {
  LogitsAccess::readScores(logits, scores_);
  const auto offset = static_cast<size_t>(
      std::clamp<int64_t>(timeTokenBegin, 0, static_cast<int64_t>(scores_.size())));
  if (offset == 0 || offset == scores_.size()) return false;
  // Both sides of log p = x - logSumExp(x) share the normaliser, so the
  // comparison of the log-masses needs no full log-softmax.
  const std::span<const float> scores(scores_);
  const float timestampLogMass = kernels::logSumExp(scores.subspan(offset));
  const float bestTextLogit = kernels::maxValue(scores.first(offset));
  return bestTextLogit < timestampLogMass;
}

// MARK: - Language

LanguageLogitsFilter::LanguageLogitsFilter(std::unordered_set<int64_t> allLanguageTokens,
                                           int64_t logitsDim, int64_t sampleBegin)
    : allLanguageTokens_(std::move(allLanguageTokens)),
      logitsDim_(logitsDim),
      sampleBegin_(sampleBegin) {
  for (int64_t token = 0; token < logitsDim_; ++token) {
    if (allLanguageTokens_.count(token) != 0) continue;
    nonLanguageTokenIndexes_.push_back(token);
    if (!nonLanguageRanges_.empty() && nonLanguageRanges_.back().second == token) {
      nonLanguageRanges_.back().second = token + 1;
    } else {
      nonLanguageRanges_.emplace_back(token, token + 1);
    }
  }
}

MLMultiArray LanguageLogitsFilter::filterLogits(const MLMultiArray& logits,
                                                const std::vector<int64_t>& tokens) {
  if (static_cast<int64_t>(tokens.size()) < sampleBegin_) return logits;
  for (const auto& [begin, end] : nonLanguageRanges_)
    LogitsAccess::suppressRange(logits, begin, end);
  return logits;
}

}  // namespace kestrune
