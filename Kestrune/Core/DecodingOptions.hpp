#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {
class JSONWriter;
}

namespace kestrune {

enum class DecodingTask { transcribe, translate };

// "transcribe" or "translate".
std::string_view description(DecodingTask task);

enum class ChunkingStrategy { none, vad };

// "none" or "vad".
std::string_view rawValue(ChunkingStrategy strategy);
// Exactly "none" or "vad"; anything else has no strategy.
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw);

// A range of 16 kHz sample indices; `end` may lie before `start`.
struct SeekClip {
  int64_t start = 0;
  int64_t end = 0;
  bool operator==(const SeekClip&) const = default;
};

// Every per-transcription setting. Build it with designated initialisers:
// members left out take the defaults below, and `detectLanguage` left out
// follows `usePrefillPrompt` (detect only when no prompt forces a language).
struct DecodingOptions {
  bool verbose = false;
  DecodingTask task = DecodingTask::transcribe;
  std::optional<std::string> language{};
  float temperature = 0.0f;
  float temperatureIncrementOnFallback = 0.2f;
  int64_t temperatureFallbackCount = 5;
  int64_t sampleLength = 224;
  int64_t topK = 5;
  bool usePrefillPrompt = true;
  bool detectLanguage = !usePrefillPrompt;
  bool skipSpecialTokens = false;
  bool withoutTimestamps = false;
  bool wordTimestamps = false;
  std::optional<float> maxInitialTimestamp{};
  std::optional<int64_t> maxWindowSeek{};
  std::vector<float> clipTimestamps{};
  float windowClipTime = 1.0f;
  std::optional<std::vector<int64_t>> promptTokens{};
  std::optional<std::vector<int64_t>> prefixTokens{};
  bool suppressBlank = false;
  std::vector<int64_t> suppressTokens{};
  std::optional<float> compressionRatioThreshold = 2.4f;
  std::optional<float> logProbThreshold = -1.0f;
  std::optional<float> firstTokenLogProbThreshold = -1.5f;
  std::optional<float> noSpeechThreshold = 0.6f;
  int64_t concurrentWorkerCount = 16;
  std::optional<ChunkingStrategy> chunkingStrategy{};

  bool operator==(const DecodingOptions&) const = default;

  // Throws WhisperError.transcriptionFailed for settings a transcription
  // cannot run with: a clip timestamp that is not finite or whose sample
  // index does not fit 64 bits, or a negative fallback count.
  void validate() const;

  // The clip timestamps as sample ranges over `contentFrames` samples, in the
  // order given; an odd last point runs to the end of the audio. Throws as
  // validate() does for an unusable clip timestamp.
  std::vector<SeekClip> prepareSeekClips(int64_t contentFrames) const;

  // The JSON form: keys are the member names; the ten optional members are
  // written only when present.
  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  // Throws JSONDecodingError when a required key is missing or a value has
  // the wrong type.
  static DecodingOptions decode(const nlohmann::json& json, const std::string& path = "");
  static DecodingOptions fromJSON(std::string_view json);
};

void encode(orvane::JSONWriter& writer, DecodingTask task);
DecodingTask decodeDecodingTask(const nlohmann::json& json, const std::string& path = "");

}  // namespace kestrune
