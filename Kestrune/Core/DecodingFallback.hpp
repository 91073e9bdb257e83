#pragma once

#include <optional>
#include <string>

namespace kestrune {

struct DecodingOptions;

// The verdict of the quality tests on one decoding pass.
struct DecodingFallback {
  bool needsFallback = false;
  std::string fallbackReason{};

  bool operator==(const DecodingFallback&) const = default;

  // The first test that applies decides, in this order: a too-unlikely first
  // token (retry), silence (accept), a too-repetitive text (retry), a too-low
  // average log-probability (retry). An absent threshold never applies; when
  // no test applies there is no verdict.
  static std::optional<DecodingFallback> create(const DecodingOptions& options,
                                                bool isFirstTokenLogProbTooLow, float noSpeechProb,
                                                float compressionRatio, float avgLogProb);
};

}  // namespace kestrune
