#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/WordTiming.hpp"

namespace kestrune {

// Per token, a one-entry map from the token id to its log-probability.
using TokenLogProbs = std::vector<std::map<int64_t, float>>;

// A timed piece of text cut from one decoded window.
struct TranscriptionSegment {
  int64_t id = 0;
  int64_t seek = 0;
  float start = 0.0f;
  float end = 0.0f;
  std::string text{};
  std::vector<int64_t> tokens{};
  TokenLogProbs tokenLogProbs{};
  float temperature = 0.0f;
  float avgLogprob = 0.0f;
  float compressionRatio = 0.0f;
  float noSpeechProb = 0.0f;
  std::optional<std::vector<WordTiming>> words{};

  float duration() const { return end - start; }
  bool operator==(const TranscriptionSegment&) const = default;

  // "words" is written only when present; token ids become decimal keys.
  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  // Every key but "words" is required; throws JSONDecodingError.
  static TranscriptionSegment decode(const nlohmann::json& json, const std::string& path = "");
  static TranscriptionSegment fromJSON(std::string_view json);
};

}  // namespace kestrune

template <>
struct std::hash<kestrune::TranscriptionSegment> {
  size_t operator()(const kestrune::TranscriptionSegment& value) const noexcept;
};
