#include "Kestrune/Core/DecodingFallback.hpp"

#include "Kestrune/Core/DecodingOptions.hpp"

namespace kestrune {

std::optional<DecodingFallback> DecodingFallback::create(const DecodingOptions& options,
                                                         bool isFirstTokenLogProbTooLow,
                                                         float noSpeechProb, float compressionRatio,
                                                         float avgLogProb) {
  if (isFirstTokenLogProbTooLow) {
    return DecodingFallback{true, "firstTokenLogProbThreshold"};
  }
  // Silence is accepted before the quality tests so that a silent window
  // never asks for a retry; segment seeking decides whether to skip it.
  if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) {
    return DecodingFallback{false, "silence"};
  }
  if (options.compressionRatioThreshold && compressionRatio > *options.compressionRatioThreshold) {
    return DecodingFallback{true, "compressionRatioThreshold"};
  }
  if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) {
    return DecodingFallback{true, "logProbThreshold"};
  }
  return std::nullopt;
}

}  // namespace kestrune
