#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <thread>

#include "Kestrune/Core/Audio/AudioChunker.hpp"
#include "Kestrune/Core/Audio/EnergyVAD.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Kestrune/Core/Engine/EngineFixture.hpp"

namespace kestrune::testing {
namespace {

std::string failureText(const TranscriptionOutcome& outcome) {
  const auto* error = std::get_if<std::exception_ptr>(&outcome);
  if (!error) return "success";
  return orvane::errorText(*error);
}

const TranscriptionResults& resultsOf(const TranscriptionOutcome& outcome) {
  return std::get<TranscriptionResults>(outcome);
}

// Speech-like audio: bursts of tone separated by silences.
std::vector<float> burstsOfSpeech(double seconds) {
  std::vector<float> audio(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < audio.size(); ++i) {
    const bool speaking = (i / 16000) % 10 < 7;
    audio[i] = speaking ? 0.5f * std::sin(static_cast<float>(i) * 0.05f) : 0.0f;
  }
  return audio;
}

TEST(EngineTranscriptionTest, SilenceGivesNoWindowAndEnglish) {
  EngineParts parts;
  const auto results = parts.engine()->transcribe(std::vector<float>(16000, 0.0f));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->text(), "");
  EXPECT_EQ(results[0]->language(), "en");
  EXPECT_TRUE(parts.decoder->passes.empty());
}

TEST(EngineTranscriptionTest, ModelsAreLoadedOnDemand) {
  EngineParts parts;
  auto config = parts.config();
  config.load = false;
  const auto engine = Kestrune::create<ScriptedEngine>(config);
  ASSERT_EQ(engine->modelState(), ModelState::unloaded);
  engine->transcribe(indexedAudio(480000));
  EXPECT_EQ(engine->modelState(), ModelState::loaded);
}

TEST(EngineTranscriptionTest, UnbalancedBatchInputsGiveOneFailure) {
  EngineParts parts;
  const auto engine = parts.engine();
  const std::vector<std::vector<float>> arrays(2, indexedAudio(480000));
  const auto options = engine->transcribeWithOptions(arrays, {DecodingOptions{}});
  ASSERT_EQ(options.size(), 1u);
  EXPECT_EQ(failureText(options[0]),
            "transcriptionFailed(\"The number of audio arrays and decoding options must be "
            "balanced.\")");
  const auto offsets = engine->transcribeWithOptions(arrays, {DecodingOptions{}, DecodingOptions{}},
                                                     std::vector<int64_t>{0});
  ASSERT_EQ(offsets.size(), 1u);
  EXPECT_EQ(failureText(offsets[0]),
            "transcriptionFailed(\"The number of audio arrays and seek offset indexes must be "
            "balanced.\")");
  EXPECT_TRUE(parts.decoder->passes.empty());
}

TEST(EngineTranscriptionTest, BatchesRunInSequenceAndComeBackInInputOrder) {
  EngineParts parts;
  std::atomic<int> running = 0;
  std::atomic<int> mostAtOnce = 0;
  std::mutex order;
  std::vector<float> started;
  parts.decoder->script = [&](const DecodePass& pass) {
    const int now = ++running;
    mostAtOnce = std::max(mostAtOnce.load(), now);
    {
      std::lock_guard guard(order);
      started.push_back(pass.firstSample);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    --running;
    DecodingResult result;
    result.tokens = {static_cast<int64_t>(pass.firstSample)};
    return result;
  };
  const auto engine = parts.engine();
  std::vector<std::vector<float>> arrays;
  for (int i = 0; i < 5; ++i) arrays.emplace_back(480000, static_cast<float>(i + 1));
  const auto outcomes =
      engine->transcribeWithResults(arrays, DecodingOptions{.concurrentWorkerCount = 2});
  ASSERT_EQ(outcomes.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(failureText(outcomes[i]), "success");
    EXPECT_EQ(resultsOf(outcomes[i])[0]->text(), "w" + std::to_string(i + 1));
  }
  EXPECT_LE(mostAtOnce.load(), 2);
  // Batches in sequence: every item of a batch starts before any of the next.
  ASSERT_EQ(started.size(), 5u);
  const std::vector<std::vector<float>> batches = {{1, 2}, {3, 4}, {5}};
  size_t position = 0;
  for (const auto& batch : batches) {
    std::vector<float> got(started.begin() + position, started.begin() + position + batch.size());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, batch);
    position += batch.size();
  }
}

TEST(EngineTranscriptionTest, ProgressOfABatchItemCarriesItsIndexAndCanStopItsWindow) {
  EngineParts parts;
  const auto engine = parts.engine();
  std::vector<std::vector<float>> arrays;
  for (int i = 0; i < 3; ++i) arrays.emplace_back(480000, 0.0f);
  std::mutex seen;
  std::set<int64_t> windowIds;
  const auto outcomes = engine->transcribeWithResults(
      arrays, DecodingOptions{}, [&](const TranscriptionProgress& progress) {
        std::lock_guard guard(seen);
        windowIds.insert(progress.windowId);
        return std::optional<bool>(progress.tokens.size() < 2);
      });
  EXPECT_EQ(windowIds, (std::set<int64_t>{0, 1, 2}));
  for (const auto& outcome : outcomes) {
    ASSERT_EQ(failureText(outcome), "success");
    EXPECT_EQ(resultsOf(outcome)[0]->text(), "w1 w2");
  }
}

TEST(EngineTranscriptionTest, VadChunkingStartsOneSampleAfterTheWindow) {
  for (const int64_t extra : {0, 1}) {
    EngineParts parts;
    parts.extractor->window = 48000;
    const auto engine = parts.engine();
    const auto audio = burstsOfSpeech(3.0 + static_cast<double>(extra) / 16000.0);
    const auto results =
        engine->transcribe(audio, DecodingOptions{.chunkingStrategy = ChunkingStrategy::vad});
    // A chunked result carries the time its chunk starts at.
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0]->seekTime().has_value(), extra == 1) << extra;
  }
}

