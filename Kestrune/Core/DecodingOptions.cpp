#include "Kestrune/Core/DecodingOptions.hpp"

#include <cmath>

#include "Kestrune/Core/JSONReading.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/JSONWriter.hpp"
#include "OrvaneCore/TextForm.hpp"

namespace kestrune {

namespace {

constexpr float kSampleRate = 16000.0f;

// round(t × 16000) half away from zero in 32-bit arithmetic; rejects what
// has no sample index.
int64_t sampleIndex(float seconds) {
  const float index = std::round(seconds * kSampleRate);
  if (!std::isfinite(index) || index < -0x1p63f || index >= 0x1p63f) {
    throw WhisperError::transcriptionFailed("Invalid clip timestamp " + orvane::textForm(seconds) +
                                            ": no sample index");
  }
  return static_cast<int64_t>(index);
}

void writeIntList(orvane::JSONWriter& writer, const std::vector<int64_t>& values) {
  writer.beginArray();
  for (const int64_t v : values) writer.value(v);
  writer.endArray();
}

}  // namespace

std::string_view description(DecodingTask task) {
  return task == DecodingTask::translate ? "translate" : "transcribe";
}

std::string_view rawValue(ChunkingStrategy strategy) {
  return strategy == ChunkingStrategy::vad ? "vad" : "none";
}

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw) {
  if (raw == "none") return ChunkingStrategy::none;
  if (raw == "vad") return ChunkingStrategy::vad;
  return std::nullopt;
}

void encode(orvane::JSONWriter& writer, DecodingTask task) {
  writer.beginObject().key(description(task)).beginObject().endObject().endObject();
}

DecodingTask decodeDecodingTask(const nlohmann::json& json, const std::string& path) {
  json::requireObject(json, path);
  if (json.size() != 1) {
    throw JSONDecodingError::dataCorrupted(path, "Invalid number of keys found, expected one.");
  }
  const std::string& name = json.begin().key();
  const std::string casePath = json::childPath(path, name);
  DecodingTask task;
  if (name == "transcribe") {
    task = DecodingTask::transcribe;
  } else if (name == "translate") {
    task = DecodingTask::translate;
  } else {
    throw JSONDecodingError::dataCorrupted(
        path, "Cannot initialize DecodingTask from invalid key \"" + name + "\"");
  }
  json::requireObject(json.begin().value(), casePath);
  return task;
}

void DecodingOptions::validate() const {
  if (temperatureFallbackCount < 0) {
    throw WhisperError::transcriptionFailed("Invalid temperatureFallbackCount " +
                                            std::to_string(temperatureFallbackCount) +
                                            ": must not be negative");
  }
  for (const float t : clipTimestamps) sampleIndex(t);
}

std::vector<SeekClip> DecodingOptions::prepareSeekClips(int64_t contentFrames) const {
  std::vector<int64_t> points;
  points.reserve(clipTimestamps.size() + 1);
  for (const float t : clipTimestamps) points.push_back(sampleIndex(t));
  if (points.empty()) points.push_back(0);
  if (points.size() % 2 == 1) points.push_back(contentFrames);
  std::vector<SeekClip> clips;
  clips.reserve(points.size() / 2);
  for (size_t i = 0; i + 1 < points.size(); i += 2) clips.push_back({points[i], points[i + 1]});
  return clips;
}

void DecodingOptions::encode(orvane::JSONWriter& writer) const {
  writer.beginObject();
  writer.field("verbose", verbose);
  writer.key("task");
  kestrune::encode(writer, task);
  if (language) writer.field("language", *language);
  writer.field("temperature", temperature);
  writer.field("temperatureIncrementOnFallback", temperatureIncrementOnFallback);
  writer.field("temperatureFallbackCount", temperatureFallbackCount);
  writer.field("sampleLength", sampleLength);
  writer.field("topK", topK);
  writer.field("usePrefillPrompt", usePrefillPrompt);
  writer.field("detectLanguage", detectLanguage);
  writer.field("skipSpecialTokens", skipSpecialTokens);
  writer.field("withoutTimestamps", withoutTimestamps);
  writer.field("wordTimestamps", wordTimestamps);
  if (maxInitialTimestamp) writer.field("maxInitialTimestamp", *maxInitialTimestamp);
  if (maxWindowSeek) writer.field("maxWindowSeek", *maxWindowSeek);
  writer.key("clipTimestamps").beginArray();
  for (const float t : clipTimestamps) writer.value(t);
  writer.endArray();
  writer.field("windowClipTime", windowClipTime);
  if (promptTokens) writeIntList(writer.key("promptTokens"), *promptTokens);
  if (prefixTokens) writeIntList(writer.key("prefixTokens"), *prefixTokens);
  writer.field("suppressBlank", suppressBlank);
  writeIntList(writer.key("suppressTokens"), suppressTokens);
  if (compressionRatioThreshold) {
    writer.field("compressionRatioThreshold", *compressionRatioThreshold);
  }
  if (logProbThreshold) writer.field("logProbThreshold", *logProbThreshold);
  if (firstTokenLogProbThreshold) {
    writer.field("firstTokenLogProbThreshold", *firstTokenLogProbThreshold);
  }
  if (noSpeechThreshold) writer.field("noSpeechThreshold", *noSpeechThreshold);
  writer.field("concurrentWorkerCount", concurrentWorkerCount);
  if (chunkingStrategy) writer.field("chunkingStrategy", rawValue(*chunkingStrategy));
  writer.endObject();
}

