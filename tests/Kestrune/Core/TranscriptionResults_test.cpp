#include <gtest/gtest.h>

#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_set>

#include "Kestrune/Core/JSONDecodingError.hpp"
#include "Kestrune/Core/TranscriptionResult.hpp"
#include "Kestrune/Core/TranscriptionResultStruct.hpp"
#include "Kestrune/Core/TranscriptionState.hpp"
#include "OrvaneCore/JSONWriter.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

WordTiming word(std::string text, float start, float end) {
  return WordTiming{std::move(text), {1000, 1001}, start, end, 0.87f};
}

TranscriptionSegment segment(int64_t id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
  return TranscriptionSegment{
      .id = id,
      .seek = static_cast<int64_t>(start * 16000),
      .start = start,
      .end = end,
      .text = std::move(text),
      .tokens = {50364, 2425, 50414},
      .tokenLogProbs = {{{50364, -0.25f}}, {{2425, -0.1f}}, {{50414, -1.5f}}},
      .temperature = 0.2f,
      .avgLogprob = -0.33f,
      .compressionRatio = 1.7f,
      .noSpeechProb = 0.01f,
      .words = std::move(words),
  };
}

TranscriptionTimings sampleTimings() {
  return TranscriptionTimings{.pipelineStart = 100.0,
                              .firstTokenTime = 100.25,
                              .inputAudioSeconds = 20.0,
                              .modelLoading = 3.25,
                              .prewarmLoadTime = 1.0,
                              .encoderLoadTime = 0.5,
                              .decoderLoadTime = 0.75,
                              .tokenizerLoadTime = 0.125,
                              .audioLoading = 0.5,
                              .audioProcessing = 0.1,
                              .logmels = 0.2,
                              .encoding = 0.3,
                              .decodingInit = 0.01,
                              .decodingLoop = 2.5,
                              .decodingPredictions = 1.0,
                              .decodingFiltering = 0.1,
                              .decodingSampling = 0.2,
                              .decodingFallback = 0.3,
                              .decodingWindowing = 0.06,
                              .decodingKvCaching = 0.05,
                              .decodingWordTimestamps = 0.04,
                              .decodingNonPrediction = 0.5,
                              .totalAudioProcessingRuns = 2,
                              .totalLogmelRuns = 2,
                              .totalEncodingRuns = 2,
                              .totalDecodingLoops = 100,
                              .totalKVUpdateRuns = 100,
                              .totalTimestampAlignmentRuns = 2,
                              .totalDecodingFallbacks = 2,
                              .totalDecodingWindows = 2,
                              .fullPipeline = 2.0};
}

TEST(WordTimingTest, JSONRoundTripsAndRequiresEveryKey) {
  const WordTiming original = word(" hello,", 0.56f, 1.04f);
  const std::string text = original.toJSON();
  EXPECT_EQ(
      text,
      R"({"word":" hello,","tokens":[1000,1001],"start":0.56,"end":1.04,"probability":0.87})");
  EXPECT_EQ(WordTiming::fromJSON(text), original);
  EXPECT_FLOAT_EQ(original.duration(), 0.48f);
  for (const char* key : {"word", "tokens", "start", "end", "probability"}) {
    auto json = nlohmann::json::parse(text);
    json.erase(key);
    EXPECT_THROW(WordTiming::decode(json), JSONDecodingError) << key;
  }
}

TEST(TranscriptionSegmentTest, JSONRoundTripsWithAndWithoutWords) {
  const auto withWords = segment(3, 1.5f, 2.75f, " Hi there", std::vector{word(" Hi", 1.5f, 2.0f)});
  const auto withoutWords = segment(4, 2.75f, 3.0f, " again");
  for (const auto& original : {withWords, withoutWords}) {
    SCOPED_TRACE(original.text);
    const std::string text = original.toJSON();
    EXPECT_EQ(TranscriptionSegment::fromJSON(text), original);
    EXPECT_EQ(nlohmann::json::parse(text).contains("words"), original.words.has_value());
  }
  const std::string text = withoutWords.toJSON();
  EXPECT_NE(text.find(R"("tokenLogProbs":[{"50364":-0.25},{"2425":-0.1},{"50414":-1.5}])"),
            std::string::npos)
      << text;
  // An empty word list is present and stays present.
  auto emptyWords = withoutWords;
  emptyWords.words = std::vector<WordTiming>{};
  EXPECT_EQ(TranscriptionSegment::fromJSON(emptyWords.toJSON()), emptyWords);
}

