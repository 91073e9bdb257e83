#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/DecodingFallback.hpp"
#include "Kestrune/Core/TranscriptionSegment.hpp"
#include "Kestrune/Core/TranscriptionTimings.hpp"

namespace kestrune {

// The decoder's key/value cache and alignment weights (defined with the
// decoder inputs).
struct DecodingCache;

// The outcome of one decoding pass over one window.
struct DecodingResult {
  std::string language{};
  std::map<std::string, float> languageProbs{};
  std::vector<int64_t> tokens{};
  TokenLogProbs tokenLogProbs{};
  std::string text{};
  float avgLogProb = 0.0f;
  float noSpeechProb = 0.0f;
  float temperature = 0.0f;
  float compressionRatio = 0.0f;
  // Null when absent; shared because the cache holds the model tensors.
  std::shared_ptr<DecodingCache> cache{};
  std::optional<TranscriptionTimings> timings{};
  std::optional<DecodingFallback> fallback{};

  // Empty texts and lists, zero numbers and no optionals.
  static DecodingResult emptyResults() { return {}; }
};

}  // namespace kestrune
