#include <gtest/gtest.h>

#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "tests/Kestrune/Core/Text/Segments/FakeTokenizer.hpp"

namespace kestrune {
namespace {

using testing::FakeTokenizer;
using T = FakeTokenizer;

constexpr int64_t sampleRate = 16000;
constexpr int64_t fullWindow = 480000;

// Log-probabilities that tell the tokens apart: -(position + 1) / 10.
DecodingResult resultOf(const std::vector<int64_t>& tokens) {
  DecodingResult result;
  result.tokens = tokens;
  for (size_t i = 0; i < tokens.size(); ++i)
    result.tokenLogProbs.push_back({{tokens[i], -static_cast<float>(i + 1) / 10.0f}});
  result.avgLogProb = -0.3f;
  result.noSpeechProb = 0.1f;
  result.temperature = 0.2f;
  result.compressionRatio = 1.5f;
  return result;
}

SeekPointAndSegments seek(const DecodingResult& result, int64_t currentSeek, int64_t segmentSize,
                          const DecodingOptions& options = {}, int64_t allSegmentsCount = 0) {
  const FakeTokenizer tokenizer;
  return SegmentSeeker().findSeekPointAndSegments(result, options, allSegmentsCount, currentSeek,
                                                  segmentSize, sampleRate, T::timeBegin,
                                                  T::endOfText, tokenizer);
}

struct ExpectedSegment {
  float start;
  float end;
  size_t tokensBegin;  // the slice of the result's tokens
  size_t tokensEnd;
};

struct SeekCase {
  const char* name;
  std::vector<int64_t> tokens;
  int64_t currentSeek;
  int64_t segmentSize;
  int64_t nextSeek;
  std::vector<ExpectedSegment> segments;
};

TEST(SegmentSeekingTest, CutsWindowsAtTimestampPairs) {
  const std::vector<SeekCase> cases = {
      {"closing timestamp before end of text: the end of text stays out",
       {T::time(0), T::hello, T::time(2), T::time(2), T::world, T::time(5), T::endOfText},
       0,
       fullWindow,
       80000,
       {{0.0f, 2.0f, 0, 3}, {2.0f, 5.0f, 3, 6}}},
      {"unfinished tail is decoded again from its opening timestamp",
       {T::time(0), T::hello, T::time(2), T::time(2), T::world, T::endOfText},
       32000,
       fullWindow,
       64000,
       {{2.0f, 4.0f, 0, 3}}},
      {"text after a pair without timestamps runs to the end",
       {T::time(0), T::a, T::time(2), T::time(2), T::b, T::c, T::endOfText},
       160000,
       fullWindow,
       640000,
       {{10.0f, 12.0f, 0, 3}, {12.0f, 12.0f, 3, 7}}},
      {"decoded without timestamps: one segment over the real audio",
       {T::hello, T::world, T::endOfText},
       0,
       160000,
       160000,
       {{0.0f, 10.0f, 0, 3}}},
      {"no pair: the window ends at its last timestamp after 0.00",
       {T::time(0), T::hello, T::time(3), T::endOfText},
       16000,
       fullWindow,
       496000,
       {{1.0f, 4.0f, 0, 4}}},
      {"the 0.00 timestamp alone gives no end",
       {T::time(0), T::hello, T::endOfText},
       0,
       240000,
       240000,
       {{0.0f, 15.0f, 0, 3}}},
      {"no tokens", {}, 480000, 80000, 560000, {{30.0f, 35.0f, 0, 0}}},
  };
  const FakeTokenizer tokenizer;
  for (const SeekCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodingResult result = resultOf(c.tokens);
    const SeekPointAndSegments outcome = seek(result, c.currentSeek, c.segmentSize);
    EXPECT_EQ(outcome.seek, c.nextSeek);
    ASSERT_TRUE(outcome.segments.has_value());
    ASSERT_EQ(outcome.segments->size(), c.segments.size());
    for (size_t i = 0; i < c.segments.size(); ++i) {
      const TranscriptionSegment& segment = (*outcome.segments)[i];
      const ExpectedSegment& expected = c.segments[i];
      const std::vector<int64_t> tokens(c.tokens.begin() + expected.tokensBegin,
                                        c.tokens.begin() + expected.tokensEnd);
      const TokenLogProbs logProbs(result.tokenLogProbs.begin() + expected.tokensBegin,
                                   result.tokenLogProbs.begin() + expected.tokensEnd);
      EXPECT_EQ(segment.id, static_cast<int64_t>(i));
      EXPECT_EQ(segment.seek, c.currentSeek);
      EXPECT_FLOAT_EQ(segment.start, expected.start);
      EXPECT_FLOAT_EQ(segment.end, expected.end);
      EXPECT_EQ(segment.tokens, tokens);
      EXPECT_EQ(segment.tokenLogProbs, logProbs);
      // With special tokens kept, timestamps and the end of text read as
      // their token texts.
      EXPECT_EQ(segment.text, tokenizer.decode(tokens));
      EXPECT_EQ(segment.temperature, 0.2f);
      EXPECT_EQ(segment.avgLogprob, -0.3f);
      EXPECT_EQ(segment.compressionRatio, 1.5f);
      EXPECT_EQ(segment.noSpeechProb, 0.1f);
      EXPECT_FALSE(segment.words.has_value());
    }
  }
}

TEST(SegmentSeekingTest, SkippingSpecialTokensKeepsThemInTokensOnly) {
  const std::vector<int64_t> tokens = {T::time(0), T::hello,   T::time(2),  T::time(2),
                                       T::world,   T::time(5), T::endOfText};
  const auto outcome = seek(resultOf(tokens), 0, fullWindow, {.skipSpecialTokens = true});
  ASSERT_EQ(outcome.segments->size(), 2u);
  EXPECT_EQ((*outcome.segments)[0].text, " Hello");
  EXPECT_EQ((*outcome.segments)[1].text, " world");
  EXPECT_EQ((*outcome.segments)[1].tokens,
            (std::vector<int64_t>{T::time(2), T::world, T::time(5)}));

  const auto whole = seek(resultOf({T::hello, T::world, T::endOfText}), 0, fullWindow,
                          {.skipSpecialTokens = true});
  EXPECT_EQ((*whole.segments)[0].text, " Hello world");
  EXPECT_EQ((*whole.segments)[0].tokens.size(), 3u);
}

TEST(SegmentSeekingTest, IdsContinueFromTheSegmentsSoFar) {
  const std::vector<int64_t> tokens = {T::time(0), T::hello,   T::time(2),  T::time(2),
                                       T::world,   T::time(5), T::endOfText};
  const auto outcome = seek(resultOf(tokens), 0, fullWindow, {}, 7);
  ASSERT_EQ(outcome.segments->size(), 2u);
  EXPECT_EQ((*outcome.segments)[0].id, 7);
  EXPECT_EQ((*outcome.segments)[1].id, 8);
  EXPECT_EQ((*seek(resultOf({T::hello}), 0, fullWindow, {}, 7).segments)[0].id, 7);
}

TEST(SegmentSeekingTest, ShortLogProbabilityListsAreSlicedSafely) {
  DecodingResult result =
      resultOf({T::time(0), T::hello, T::time(2), T::time(2), T::world, T::time(5), T::endOfText});
  result.tokenLogProbs.resize(4);
  const auto outcome = seek(result, 0, fullWindow);
  ASSERT_EQ(outcome.segments->size(), 2u);
  EXPECT_EQ((*outcome.segments)[0].tokenLogProbs.size(), 3u);
  EXPECT_EQ((*outcome.segments)[1].tokenLogProbs.size(), 1u);
}

struct SilenceCase {
  const char* name;
  std::optional<float> noSpeechThreshold;
  std::optional<float> logProbThreshold;
  float noSpeechProb;
  float avgLogProb;
  bool skipped;
};

TEST(SegmentSeekingTest, SkipsSilentWindowsUnlessConfident) {
  const std::vector<SilenceCase> cases = {
      {"confident decoding is kept", 0.6f, -1.0f, 0.9f, -0.5f, false},
      {"unconfident silence is skipped", 0.6f, -1.0f, 0.9f, -1.2f, true},
      {"no log-prob threshold: silence is skipped", 0.6f, std::nullopt, 0.9f, -0.5f, true},
      {"no no-speech threshold: never skipped", std::nullopt, -1.0f, 1.0f, -5.0f, false},
      {"no-speech probability at the threshold is kept", 0.6f, -1.0f, 0.6f, -5.0f, false},
      {"log-prob at the threshold is not confident", 0.6f, -1.0f, 0.9f, -1.0f, true},
  };
  for (const SilenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodingResult result = resultOf({T::time(0), T::hello, T::time(2), T::endOfText});
    result.noSpeechProb = c.noSpeechProb;
    result.avgLogProb = c.avgLogProb;
    const DecodingOptions options{.logProbThreshold = c.logProbThreshold,
                                  .noSpeechThreshold = c.noSpeechThreshold};
    const auto outcome = seek(result, 32000, 160000, options);
    EXPECT_EQ(outcome.seek, 192000);
    EXPECT_EQ(outcome.segments.has_value(), !c.skipped);
  }
}

}  // namespace
}  // namespace kestrune