TEST(TranscriptionSegmentTest, EveryKeyButWordsIsRequired) {
  const auto full = nlohmann::json::parse(segment(0, 0, 1, "x").toJSON());
  for (const auto& item : full.items()) {
    SCOPED_TRACE(item.key());
    auto json = full;
    json.erase(item.key());
    EXPECT_THROW(TranscriptionSegment::decode(json), JSONDecodingError);
  }
  auto badKey = full;
  badKey["tokenLogProbs"] = nlohmann::json::parse(R"([{"x1":-0.5}])");
  EXPECT_THROW(TranscriptionSegment::decode(badKey), JSONDecodingError);
  auto badWord = full;
  badWord["words"] = nlohmann::json::parse(R"([{"word":"a"}])");
  try {
    TranscriptionSegment::decode(badWord);
    ADD_FAILURE() << "expected an error";
  } catch (const JSONDecodingError& error) {
    EXPECT_EQ(error.kind(), JSONDecodingError::Case::keyNotFound);
    EXPECT_EQ(error.path(), "words[0]");
  }
}

TEST(TranscriptionSegmentTest, EqualSegmentsHashAlike) {
  const auto a = segment(1, 0.5f, 1.0f, " a", std::vector{word(" a", 0.5f, 1.0f)});
  auto b = a;
  EXPECT_EQ(std::hash<TranscriptionSegment>{}(a), std::hash<TranscriptionSegment>{}(b));
  b.words->front().probability = 0.5f;
  EXPECT_NE(a, b);
  const std::unordered_set<TranscriptionSegment> set = {a, b, a};
  EXPECT_EQ(set.size(), 2u);
}

TEST(TranscriptionTimingsTest, InitialValuesAndDerivedRatios) {
  const TranscriptionTimings fresh;
  EXPECT_EQ(fresh.pipelineStart, std::numeric_limits<double>::max());
  EXPECT_EQ(fresh.firstTokenTime, std::numeric_limits<double>::max());
  EXPECT_EQ(fresh.inputAudioSeconds, 0.001);
  EXPECT_EQ(fresh.fullPipeline, 0.0);
  const auto t = sampleTimings();
  EXPECT_DOUBLE_EQ(t.tokensPerSecond(), 50.0);
  EXPECT_DOUBLE_EQ(t.realTimeFactor(), 0.1);
  EXPECT_DOUBLE_EQ(t.speedFactor(), 10.0);
}

TEST(TranscriptionTimingsTest, JSONHasAll33KeysAndRoundTrips) {
  for (const auto& original : {TranscriptionTimings{}, sampleTimings()}) {
    const std::string text = original.toJSON();
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json.size(), 33u);
    EXPECT_TRUE(text.starts_with("{\"pipelineStart\":")) << text;
    EXPECT_TRUE(text.ends_with(
        ",\"fullPipeline\":" + orvane::JSONWriter::number(original.fullPipeline) + "}"))
        << text;
    EXPECT_EQ(TranscriptionTimings::fromJSON(text), original);
    for (const auto& item : json.items()) {
      auto missing = json;
      missing.erase(item.key());
      EXPECT_THROW(TranscriptionTimings::decode(missing), JSONDecodingError) << item.key();
    }
  }
}