TEST(EngineTranscriptionTest, VadChunksComeBackOnTheTimeLineOfTheWholeInput) {
  EngineParts parts;
  const auto engine = parts.engine();
  const auto audio = burstsOfSpeech(120);
  std::mutex seen;
  std::vector<float> discoveredStarts;
  engine->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
    std::lock_guard guard(seen);
    for (const auto& segment : segments) discoveredStarts.push_back(segment.start);
  });
  const auto results =
      engine->transcribe(audio, DecodingOptions{.chunkingStrategy = ChunkingStrategy::vad});

  VADAudioChunker chunker(16000, std::make_shared<EnergyVAD>(16000, 1600, 0, 0.02f));
  const auto chunks = chunker.chunkAll(audio, 480000, DecodingOptions{});
  ASSERT_GT(chunks.size(), 1u);
  ASSERT_EQ(results.size(), chunks.size());
  std::vector<float> chunkStarts;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const float offset = static_cast<float>(chunks[i].seekOffsetIndex) / 16000.0f;
    chunkStarts.push_back(offset);
    EXPECT_EQ(results[i]->seekTime(), offset);
    ASSERT_FALSE(results[i]->segments().empty());
    EXPECT_FLOAT_EQ(results[i]->segments()[0].start, offset);
  }
  std::sort(discoveredStarts.begin(), discoveredStarts.end());
  EXPECT_EQ(discoveredStarts, chunkStarts);
}

TEST(EngineTranscriptionTest, OffsetShiftsDiscoveredSegments) {
  EngineParts parts;
  const auto engine = parts.engine();
  std::vector<TranscriptionSegment> discovered;
  engine->transcribe(indexedAudio(480000), 32000, DecodingOptions{}, nullptr,
                     [&](const std::vector<TranscriptionSegment>& segments) {
                       discovered.insert(discovered.end(), segments.begin(), segments.end());
                     });
  ASSERT_EQ(discovered.size(), 1u);
  EXPECT_EQ(discovered[0].seek, 32000);
  EXPECT_FLOAT_EQ(discovered[0].start, 2.0f);
  EXPECT_FLOAT_EQ(discovered[0].end, 32.0f);
  ASSERT_TRUE(discovered[0].words);
  EXPECT_FLOAT_EQ((*discovered[0].words)[0].start, 2.0f);
}

TEST(EngineTranscriptionTest, FailedItemDoesNotFailTheBatch) {
  EngineParts parts;
  parts.decoder->script = [](const DecodePass& pass) -> DecodingResult {
    if (pass.firstSample == 2) throw WhisperError::decodingFailed("scripted");
    DecodingResult result;
    result.tokens = {static_cast<int64_t>(pass.firstSample)};
    return result;
  };
  const auto engine = parts.engine();
  std::vector<std::vector<float>> arrays;
  for (int i = 1; i <= 3; ++i) arrays.emplace_back(480000, static_cast<float>(i));
  const auto results = engine->transcribe(arrays);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0]);
  EXPECT_FALSE(results[1]);
  ASSERT_TRUE(results[2]);
  EXPECT_EQ((*results[2])[0]->text(), "w3");
}

TEST(EngineTranscriptionTest, FinishedEngineProgressIsReplaced) {
  EngineParts parts;
  const auto engine = parts.engine();
  const auto before = engine->progress();
  engine->transcribe(indexedAudio(480000));
  EXPECT_NE(engine->progress(), before);
  EXPECT_EQ(engine->progress()->childCount(), 0u);
}

}  // namespace
}  // namespace kestrune::testing