std::string DecodingOptions::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

DecodingOptions DecodingOptions::decode(const nlohmann::json& json, const std::string& path) {
  json::requireObject(json, path);
  const auto at = [&](std::string_view key) { return json::childPath(path, key); };
  const auto required = [&](std::string_view key) -> const nlohmann::json& {
    return json::require(json, key, path);
  };
  const auto optionalFloat = [&](std::string_view key) -> std::optional<float> {
    const auto* value = json::optional(json, key);
    if (!value) return std::nullopt;
    return json::asFloat(*value, at(key));
  };
  const auto optionalIntList = [&](std::string_view key) -> std::optional<std::vector<int64_t>> {
    const auto* value = json::optional(json, key);
    if (!value) return std::nullopt;
    return json::asIntList(*value, at(key));
  };

  DecodingOptions options;
  options.verbose = json::asBool(required("verbose"), at("verbose"));
  options.task = decodeDecodingTask(required("task"), at("task"));
  if (const auto* value = json::optional(json, "language")) {
    options.language = json::asString(*value, at("language"));
  }
  options.temperature = json::asFloat(required("temperature"), at("temperature"));
  options.temperatureIncrementOnFallback = json::asFloat(required("temperatureIncrementOnFallback"),
                                                         at("temperatureIncrementOnFallback"));
  options.temperatureFallbackCount =
      json::asInt(required("temperatureFallbackCount"), at("temperatureFallbackCount"));
  options.sampleLength = json::asInt(required("sampleLength"), at("sampleLength"));
  options.topK = json::asInt(required("topK"), at("topK"));
  options.usePrefillPrompt = json::asBool(required("usePrefillPrompt"), at("usePrefillPrompt"));
  options.detectLanguage = json::asBool(required("detectLanguage"), at("detectLanguage"));
  options.skipSpecialTokens = json::asBool(required("skipSpecialTokens"), at("skipSpecialTokens"));
  options.withoutTimestamps = json::asBool(required("withoutTimestamps"), at("withoutTimestamps"));
  options.wordTimestamps = json::asBool(required("wordTimestamps"), at("wordTimestamps"));
  options.maxInitialTimestamp = optionalFloat("maxInitialTimestamp");
  if (const auto* value = json::optional(json, "maxWindowSeek")) {
    options.maxWindowSeek = json::asInt(*value, at("maxWindowSeek"));
  }
  options.clipTimestamps = json::asFloatList(required("clipTimestamps"), at("clipTimestamps"));
  options.windowClipTime = json::asFloat(required("windowClipTime"), at("windowClipTime"));
  options.promptTokens = optionalIntList("promptTokens");
  options.prefixTokens = optionalIntList("prefixTokens");
  options.suppressBlank = json::asBool(required("suppressBlank"), at("suppressBlank"));
  options.suppressTokens = json::asIntList(required("suppressTokens"), at("suppressTokens"));
  options.compressionRatioThreshold = optionalFloat("compressionRatioThreshold");
  options.logProbThreshold = optionalFloat("logProbThreshold");
  options.firstTokenLogProbThreshold = optionalFloat("firstTokenLogProbThreshold");
  options.noSpeechThreshold = optionalFloat("noSpeechThreshold");
  options.concurrentWorkerCount =
      json::asInt(required("concurrentWorkerCount"), at("concurrentWorkerCount"));
  if (const auto* value = json::optional(json, "chunkingStrategy")) {
    const std::string raw = json::asString(*value, at("chunkingStrategy"));
    const auto strategy = chunkingStrategyFromRawValue(raw);
    if (!strategy) {
      throw JSONDecodingError::dataCorrupted(
          at("chunkingStrategy"),
          "Cannot initialize ChunkingStrategy from invalid String value " + raw);
    }
    options.chunkingStrategy = strategy;
  }
  return options;
}

DecodingOptions DecodingOptions::fromJSON(std::string_view json) {
  return decode(json::parse(json));
}

}  // namespace kestrune
