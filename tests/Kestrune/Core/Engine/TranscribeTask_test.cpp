#include "Kestrune/Core/TranscribeTask.hpp"

#include <gtest/gtest.h>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/TaskCancellation.hpp"
#include "tests/Kestrune/Core/Engine/ScriptedStages.hpp"

namespace kestrune::testing {
namespace {

struct Stages {
  std::shared_ptr<ScriptedFeatureExtractor> extractor =
      std::make_shared<ScriptedFeatureExtractor>();
  std::shared_ptr<ScriptedAudioEncoder> encoder = std::make_shared<ScriptedAudioEncoder>();
  std::shared_ptr<ScriptedTextDecoder> decoder = std::make_shared<ScriptedTextDecoder>();
  std::shared_ptr<ScriptedSegmentSeeker> seeker = std::make_shared<ScriptedSegmentSeeker>();
  std::shared_ptr<FakeTokenizer> tokenizer = std::make_shared<FakeTokenizer>();

  std::unique_ptr<TranscribeTask> task() const {
    return std::make_unique<TranscribeTask>(TranscriptionTimings{}, nullptr, nullptr, encoder,
                                            extractor, seeker, decoder, tokenizer);
  }
};

DecodingResult fallbackResult(bool needsFallback, std::vector<int64_t> tokens = {1}) {
  DecodingResult result;
  result.tokens = std::move(tokens);
  result.language = "en";
  result.fallback = DecodingFallback{.needsFallback = needsFallback,
                                     .fallbackReason = needsFallback ? "logProbThreshold" : ""};
  return result;
}

TEST(TranscribeTaskTest, ShortAudioHasNoWindowAndEnglishLanguage) {
  Stages stages;
  auto task = stages.task();
  const auto result = task->run(std::vector<float>(16000, 0.0f), std::nullopt);
  EXPECT_TRUE(stages.decoder->passes.empty());
  EXPECT_EQ(result->text(), "");
  EXPECT_TRUE(result->segments().empty());
  EXPECT_EQ(result->language(), "en");
  EXPECT_EQ(task->progress()->totalUnitCount(), 16000);
  EXPECT_EQ(task->progress()->completedUnitCount(), 16000);
}

// Where each window starts, for audio lengths and options that decide how
// the loop walks the audio.
struct WindowCase {
  const char* name;
  size_t samples;
  DecodingOptions options;
  std::vector<float> windowStarts;
};

class TranscribeTaskWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(TranscribeTaskWindowTest, WindowsStartWhereTheLoopLeftOff) {
  Stages stages;
  const auto& param = GetParam();
  auto task = stages.task();
  const auto result = task->run(indexedAudio(param.samples), param.options);
  EXPECT_EQ(stages.extractor->firstSamples, param.windowStarts);
  EXPECT_EQ(result->segments().size(), param.windowStarts.size());
  EXPECT_EQ(task->progress()->completedUnitCount(), task->progress()->totalUnitCount());
}

INSTANTIATE_TEST_SUITE_P(
    Walks, TranscribeTaskWindowTest,
    ::testing::Values(
        // 31.5 s: the tail after the first window is longer than the 1 s clip time.
        WindowCase{"tailBeyondClipTime", 504000, {}, {0, 480000}},
        // 30.5 s: the tail is within the clip time, so no second window.
        WindowCase{"tailWithinClipTime", 488000, {}, {0}},
        WindowCase{"maxWindowSeek", 480000, {.maxWindowSeek = 160000}, {0, 160000, 320000}},
        WindowCase{"clipFiveToTen", 480000, {.clipTimestamps = {5, 10}}, {80000}},
        // A clip past the end of the audio is dropped rather than sized negative.
        WindowCase{"clipBeyondAudio", 480000, {.clipTimestamps = {40}}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscribeTaskTest, TextJoinsTheTextTokensOfAllWindowsAndDropsSpecialOnes) {
  Stages stages;
  stages.decoder->script = [](const DecodePass& pass) {
    auto result = fallbackResult(false, {50364, 10 + pass.call, 50257});
    return result;
  };
  const auto result = stages.task()->run(indexedAudio(504000), std::nullopt);
  EXPECT_EQ(result->text(), "w10 w11");
  ASSERT_EQ(result->segments().size(), 2u);
  EXPECT_FLOAT_EQ(result->segments()[1].start, 30.0f);
}

TEST(TranscribeTaskTest, FallbackTemperaturesAreHalfPrecision) {
  const auto temperatures = TranscribeTask::fallbackTemperatures(DecodingOptions{});
  const std::vector<float> expected = {0.0f,
                                       static_cast<float>(static_cast<_Float16>(0.2f)),
                                       static_cast<float>(static_cast<_Float16>(0.4f)),
                                       0.599609375f,
                                       static_cast<float>(static_cast<_Float16>(0.8f)),
                                       1.0f};
  EXPECT_EQ(temperatures, expected);
}

TEST(TranscribeTaskTest, FallbackStopsAtTheFirstPassThatNeedsNone) {
  Stages stages;
  stages.decoder->script = [](const DecodePass& pass) { return fallbackResult(pass.call < 2); };
  auto task = stages.task();
  task->run(indexedAudio(480000), std::nullopt);
  ASSERT_EQ(stages.decoder->passes.size(), 3u);
  EXPECT_FLOAT_EQ(stages.decoder->passes[2].temperature, task->fallbackTemperatures({})[2]);
  // The number of the last failed pass, not a count of failures.
  EXPECT_EQ(task->timings().totalDecodingFallbacks, 1);
}

TEST(TranscribeTaskTest, WhenEveryPassNeedsFallbackTheLastResultIsUsed) {
  Stages stages;
  stages.decoder->script = [](const DecodePass& pass) {
    return fallbackResult(true, {100 + pass.call});
  };
  const auto result = stages.task()->run(indexedAudio(480000), std::nullopt);
  EXPECT_EQ(stages.decoder->passes.size(), 6u);
  EXPECT_EQ(result->text(), "w105");
}

struct LanguageCase {
  const char* name;
  bool multilingual;
  DecodingOptions options;
  std::optional<std::string> detected;
  std::string expectedLanguage;
  int expectedDetections;
};

class TranscribeTaskLanguageTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(TranscribeTaskLanguageTest, LanguageComesFromDetectionOrTheDecodedWindow) {
  Stages stages;
  const auto& param = GetParam();
  stages.decoder->setIsModelMultilingual(param.multilingual);
  stages.decoder->detectedLanguage = param.detected;
  stages.decoder->script = [](const DecodePass& pass) {
    auto result = fallbackResult(false);
    result.language = pass.language.value_or("fr");
    return result;
  };
  const auto result = stages.task()->run(indexedAudio(480000), param.options);
  EXPECT_EQ(result->language(), param.expectedLanguage);
  EXPECT_EQ(stages.decoder->detections, param.expectedDetections);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, TranscribeTaskLanguageTest,
    ::testing::Values(
        LanguageCase{"detected", true, {.detectLanguage = true}, "de", "de", 1},
        // A failing detection is swallowed; the window's own language is kept.
        LanguageCase{"detectionFails", true, {.detectLanguage = true}, std::nullopt, "fr", 1},
        LanguageCase{
            "languageGiven", true, {.language = "es", .detectLanguage = true}, "de", "es", 0},
        LanguageCase{"englishOnlyModel", false, {.detectLanguage = true}, "de", "fr", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscribeTaskTest, MissingStageOutputsFailWithTheirMessages) {
  Stages stages;
  stages.extractor->failMel = true;
  try {
    stages.task()->run(indexedAudio(480000), std::nullopt);
    FAIL() << "expected an error";
  } catch (const WhisperError& error) {
    EXPECT_STREQ(error.what(), "transcriptionFailed(\"Mel output is nil\")");
  }
}

TEST(TranscribeTaskTest, CancelledWorkStopsBeforeDecoding) {
  Stages stages;
  orvane::CancellationToken token;
  token.cancel();
  const orvane::CancellationScope scope(token);
  EXPECT_THROW(stages.task()->run(indexedAudio(480000), std::nullopt), orvane::CancellationError);
  EXPECT_TRUE(stages.decoder->passes.empty());
}

TEST(TranscribeTaskTest, ProgressCallbackSeesWindowIdsAndCanStopAWindowEarly) {
  Stages stages;
  std::vector<int64_t> windowIds;
  std::vector<size_t> tokenCounts;
  auto task = stages.task();
  const auto result =
      task->run(indexedAudio(504000), std::nullopt, [&](const TranscriptionProgress& progress) {
        windowIds.push_back(progress.windowId);
        tokenCounts.push_back(progress.tokens.size());
        return std::optional<bool>(progress.tokens.size() < 2);
      });
  // Each window stops after its second token; the run itself goes on.
  EXPECT_EQ(windowIds, (std::vector<int64_t>{0, 0, 1, 1}));
  EXPECT_EQ(tokenCounts, (std::vector<size_t>{1, 2, 1, 2}));
  EXPECT_EQ(result->text(), "w1 w2 w1 w2");
}

class CountingTask : public TranscribeTask {
 public:
  using TranscribeTask::TranscribeTask;
  std::vector<int64_t> preprocessed;
  std::vector<TranscriptionSegment> windowPostProcess(
      int64_t seek, int64_t, std::vector<TranscriptionSegment> segments) override {
    for (auto& segment : segments) segment.text = "seen at " + std::to_string(seek);
    return segments;
  }
  void windowPreprocess(const MLMultiArray&, int64_t seek, int64_t) override {
    preprocessed.push_back(seek);
  }
};

TEST(TranscribeTaskTest, HooksAndDiscoveryCallbackSeeEveryWindowWithSegments) {
  Stages stages;
  stages.seeker->silentAt = [](int64_t seek) { return seek == 0; };
  CountingTask task(TranscriptionTimings{}, nullptr, nullptr, stages.encoder, stages.extractor,
                    stages.seeker, stages.decoder, stages.tokenizer);
  std::vector<std::string> discovered;
  task.setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
    for (const auto& segment : segments) discovered.push_back(segment.text);
  });
  const auto result = task.run(indexedAudio(504000), std::nullopt);
  EXPECT_EQ(task.preprocessed, (std::vector<int64_t>{0, 480000}));
  // The silent first window contributes neither segments nor tokens.
  EXPECT_EQ(discovered, (std::vector<std::string>{"seen at 480000"}));
  EXPECT_EQ(result->text(), "w1 w2 w3");
  EXPECT_EQ(task.timings().totalDecodingWindows, 1);
}

TEST(TranscribeTaskTest, WordAlignmentWithoutAnswerDropsTheWindow) {
  Stages stages;
  stages.decoder->script = [](const DecodePass&) {
    auto result = fallbackResult(false, {7});
    result.cache = std::make_shared<DecodingCache>();
    result.cache->alignmentWeights = MLMultiArray({1, 1}, MLMultiArrayDataType::float16);
    return result;
  };
  int alignments = 0;
  stages.seeker->align = [&](const std::vector<TranscriptionSegment>& segments)
      -> std::optional<std::vector<TranscriptionSegment>> {
    if (++alignments == 1) return std::nullopt;
    return segments;
  };
  auto task = stages.task();
  const auto result = task->run(indexedAudio(504000), DecodingOptions{.wordTimestamps = true});
  EXPECT_EQ(alignments, 2);
  ASSERT_EQ(result->segments().size(), 1u);
  EXPECT_FLOAT_EQ(result->segments()[0].start, 30.0f);
  EXPECT_EQ(task->timings().totalTimestampAlignmentRuns, 2);
}

}  // namespace
}  // namespace kestrune::testing
