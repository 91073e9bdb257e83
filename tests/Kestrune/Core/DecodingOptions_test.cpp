#include "Kestrune/Core/DecodingOptions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "Kestrune/Core/JSONDecodingError.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"

namespace kestrune {
namespace {

TEST(DecodingOptionsTest, DetectLanguageFollowsPrefillPromptUnlessGiven) {
  EXPECT_FALSE(DecodingOptions{}.detectLanguage);
  EXPECT_TRUE(DecodingOptions{.usePrefillPrompt = false}.detectLanguage);
  EXPECT_FALSE(
      (DecodingOptions{.usePrefillPrompt = false, .detectLanguage = false}.detectLanguage));
  EXPECT_TRUE((DecodingOptions{.usePrefillPrompt = true, .detectLanguage = true}.detectLanguage));
}

TEST(DecodingOptionsTest, DefaultsMatchTheDocumentedValues) {
  const DecodingOptions options;
  EXPECT_EQ(options.task, DecodingTask::transcribe);
  EXPECT_FLOAT_EQ(options.temperatureIncrementOnFallback, 0.2f);
  EXPECT_EQ(options.temperatureFallbackCount, 5);
  EXPECT_EQ(options.sampleLength, 224);
  EXPECT_EQ(options.topK, 5);
  EXPECT_EQ(options.windowClipTime, 1.0f);
  EXPECT_EQ(options.compressionRatioThreshold, 2.4f);
  EXPECT_EQ(options.logProbThreshold, -1.0f);
  EXPECT_EQ(options.firstTokenLogProbThreshold, -1.5f);
  EXPECT_EQ(options.noSpeechThreshold, 0.6f);
  EXPECT_EQ(options.concurrentWorkerCount, 16);
  EXPECT_FALSE(options.chunkingStrategy.has_value());
  EXPECT_TRUE(options.suppressTokens.empty());
}

struct ClipCase {
  std::vector<float> timestamps;
  int64_t contentFrames;
  std::vector<SeekClip> expected;
};

TEST(DecodingOptionsTest, PrepareSeekClipsPairsRoundedSampleIndices) {
  const std::vector<ClipCase> cases = {
      {{}, 480000, {{0, 480000}}},
      {{2.0f}, 100000, {{32000, 100000}}},
      {{1.0f, 3.5f, 10.0f}, 200000, {{16000, 56000}, {160000, 200000}}},
      // 0.48 of a sample rounds down, 0.5008 rounds up.
      {{0.00003f}, 10, {{0, 10}}},
      {{0.0000313f}, 10, {{1, 10}}},
      // Unordered ranges are kept as given.
      {{5.0f, 2.0f}, 480000, {{80000, 32000}}},
      {{-0.0000313f, 1.0f}, 480000, {{-1, 16000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.timestamps));
    const DecodingOptions options{.clipTimestamps = c.timestamps};
    EXPECT_EQ(options.prepareSeekClips(c.contentFrames), c.expected);
  }
}

TEST(DecodingOptionsTest, UnusableSettingsAreRejectedBeforeTranscribing) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> badClips = {
      {inf}, {0.0f, -inf}, {std::nanf("")}, {1e20f}, {1.0f, -1e20f}};
  for (const auto& clips : badClips) {
    SCOPED_TRACE(testing::PrintToString(clips));
    const DecodingOptions options{.clipTimestamps = clips};
    EXPECT_THROW(options.validate(), WhisperError);
    try {
      options.prepareSeekClips(480000);
      ADD_FAILURE() << "expected an error";
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.kind(), WhisperError::Case::transcriptionFailed);
    }
  }
  EXPECT_THROW(DecodingOptions{.temperatureFallbackCount = -1}.validate(), WhisperError);
  EXPECT_NO_THROW(DecodingOptions{.temperatureFallbackCount = 0}.validate());
  EXPECT_NO_THROW((DecodingOptions{.clipTimestamps = {0.0f, 3600.0f}}.validate()));
}

std::set<std::string> keysOf(const nlohmann::json& object) {
  std::set<std::string> keys;
  for (const auto& item : object.items()) keys.insert(item.key());
  return keys;
}

TEST(DecodingOptionsJSONTest, DefaultOptionsWriteRequiredKeysAndPresentThresholds) {
  const std::string text = DecodingOptions{}.toJSON();
  const auto json = nlohmann::json::parse(text);
  const std::set<std::string> expected = {"verbose",
                                          "task",
                                          "temperature",
                                          "temperatureIncrementOnFallback",
                                          "temperatureFallbackCount",
                                          "sampleLength",
                                          "topK",
                                          "usePrefillPrompt",
                                          "detectLanguage",
                                          "skipSpecialTokens",
                                          "withoutTimestamps",
                                          "wordTimestamps",
                                          "clipTimestamps",
                                          "windowClipTime",
                                          "suppressBlank",
                                          "suppressTokens",
                                          "concurrentWorkerCount",
                                          "compressionRatioThreshold",
                                          "logProbThreshold",
                                          "firstTokenLogProbThreshold",
                                          "noSpeechThreshold"};
  EXPECT_EQ(keysOf(json), expected);
  // 32-bit fields print in their own shortest form, not widened to 64 bits.
  EXPECT_NE(text.find("\"temperatureIncrementOnFallback\":0.2,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"compressionRatioThreshold\":2.4,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"task\":{\"transcribe\":{}}"), std::string::npos) << text;
  EXPECT_EQ(DecodingOptions::fromJSON(text), DecodingOptions{});
}

TEST(DecodingOptionsJSONTest, EveryFieldRoundTrips) {
  const DecodingOptions options{
      .verbose = true,
      .task = DecodingTask::translate,
      .language = "de",
      .temperature = 0.3f,
      .temperatureIncrementOnFallback = 0.1f,
      .temperatureFallbackCount = 2,
      .sampleLength = 100,
      .topK = 3,
      .usePrefillPrompt = false,
      .detectLanguage = false,
      .skipSpecialTokens = true,
      .withoutTimestamps = true,
      .wordTimestamps = true,
      .maxInitialTimestamp = 1.1f,
      .maxWindowSeek = 320000,
      .clipTimestamps = {0.1f, 2.7f},
      .windowClipTime = 0.7f,
      .promptTokens = std::vector<int64_t>{50360, 1, 2},
      .prefixTokens = std::vector<int64_t>{},
      .suppressBlank = true,
      .suppressTokens = {220, 50257},
      .compressionRatioThreshold = std::nullopt,
      .logProbThreshold = -0.7f,
      .firstTokenLogProbThreshold = std::nullopt,
      .noSpeechThreshold = 0.33f,
      .concurrentWorkerCount = 4,
      .chunkingStrategy = ChunkingStrategy::vad,
  };
  const std::string text = options.toJSON();
  EXPECT_EQ(DecodingOptions::fromJSON(text), options);
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json["chunkingStrategy"], "vad");
  EXPECT_EQ(json["task"], nlohmann::json::parse(R"({"translate":{}})"));
  EXPECT_FALSE(json.contains("compressionRatioThreshold"));
  EXPECT_EQ(json["prefixTokens"], nlohmann::json::array());
}