TEST(TranscriptionResultTest, SeekTimeIsNullInTheSharedFormAndAbsentInThePlainOne) {
  const auto result =
      TranscriptionResult::make(" hi", {segment(0, 0, 1, " hi")}, "en", sampleTimings());
  const auto shared = nlohmann::json::parse(result->toJSON());
  ASSERT_TRUE(shared.contains("seekTime"));
  EXPECT_TRUE(shared["seekTime"].is_null());
  const auto plain = nlohmann::json::parse(result->toStruct().toJSON());
  EXPECT_FALSE(plain.contains("seekTime"));

  // Reading: the shared form needs the key (null allowed), the plain one not.
  auto withoutKey = shared;
  withoutKey.erase("seekTime");
  EXPECT_THROW(TranscriptionResult::decode(withoutKey), JSONDecodingError);
  EXPECT_EQ(TranscriptionResult::decode(shared)->seekTime(), std::nullopt);
  EXPECT_EQ(TranscriptionResultStruct::decode(withoutKey).seekTime, std::nullopt);
  for (const char* key : {"text", "segments", "language", "timings"}) {
    auto missing = shared;
    missing.erase(key);
    EXPECT_THROW(TranscriptionResult::decode(missing), JSONDecodingError) << key;
    EXPECT_THROW(TranscriptionResultStruct::decode(missing), JSONDecodingError) << key;
  }
}

TEST(TranscriptionResultTest, JSONRoundTripsEveryProperty) {
  const auto original = TranscriptionResult::make(
      " Hi there again",
      {segment(0, 0.0f, 2.75f, " Hi there", std::vector{word(" Hi", 0.0f, 0.5f)}),
       segment(1, 2.75f, 3.0f, " again")},
      "fr", sampleTimings(), 30.5f);
  const auto decoded = TranscriptionResult::fromJSON(original->toJSON());
  EXPECT_EQ(decoded->toStruct(), original->toStruct());
  EXPECT_EQ(TranscriptionResultStruct::fromJSON(original->toStruct().toJSON()),
            original->toStruct());
  EXPECT_EQ(nlohmann::json::parse(original->toJSON())["seekTime"], 30.5);
}

TEST(TranscriptionResultTest, AllWordsSkipsSegmentsWithoutWords) {
  const auto result = TranscriptionResult::make(
      "",
      {segment(0, 0, 1, "a", std::vector{word("a", 0, 1)}), segment(1, 1, 2, "b"),
       segment(2, 2, 3, "c", std::vector<WordTiming>{}),
       segment(3, 3, 4, "d e", std::vector{word("d", 3, 3.5f), word(" e", 3.5f, 4)})},
      "en", {});
  std::vector<std::string> texts;
  for (const auto& w : result->allWords()) texts.push_back(w.word);
  EXPECT_EQ(texts, (std::vector<std::string>{"a", "d", " e"}));
  EXPECT_TRUE(TranscriptionResult::make("", {segment(0, 0, 1, "b")}, "en", {})->allWords().empty());
}

using testsupport::LogCapture;

