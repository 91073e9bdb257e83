#include "Kestrune/Utilities/TranscriptionUtilities.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestrune {
namespace {

using TranscriptionUtilities::findLongestCommonPrefix;
using TranscriptionUtilities::findLongestDifferentSuffix;
using TranscriptionUtilities::formatSegments;
using TranscriptionUtilities::mergeTranscriptionResults;
using TranscriptionUtilities::updateSegmentTimings;

WordTiming word(std::string text, float start = 0, float end = 0) {
  return WordTiming{std::move(text), {7}, start, end, 0.9f};
}

TranscriptionSegment segment(int64_t id, float start, float end, std::string text) {
  return TranscriptionSegment{
      .id = id, .seek = 0, .start = start, .end = end, .text = std::move(text), .tokens = {1, 2}};
}

TranscriptionTimings chunkTimings(double start, double duration) {
  return TranscriptionTimings{.pipelineStart = start,
                              .firstTokenTime = start + 0.5,
                              .inputAudioSeconds = 30,
                              .modelLoading = duration / 10,
                              .encoderSpecializationTime = 1,
                              .decodingLoop = 2,
                              .totalDecodingLoops = 10,
                              .fullPipeline = duration};
}

TEST(MergeTest, AbsentResultLeavesAGapAndSegmentIdsArePositions) {
  const auto a = TranscriptionResult::make(
      "first", {segment(0, 0, 1, "a0"), segment(1, 1, 2, "a1")}, "de", chunkTimings(100, 30));
  const auto b = TranscriptionResult::make("second", {segment(0, 30, 31, "b0")}, "en",
                                           chunkTimings(130, 30), 30.0f);
  const auto merged = mergeTranscriptionResults({a, nullptr, b});
  EXPECT_EQ(merged->text(), "first  second");
  EXPECT_EQ(merged->language(), "de");
  EXPECT_EQ(merged->seekTime(), std::nullopt);
  const auto segments = merged->segments();
  ASSERT_EQ(segments.size(), 3u);
  std::vector<int64_t> ids;
  for (const auto& s : segments) ids.push_back(s.id);
  // B is the second present result, so its ids start at 1.
  EXPECT_EQ(ids, (std::vector<int64_t>{0, 1, 1}));
  EXPECT_EQ(segments[2].text, "b0");
  EXPECT_EQ(segments[2].start, 30.0f);

  const auto t = merged->timings();
  EXPECT_EQ(t.pipelineStart, 100.0);
  EXPECT_EQ(t.firstTokenTime, 100.5);
  EXPECT_EQ(t.inputAudioSeconds, 60.0);
  EXPECT_EQ(t.modelLoading, 3.0);
  EXPECT_EQ(t.encoderSpecializationTime, 0.0);
  EXPECT_EQ(t.decodingLoop, 4.0);
  EXPECT_EQ(t.totalDecodingLoops, 20.0);
  // The inputs are read, not changed.
  EXPECT_EQ(b->segments().front().id, 0);
}

TEST(MergeTest, FullPipelineIsTheWallClockSpanAtMostTheSum) {
  struct Case {
    double startA, durationA, startB, durationB, expected;
  };
  const std::vector<Case> cases = {
      {100.0, 30.0, 100.5, 30.0, 30.5},  // in parallel
      {100.0, 30.0, 130.0, 30.0, 60.0},  // one after the other
      {100.0, 30.0, 200.0, 30.0, 60.0},  // with a pause between: never above the sum
      {100.0, 30.0, 101.0, 5.0, 30.0},   // the later one ends first
  };
  for (const auto& c : cases) {
    const auto merged = mergeTranscriptionResults(
        {TranscriptionResult::make("", {}, "en", chunkTimings(c.startA, c.durationA)),
         TranscriptionResult::make("", {}, "en", chunkTimings(c.startB, c.durationB))});
    EXPECT_DOUBLE_EQ(merged->timings().fullPipeline, c.expected) << c.startB;
  }
}

TEST(MergeTest, NoPresentResultsGiveAnEmptyEnglishResult) {
  const auto single = mergeTranscriptionResults({nullptr});
  EXPECT_EQ(single->text(), "");
  EXPECT_TRUE(single->segments().empty());
  EXPECT_EQ(single->language(), "en");
  TranscriptionTimings zero;
  zero.pipelineStart = zero.firstTokenTime = zero.inputAudioSeconds = 0;
  EXPECT_EQ(single->timings(), zero);
  EXPECT_EQ(mergeTranscriptionResults({nullptr, nullptr})->text(), " ");
  EXPECT_EQ(mergeTranscriptionResults({})->text(), "");
}

TEST(MergeTest, ConfirmedWordsMakeTheText) {
  const auto a = TranscriptionResult::make("ignored", {}, "en", {});
  const auto merged =
      mergeTranscriptionResults({a, nullptr}, std::vector{word(" Hello"), word(" world.")});
  EXPECT_EQ(merged->text(), " Hello world.");
}

TEST(UpdateSegmentTimingsTest, ShiftsSegmentAndWordsBySecondsOrSamples) {
  auto original = segment(2, 1.0f, 2.5f, "x");
  original.seek = 16000;
  original.words = std::vector{word("x", 1.0f, 2.0f)};

  const auto bySeconds = updateSegmentTimings(original, 30.5f);
  EXPECT_EQ(bySeconds.seek, 16000 + 488000);
  EXPECT_EQ(bySeconds.start, 31.5f);
  EXPECT_EQ(bySeconds.end, 33.0f);
  EXPECT_EQ(bySeconds.words->front().start, 31.5f);
  EXPECT_EQ(bySeconds.words->front().end, 32.5f);
  EXPECT_EQ(bySeconds.text, original.text);
  EXPECT_EQ(bySeconds.id, original.id);
  // The sample shift truncates toward zero: 0.00009 s is 1.44 samples.
  EXPECT_EQ(updateSegmentTimings(original, 0.00009f).seek, 16001);

  const auto bySamples = updateSegmentTimings(original, int64_t{488000});
  EXPECT_EQ(bySamples.seek, 504000);
  EXPECT_EQ(bySamples.start, 31.5f);
  EXPECT_EQ(bySamples.words->front().end, 32.5f);
  EXPECT_EQ(updateSegmentTimings(segment(0, 0, 1, ""), int64_t{8}).start, 0.0005f);
}

TEST(FormatSegmentsTest, LinesWithAndWithoutTimestamps) {
  const std::vector segments = {segment(0, 0.0f, 1.234f, " Hello"),
                                segment(1, 61.25f, 62.0f, " there")};
  EXPECT_EQ(formatSegments(segments, true),
            (std::vector<std::string>{"[0.00 --> 1.23]  Hello", "[61.25 --> 62.00]  there"}));
  EXPECT_EQ(formatSegments(segments, false), (std::vector<std::string>{" Hello", " there"}));
  EXPECT_TRUE(formatSegments({}, true).empty());
}

std::vector<std::string> words(const std::vector<WordTiming>& list) {
  std::vector<std::string> texts;
  for (const auto& w : list) texts.push_back(w.word);
  return texts;
}

TEST(WordComparisonTest, CommonPrefixTakesTheSecondListsWords) {
  const std::vector a = {word("Hello", 0, 1), word("world")};
  const std::vector b = {word("hello.", 5, 6), word("there")};
  const auto prefix = findLongestCommonPrefix(a, b);
  ASSERT_EQ(words(prefix), std::vector<std::string>{"hello."});
  EXPECT_EQ(prefix.front().start, 5.0f);
  EXPECT_EQ(words(findLongestDifferentSuffix(a, b)), std::vector<std::string>{"there"});

  const std::vector c = {word(" One"), word(" two"), word(" three")};
  const std::vector d = {word("one"), word(" Two,"), word(" three"), word(" four")};
  EXPECT_EQ(words(findLongestCommonPrefix(c, d)).size(), 3u);
  EXPECT_EQ(words(findLongestDifferentSuffix(c, d)), std::vector<std::string>{" four"});
  // Nothing in common: the whole second list differs.
  EXPECT_EQ(words(findLongestDifferentSuffix({word("x")}, d)).size(), 4u);
  EXPECT_TRUE(findLongestCommonPrefix({}, d).empty());
  EXPECT_TRUE(findLongestDifferentSuffix(d, {}).empty());
}

TEST(ContainsSegmentTest, ComparesOnlyTheStart) {
  const std::vector segments = {segment(0, 0.0f, 1.0f, "a"), segment(1, 1.5f, 2.0f, "b")};
  EXPECT_TRUE(contains(segments, segment(9, 1.5f, 9.0f, "other")));
  EXPECT_FALSE(contains(segments, segment(0, 1.0f, 1.0f, "a")));
  EXPECT_FALSE(contains({}, segments.front()));
}

TEST(ToOptionalArraysTest, FailuresBecomeAbsentInOrder) {
  const auto r = TranscriptionResult::make("r", {}, "en", {});
  using Outcome = std::variant<TranscriptionResults, std::exception_ptr>;
  const std::vector<Outcome> outcomes = {TranscriptionResults{r},
                                         std::make_exception_ptr(std::runtime_error("failed")),
                                         TranscriptionResults{}, TranscriptionResults{r, r}};
  const auto lists = toOptionalArrays(outcomes);
  ASSERT_EQ(lists.size(), 4u);
  EXPECT_EQ(lists[0], TranscriptionResults{r});
  EXPECT_EQ(lists[1], std::nullopt);
  EXPECT_EQ(lists[2], TranscriptionResults{});
  EXPECT_EQ(lists[3]->size(), 2u);
}

}  // namespace
}  // namespace kestrune
