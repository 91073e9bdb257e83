#include <gtest/gtest.h>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Kestrune/Core/Engine/EngineFixture.hpp"

namespace kestrune::testing {
namespace {

const std::string speechFile = std::string(KESTRUNE_SHARED_DIR) + "/audio/jfk.flac";
const std::string missingFile = "/nonexistent/kestrune/audio.wav";

using States = std::vector<TranscriptionState>;
using TS = TranscriptionState;

struct StateRecorder {
  std::mutex mutex;
  States states;
  void attach(Kestrune& engine) {
    engine.setTranscriptionStateCallback([this](TranscriptionState state) {
      std::lock_guard guard(mutex);
      states.push_back(state);
    });
  }
};

AudioInputOptions incremental(double chunkSeconds = 4) {
  return {.audioLoadingMode = AudioLoadingMode::incremental(chunkSeconds, 2)};
}

TEST(EngineFilesTest, FullFileReportsItsStagesAlsoWhenTranscriptionFails) {
  for (const bool fails : {false, true}) {
    EngineParts parts;
    if (fails) {
      parts.decoder->script = [](const DecodePass&) -> DecodingResult {
        throw WhisperError::decodingFailed("scripted");
      };
    }
    const auto engine = parts.engine();
    StateRecorder recorder;
    recorder.attach(*engine);
    const auto run = [&] { return engine->transcribe(speechFile, std::nullopt, std::nullopt); };
    if (fails) {
      EXPECT_THROW(run(), WhisperError);
    } else {
      EXPECT_EQ(run().size(), 1u);
      EXPECT_GT(engine->currentTimings().audioLoading, 0);
    }
    EXPECT_EQ(recorder.states, (States{TS::convertingAudio, TS::transcribing, TS::finished}));
  }
}

TEST(EngineFilesTest, UnreadableFileEndsAfterConverting) {
  EngineParts parts;
  const auto engine = parts.engine();
  StateRecorder recorder;
  recorder.attach(*engine);
  EXPECT_ANY_THROW(engine->transcribe(missingFile, std::nullopt, std::nullopt));
  EXPECT_EQ(recorder.states, (States{TS::convertingAudio}));
}

TEST(EngineFilesTest, IncrementalFileIsOnTheFileTimeLineAndSorted) {
  EngineParts parts;
  // Chunks are at most one window long; a 3 s window cuts the 11 s file.
  parts.extractor->window = 48000;
  const auto engine = parts.engine();
  StateRecorder recorder;
  recorder.attach(*engine);
  const auto results = engine->transcribe(speechFile, incremental(), std::nullopt);
  EXPECT_EQ(recorder.states, (States{TS::transcribing, TS::finished}));
  ASSERT_GT(results.size(), 1u);
  for (size_t i = 0; i < results.size(); ++i) {
    ASSERT_TRUE(results[i]->seekTime());
    if (i > 0) {
      EXPECT_LE(*results[i - 1]->seekTime(), *results[i]->seekTime());
    }
    for (const auto& segment : results[i]->segments()) {
      EXPECT_FLOAT_EQ(segment.start, *results[i]->seekTime());
      EXPECT_EQ(segment.seek, static_cast<int64_t>(std::lround(segment.start * 16000)));
    }
  }
}

TEST(EngineFilesTest, ClipTimestampsAreRefusedWithIncrementalLoading) {
  EngineParts parts;
  const auto engine = parts.engine();
  EXPECT_EQ(errorTextOf([&] {
              engine->transcribe(speechFile, incremental(), DecodingOptions{.clipTimestamps = {1}});
            }),
            "transcriptionFailed(\"clipTimestamps is not supported with "
            "AudioLoadingMode.incremental. Use .fullFile, or transcribe the desired range as a "
            "separate call.\")");
}

TEST(EngineFilesTest, BatchOverPathsKeepsPathOrderAndFailsOnlyTheUnreadable) {
  for (const auto& inputOptions : {AudioInputOptions{}, incremental(30)}) {
    EngineParts parts;
    const auto engine = parts.engine();
    StateRecorder recorder;
    recorder.attach(*engine);
    const auto outcomes = engine->transcribeWithResults({speechFile, missingFile, speechFile},
                                                        inputOptions, std::nullopt);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<TranscriptionResults>(outcomes[0]));
    EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[1]));
    EXPECT_TRUE(std::holds_alternative<TranscriptionResults>(outcomes[2]));
    const bool full = inputOptions.audioLoadingMode.kind() == AudioLoadingMode::Kind::fullFile;
    const States expected = full ? States{TS::convertingAudio, TS::transcribing, TS::finished}
                                 : States{TS::transcribing, TS::finished};
    EXPECT_EQ(recorder.states, expected);
  }
}

TEST(EngineFilesTest, LanguageDetectionErrors) {
  EngineParts parts;
  const auto engine = parts.engine();
  EXPECT_EQ(errorTextOf([&] { engine->detectLanguage(missingFile); }),
            "loadAudioFailed(\"Resource path does not exist " + missingFile + "\")");
  parts.decoder->setIsModelMultilingual(false);
  EXPECT_EQ(errorTextOf([&] { engine->detectLangauge(std::vector<float>(16000)); }),
            "decodingFailed(\"Language detection not supported for this model\")");
  parts.decoder->setIsModelMultilingual(true);
  parts.decoder->detectedLanguage = std::nullopt;
  EXPECT_EQ(errorTextOf([&] { engine->detectLangauge(std::vector<float>(16000)); }),
            "decodingFailed(\"Language detection failed\")");
}

TEST(EngineFilesTest, LanguageOfAFileComesFromItsFirstWindow) {
  EngineParts parts;
  parts.decoder->detectedLanguage = "de";
  const auto engine = parts.engine();
  const auto detection = engine->detectLanguage(speechFile);
  EXPECT_EQ(detection.language, "de");
  EXPECT_EQ(detection.langProbs.at("de"), 0.9f);
  ASSERT_EQ(parts.extractor->firstSamples.size(), 1u);
}

}  // namespace
}  // namespace kestrune::testing