TEST(DecodingOptionsJSONTest, RequiredKeysMustBePresentOptionalOnesMayNot) {
  const auto full = nlohmann::json::parse(DecodingOptions{}.toJSON());
  for (const auto& item : full.items()) {
    const bool optional = item.key().find("Threshold") != std::string::npos;
    SCOPED_TRACE(item.key());
    auto json = full;
    json.erase(item.key());
    if (optional) {
      EXPECT_NO_THROW(DecodingOptions::decode(json));
    } else {
      try {
        DecodingOptions::decode(json);
        ADD_FAILURE() << "expected keyNotFound";
      } catch (const JSONDecodingError& error) {
        EXPECT_EQ(error.kind(), JSONDecodingError::Case::keyNotFound);
        EXPECT_NE(error.errorDescription().find(item.key()), std::string::npos);
      }
    }
  }
  auto withoutThreshold = full;
  withoutThreshold.erase("noSpeechThreshold");
  EXPECT_FALSE(DecodingOptions::decode(withoutThreshold).noSpeechThreshold.has_value());
}

TEST(DecodingOptionsJSONTest, WrongValueTypesAreTypeMismatches) {
  const auto full = nlohmann::json::parse(DecodingOptions{}.toJSON());
  const std::vector<std::pair<std::string, nlohmann::json>> cases = {
      {"verbose", 1},
      {"temperature", "0"},
      {"topK", 2.5},
      {"clipTimestamps", 1.0},
      {"suppressTokens", nlohmann::json::array({"a"})},
      {"language", 3}};
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE(key);
    auto json = full;
    json[key] = value;
    EXPECT_THROW(DecodingOptions::decode(json), JSONDecodingError);
  }
}

TEST(DecodingTaskTest, JSONFormIsOneKeyWithAnEmptyObject) {
  EXPECT_EQ(decodeDecodingTask(nlohmann::json::parse(R"({"transcribe":{}})")),
            DecodingTask::transcribe);
  EXPECT_EQ(decodeDecodingTask(nlohmann::json::parse(R"({"translate":{}})")),
            DecodingTask::translate);
  for (const char* bad : {R"({})", R"({"transcribe":{},"translate":{}})"}) {
    SCOPED_TRACE(bad);
    try {
      decodeDecodingTask(nlohmann::json::parse(bad));
      ADD_FAILURE() << "expected an error";
    } catch (const JSONDecodingError& error) {
      EXPECT_EQ(error.kind(), JSONDecodingError::Case::dataCorrupted);
      EXPECT_EQ(error.errorDescription(), "Invalid number of keys found, expected one.");
    }
  }
  for (const char* bad : {R"("transcribe")", R"({"summarise":{}})", R"({"translate":1})"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(decodeDecodingTask(nlohmann::json::parse(bad)), JSONDecodingError);
  }
  EXPECT_EQ(description(DecodingTask::transcribe), "transcribe");
  EXPECT_EQ(description(DecodingTask::translate), "translate");
}

TEST(ChunkingStrategyTest, OnlyTheExactRawValuesAreAccepted) {
  EXPECT_EQ(chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
  EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
  for (const char* raw : {"VAD", "None", "", " vad"}) {
    EXPECT_FALSE(chunkingStrategyFromRawValue(raw).has_value()) << raw;
  }
  auto json = nlohmann::json::parse(DecodingOptions{}.toJSON());
  json["chunkingStrategy"] = "VAD";
  EXPECT_THROW(DecodingOptions::decode(json), JSONDecodingError);
  json["chunkingStrategy"] = "none";
  EXPECT_EQ(DecodingOptions::decode(json).chunkingStrategy, ChunkingStrategy::none);
}

TEST(DecodingOptionsJSONTest, MalformedDocumentIsDataCorrupted) {
  try {
    DecodingOptions::fromJSON("{\"verbose\":");
    ADD_FAILURE() << "expected an error";
  } catch (const JSONDecodingError& error) {
    EXPECT_EQ(error.kind(), JSONDecodingError::Case::dataCorrupted);
  }
  EXPECT_THROW(DecodingOptions::fromJSON("[]"), JSONDecodingError);
}

}  // namespace
}  // namespace kestrune