TEST(TranscriptionResultTest, TimingsReportHasTheExactLayout) {
  auto withFourTokens = segment(1, 1, 2, " b");
  withFourTokens.tokens = {1, 2, 3, 4};
  const auto result = TranscriptionResult::make("", {segment(0, 0, 1, " a"), withFourTokens}, "en",
                                                sampleTimings());
  const std::string expected =
      "---- Transcription Timings ----\n"
      "Audio Load:            500.00 ms /      1 runs (  500.00 ms/run) 20.00%\n"
      "Audio Processing:      100.00 ms /      2 runs (   50.00 ms/run)  4.00%\n"
      "Mels:                  200.00 ms /      2 runs (  100.00 ms/run)  8.00%\n"
      "Encoding:              300.00 ms /      2 runs (  150.00 ms/run) 12.00%\n"
      "Matrices Init:          10.00 ms /      1 runs (   10.00 ms/run)  0.40%\n"
      "Decoding:             1000.00 ms /    100 runs (   10.00 ms/run) 40.00%\n"
      "Non-inference:         500.00 ms /    100 runs (    5.00 ms/run) 20.00%\n"
      "- Logit Filtering:     100.00 ms /    100 runs (    1.00 ms/run)  4.00%\n"
      "- Sampling:            200.00 ms /    100 runs (    2.00 ms/run)  8.00%\n"
      "- Kv Caching:           50.00 ms /    100 runs (    0.50 ms/run)  2.00%\n"
      "- Word Timestamps:      40.00 ms /      2 runs (   20.00 ms/run)  1.60%\n"
      "- Windowing:            20.00 ms /      2 runs (   10.00 ms/run)  0.80%\n"
      "Fallbacks:             300.00 ms /      2 runs (  150.00 ms/run) 12.00%\n"
      "Decoding Full Loop:   2500.00 ms /    100 runs (   25.00 ms/run) 100.00%\n"
      "-------------------------------\n"
      "Model Load Time:               3.25 seconds\n"
      "- Prewarm:                     1.00 seconds\n"
      "- Encoder:                     0.50 seconds\n"
      "- Decoder:                     0.75 seconds\n"
      "- Tokenizer:                   0.12 seconds\n"
      "Inference Duration (Global):   2.00 seconds\n"
      "- Decoding Loop (Avg/window):  1.25 seconds\n"
      "- Audio Windows:               2.00\n"
      "Time to first token:           0.25 seconds\n"
      "Total Tokens:                  7\n"
      "Tokens per Second:             50.00 tok/s\n"
      "Real Time Factor:              0.100\n"
      "Speed Factor:                  10.000\n"
      "Fallbacks:                     2.0";
  EXPECT_EQ(result->timingsReport(), expected);

  LogCapture capture(orvane::Logging::LogLevel::info);
  result->logTimings();
  EXPECT_EQ(capture.lines(), std::vector<std::string>{expected});
}

TEST(TranscriptionResultTest, ReportOfAResultWithoutSegmentsCountsNoTokens) {
  const auto report = TranscriptionResult::make("", {}, "en", {})->timingsReport();
  EXPECT_NE(report.find("\nTotal Tokens:                  0\n"), std::string::npos) << report;
  EXPECT_TRUE(report.ends_with("\nFallbacks:                     0.0")) << report;
}

TEST(TranscriptionResultTest, LogSegmentsWritesOneDebugLinePerSegment) {
  const auto result = TranscriptionResult::make(
      "", {segment(0, 0.0f, 1.234f, " one"), segment(1, 1.234f, 65.5f, " two")}, "en", {});
  {
    LogCapture capture(orvane::Logging::LogLevel::info);
    result->logSegments();
    EXPECT_TRUE(capture.lines().empty());
  }
  LogCapture capture(orvane::Logging::LogLevel::debug);
  result->logSegments();
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[Segment 0] [0.00 --> 1.23]  one",
                                                       "[Segment 1] [1.23 --> 65.50]  two"}));
}

TEST(TranscriptionResultTest, PropertiesAreUpdatedIndependentlyAcrossThreads) {
  const auto result = TranscriptionResult::make("", {}, "en", {});
  constexpr int kPerThread = 200;
  std::thread segmentsWriter([&] {
    for (int i = 0; i < kPerThread; ++i) {
      result->withSegmentsLock([&](std::vector<TranscriptionSegment>& segments) {
        segments.push_back(segment(i, 0, 1, "s"));
      });
    }
  });
  std::thread timingsWriter([&] {
    for (int i = 0; i < kPerThread; ++i) {
      result->withTimingsLock([](TranscriptionTimings& t) { t.totalDecodingWindows += 1; });
    }
  });
  segmentsWriter.join();
  timingsWriter.join();
  EXPECT_EQ(result->segments().size(), static_cast<size_t>(kPerThread));
  EXPECT_EQ(result->timings().totalDecodingWindows, kPerThread);
}

TEST(TranscriptionStateTest, DisplayTexts) {
  EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
  EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
  EXPECT_EQ(description(TranscriptionState::finished), "Finished");
}

}  // namespace
}  // namespace kestrune
