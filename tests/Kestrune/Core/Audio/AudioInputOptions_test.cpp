#include "Kestrune/Core/Audio/AudioInputOptions.hpp"

#include <gtest/gtest.h>

#include "Kestrune/Core/JSONDecodingError.hpp"

namespace kestrune {
namespace {

TEST(AudioInputOptions, DefaultsAndReadyMadeValues) {
  const AudioInputOptions options;
  EXPECT_EQ(options.channelMode, ChannelMode::sumChannels());
  EXPECT_EQ(options.audioLoadingMode, AudioLoadingMode::fullFile());
  const AudioLoadingMode incremental = AudioLoadingMode::incremental();
  EXPECT_EQ(incremental.kind(), AudioLoadingMode::Kind::incremental);
  EXPECT_EQ(incremental.chunkDurationSeconds(), 120.0);
  EXPECT_EQ(incremental.maxBufferedChunks(), 2);
}

TEST(AudioInputOptions, JSONFormsRoundTrip) {
  const struct {
    AudioInputOptions options;
    const char* json;
  } cases[] = {
      {{}, R"({"channelMode":{"sumChannels":{}},"audioLoadingMode":{"fullFile":{}}})"},
      {{ChannelMode::specificChannel(1), AudioLoadingMode::incremental()},
       R"({"channelMode":{"specificChannel":{"_0":1}},"audioLoadingMode":{"incremental":{"chunkDurationSeconds":120,"maxBufferedChunks":2}}})"},
      {{ChannelMode::sumChannels(std::vector<int>{0, 2}), AudioLoadingMode::incremental(2.5, 1)},
       R"({"channelMode":{"sumChannels":{"_0":[0,2]}},"audioLoadingMode":{"incremental":{"chunkDurationSeconds":2.5,"maxBufferedChunks":1}}})"},
  };
  for (const auto& item : cases) {
    EXPECT_EQ(item.options.toJSON(), item.json);
    EXPECT_EQ(AudioInputOptions::fromJSON(item.json), item.options);
  }
  EXPECT_EQ(AudioInputOptions::fromJSON(
                R"({"channelMode":{"sumChannels":{"_0":null}},"audioLoadingMode":{"fullFile":{}}})")
                .channelMode,
            ChannelMode::sumChannels());
}

TEST(AudioInputOptions, MalformedJSONIsRejectedWithItsPath) {
  const struct {
    const char* json;
    JSONDecodingError::Case kind;
    const char* path;
  } cases[] = {
      {R"({"audioLoadingMode":{"fullFile":{}}})", JSONDecodingError::Case::keyNotFound, ""},
      {R"({"channelMode":{"mixAll":{}},"audioLoadingMode":{"fullFile":{}}})",
       JSONDecodingError::Case::dataCorrupted, "channelMode"},
      {R"({"channelMode":{},"audioLoadingMode":{"fullFile":{}}})",
       JSONDecodingError::Case::dataCorrupted, "channelMode"},
      {R"({"channelMode":{"specificChannel":{"_0":"one"}},"audioLoadingMode":{"fullFile":{}}})",
       JSONDecodingError::Case::typeMismatch, "channelMode.specificChannel._0"},
      {R"({"channelMode":{"sumChannels":{}},"audioLoadingMode":{"incremental":{"maxBufferedChunks":2}}})",
       JSONDecodingError::Case::keyNotFound, "audioLoadingMode.incremental"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.json);
    try {
      AudioInputOptions::fromJSON(item.json);
      ADD_FAILURE() << "accepted";
    } catch (const JSONDecodingError& error) {
      EXPECT_EQ(error.kind(), item.kind) << error.what();
      EXPECT_EQ(error.path(), item.path);
    }
  }
}

}  // namespace
}  // namespace kestrune
