#include "Kestrune/Core/Audio/AudioChunker.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "Kestrune/Core/Audio/EnergyVAD.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

constexpr int64_t window = 480000;

// Loud audio (a 0.5 level, well above the detector's threshold) with
// silent stretches, given in seconds.
std::vector<float> speech(double seconds, std::vector<std::pair<double, double>> silences = {}) {
  std::vector<float> samples(static_cast<size_t>(seconds * 16000), 0.5f);
  for (const auto& [from, to] : silences) {
    std::fill(samples.begin() + static_cast<ptrdiff_t>(from * 16000),
              samples.begin() + static_cast<ptrdiff_t>(to * 16000), 0.0f);
  }
  return samples;
}

std::vector<std::pair<int64_t, size_t>> layout(const std::vector<AudioChunk>& chunks) {
  std::vector<std::pair<int64_t, size_t>> result;
  for (const auto& chunk : chunks)
    result.emplace_back(chunk.seekOffsetIndex, chunk.audioSamples.size());
  return result;
}

TEST(VADAudioChunker, CutsAtSilencesInTheSecondHalfOfEachWindow) {
  const struct {
    const char* name;
    std::vector<float> audio;
    std::vector<std::pair<int64_t, size_t>> expected;
  } cases[] = {
      {"short audio stays whole", speech(20), {{0, 320000}}},
      // No silence in [15 s, 30 s): the cut falls at the window's end.
      {"continuous speech", speech(90), {{0, 480000}, {480000, 480000}, {960000, 480000}}},
      // Two equally long silences: the middle of the earlier one.
      {"equal silences", speech(40, {{25, 26}, {28, 29}}), {{0, 408000}, {408000, 232000}}},
      // A longer silence in the first half is out of reach.
      {"second half only", speech(40, {{5, 10}, {20, 20.5}}), {{0, 323200}, {323200, 316800}}},
      // After the last cut fewer than windowPadding samples remain.
      {"short tail dropped", speech(30.5), {{0, 480000}}},
  };
  VADAudioChunker chunker;
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    const auto chunks = chunker.chunkAll(item.audio, window, std::nullopt);
    EXPECT_EQ(layout(chunks), item.expected);
    for (const auto& chunk : chunks) {
      EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(),
                             item.audio.begin() + chunk.seekOffsetIndex));
    }
  }
}

TEST(VADAudioChunker, LogsEachChunk) {
  testsupport::LogCapture log;
  VADAudioChunker().chunkAll(speech(40, {{25, 26}}), window, std::nullopt);
  EXPECT_TRUE(log.contains("Found chunk from 0.00 to 25.50"));
  EXPECT_TRUE(log.contains("Found chunk from 25.50 to 40.00"));
}

// Clips are honoured, and one that runs past the audio is cut at its end
// instead of failing with a start outside the buffer.
TEST(VADAudioChunker, FollowsClipsAndClampsThemToTheAudio) {
  VADAudioChunker chunker;
  DecodingOptions options;
  options.clipTimestamps = {10.0f, 100.0f};
  EXPECT_EQ(layout(chunker.chunkAll(speech(70), window, options)),
            (std::vector<std::pair<int64_t, size_t>>{{160000, 480000}, {640000, 480000}}));
  options.clipTimestamps = {0.0f, 20.0f, 40.0f};
  EXPECT_EQ(layout(chunker.chunkAll(speech(70), window, options)),
            (std::vector<std::pair<int64_t, size_t>>{{0, 320000}, {640000, 480000}}));
}

TEST(VADAudioChunker, UsesTheGivenDetectorAndRejectsEmptyChunks) {
  // A detector that hears speech everywhere never finds a silence.
  const auto deaf = std::make_shared<EnergyVAD>(16000, 1600, 0, -1.0f);
  VADAudioChunker chunker(16000, deaf);
  EXPECT_EQ(layout(chunker.chunkAll(speech(40, {{25, 26}}), window, std::nullopt)),
            (std::vector<std::pair<int64_t, size_t>>{{0, 480000}, {480000, 160000}}));
  EXPECT_THROW(chunker.chunkAll(speech(1), 0, std::nullopt), WhisperError);
}

std::shared_ptr<TranscriptionResult> resultWithSegment(int64_t seek, float start, float end) {
  TranscriptionSegment segment;
  segment.seek = seek;
  segment.start = start;
  segment.end = end;
  segment.words = std::vector<WordTiming>{{" hi", {1}, start, end, 0.9f}};
  return TranscriptionResult::make("hi", {segment}, "en", TranscriptionTimings{});
}

TEST(AudioChunking, ShiftsResultsOntoTheWholeTimeline) {
  const std::vector<AudioChunk> chunks = {{0, {}}, {480000, {}}, {960000, {}}, {1440000, {}}};
  const auto second = resultWithSegment(100, 1.0f, 2.5f);
  const auto fourth = resultWithSegment(0, 0.0f, 1.0f);
  const std::vector<ChunkTranscriptionOutcome> outcomes = {
      std::make_exception_ptr(WhisperError::transcriptionFailed("boom")),
      TranscriptionResults{second},
      TranscriptionResults{},
      TranscriptionResults{fourth},
  };
  testsupport::LogCapture log;
  const TranscriptionResults shifted =
      VADAudioChunker().updateSeekOffsetsForResults(outcomes, chunks);
  ASSERT_EQ(shifted.size(), 2u);
  EXPECT_EQ(shifted[0], second);
  EXPECT_EQ(shifted[1], fourth);
  EXPECT_TRUE(log.contains("Error transcribing chunk 0: transcriptionFailed(\"boom\")"));

  const TranscriptionSegment segment = second->segments().at(0);
  EXPECT_EQ(segment.seek, 480100);
  EXPECT_FLOAT_EQ(segment.start, 31.0f);
  EXPECT_FLOAT_EQ(segment.end, 32.5f);
  EXPECT_FLOAT_EQ(segment.words->at(0).start, 31.0f);
  EXPECT_FLOAT_EQ(segment.words->at(0).end, 32.5f);
  EXPECT_EQ(second->seekTime(), 30.0f);
  EXPECT_EQ(fourth->seekTime(), 90.0f);
  EXPECT_EQ(fourth->segments().at(0).seek, 1440000);
}

}  // namespace
}  // namespace kestrune
