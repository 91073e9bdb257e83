#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tests/Kestrune/Core/Text/Segments/FakeTokenizer.hpp"

namespace kestrune {
namespace {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using testing::FakeTokenizer;
using T = FakeTokenizer;

constexpr float tolerance = 1e-5f;

// Seconds of `frames` encoder frames, computed as the seeker does.
float frames(int64_t count) {
  return static_cast<float>(count) * 0.02f;
}

// Weights where token k owns the frames [begin_k, begin_k + length_k): 1
// there, -1 elsewhere, so the stairs are the one best path.
MLMultiArray staircase(const std::vector<int64_t>& lengths, int64_t extraRows = 0) {
  int64_t columns = 0;
  for (const int64_t length : lengths) columns += length;
  const int64_t rows = static_cast<int64_t>(lengths.size());
  MLMultiArray weights({rows + extraRows, columns}, MLMultiArrayDataType::float16);
  int64_t begin = 0;
  for (int64_t row = 0; row < rows + extraRows; ++row) {
    const int64_t length = row < rows ? lengths[row] : 1;
    for (int64_t column = 0; column < columns; ++column) {
      // Rows past the tokens favour the first frame, which would bend the
      // path if they were used.
      const bool owned = row < rows ? column >= begin && column < begin + length : column == 0;
      weights.setNumber(row * columns + column, owned ? 1.0 : -1.0);
    }
    if (row < rows) begin += length;
  }
  return weights;
}

WordTiming entry(std::string word, std::vector<int64_t> tokens, float start, float end,
                 float probability = 0.5f) {
  return {std::move(word), std::move(tokens), start, end, probability};
}

void expectWord(const WordTiming& actual, const WordTiming& expected) {
  EXPECT_EQ(actual.word, expected.word);
  EXPECT_EQ(actual.tokens, expected.tokens) << expected.word;
  EXPECT_NEAR(actual.start, expected.start, tolerance) << expected.word;
  EXPECT_NEAR(actual.end, expected.end, tolerance) << expected.word;
  EXPECT_NEAR(actual.probability, expected.probability, tolerance) << expected.word;
}

void expectWords(const std::vector<WordTiming>& actual, const std::vector<WordTiming>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) expectWord(actual[i], expected[i]);
}

TEST(FindAlignmentTest, TimesWordsFromTheWarpingPath) {
  const FakeTokenizer tokenizer;
  const std::vector<int64_t> ids = {T::time(0), T::hel, T::lo, T::comma, T::world, T::endOfText};
  const std::vector<float> logProbs = {-0.1f, -0.2f, -0.4f, -0.3f, -0.5f, -0.6f};
  // Token k starts at frame 2k; the last one ends at the last frame.
  const MLMultiArray weights = staircase({2, 2, 2, 2, 2, 2});
  const auto alignment = SegmentSeeker().findAlignment(ids, weights, logProbs, tokenizer, {});
  expectWords(alignment,
              {
                  entry("<|0.00|>", {T::time(0)}, 0.0f, frames(2), std::exp(-0.1f)),
                  entry(" Hello", {T::hel, T::lo}, frames(2), frames(6), std::exp(-0.3f)),
                  entry(",", {T::comma}, frames(6), frames(8), std::exp(-0.3f)),
                  entry(" world", {T::world}, frames(8), frames(10), std::exp(-0.5f)),
                  entry("<|endoftext|>", {T::endOfText}, frames(10), frames(11), std::exp(-0.6f)),
              });
}

TEST(FindAlignmentTest, WordsWithoutLogProbabilitiesAreLeftOut) {
  const FakeTokenizer tokenizer;
  const std::vector<int64_t> ids = {T::time(0), T::hel, T::lo, T::comma, T::world, T::endOfText};
  // Only four values: " world" and the end of text have none.
  const std::vector<float> logProbs = {-0.1f, -0.2f, -0.4f, -0.3f};
  const auto alignment =
      SegmentSeeker().findAlignment(ids, staircase({2, 2, 2, 2, 2, 2}), logProbs, tokenizer, {});
  ASSERT_EQ(alignment.size(), 3u);
  EXPECT_EQ(alignment.back().word, ",");
}

TEST(FindAlignmentTest, FewerThanTwoWordsGiveNoAlignment) {
  const FakeTokenizer tokenizer;
  EXPECT_TRUE(SegmentSeeker()
                  .findAlignment({T::hel, T::lo}, staircase({2, 2}), {-0.1f, -0.1f}, tokenizer, {})
                  .empty());
}

struct ConstraintCase {
  const char* name;
  std::vector<std::pair<float, float>> spans;
  WordDurationConstraints expected;
};

TEST(WordDurationConstraintsTest, UpperMedianOfPositiveDurationsCapped) {
  const std::vector<ConstraintCase> cases = {
      {"odd count", {{0.0f, 0.1f}, {1.0f, 1.3f}, {2.0f, 2.2f}}, {0.2f, 0.4f}},
      {"even count takes the upper median",
       {{0.0f, 0.1f}, {0.0f, 0.2f}, {0.0f, 0.3f}, {0.0f, 0.4f}},
       {0.3f, 0.6f}},
      {"zero and negative durations are ignored",
       {{1.0f, 1.0f}, {2.0f, 1.0f}, {0.0f, 0.5f}},
       {0.5f, 1.0f}},
      {"capped at 0.7 s", {{0.0f, 2.0f}, {0.0f, 3.0f}}, {0.7f, 1.4f}},
      {"no positive duration", {{1.0f, 1.0f}}, {0.0f, 0.0f}},
      {"no words", {}, {0.0f, 0.0f}},
  };
  for (const ConstraintCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<WordTiming> alignment;
    for (const auto& [start, end] : c.spans) alignment.push_back(entry(" w", {1}, start, end));
    const WordDurationConstraints actual =
        SegmentSeeker().calculateWordDurationConstraints(alignment);
    EXPECT_NEAR(actual.median, c.expected.median, tolerance);
    EXPECT_NEAR(actual.max, c.expected.max, tolerance);
  }
}

TEST(SentenceBoundaryTest, LongWordsAtSentenceEndsAreCapped) {
  const std::vector<WordTiming> alignment = {
      entry(".", {1}, 0.0f, 5.0f),        // first entry: never touched
      entry(" Hi", {2}, 5.0f, 6.0f),      // not too long
      entry("\u3002", {3}, 6.0f, 9.0f),   // an end mark keeps its start
      entry(" There", {4}, 9.0f, 12.0f),  // after an end mark: keeps its end
      entry(" long", {5}, 12.0f, 20.0f),  // no end mark around it
      entry(" .", {6}, 20.0f, 25.0f),     // a spaced mark is no end mark
  };
  const auto truncated = SegmentSeeker().truncateLongWordsAtSentenceBoundaries(alignment, 1.5f);
  const std::vector<std::pair<float, float>> expected = {
      {0.0f, 5.0f}, {5.0f, 6.0f}, {6.0f, 7.5f}, {10.5f, 12.0f}, {12.0f, 20.0f}, {20.0f, 25.0f}};
  ASSERT_EQ(truncated.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_FLOAT_EQ(truncated[i].start, expected[i].first) << i;
    EXPECT_FLOAT_EQ(truncated[i].end, expected[i].second) << i;
  }
}

struct MergeCase {
  const char* name;
  std::vector<std::string> words;  // entry i: token i + 1, span [i, i + 1), probability i / 10
  std::vector<WordTiming> expected;
};

TEST(MergePunctuationsTest, GluesMarksToTheirWords) {
  const std::vector<MergeCase> cases = {
      {"opening parenthesis joins the next word with its times",
       {" (", "Hello"},
       {entry(" (Hello", {1, 2}, 1.0f, 2.0f, 0.1f)}},
      {"comma joins the previous word, which keeps its times",
       {" Hello", ","},
       {entry(" Hello,", {1, 2}, 0.0f, 1.0f, 0.0f)}},
      {"a lone first comma is dropped", {",", " Hello"}, {entry(" Hello", {2}, 1.0f, 2.0f, 0.1f)}},
      {"a comma with a leading space stays a word",
       {" ,", " Hello"},
       {entry(" ,", {1}, 0.0f, 1.0f, 0.0f), entry(" Hello", {2}, 1.0f, 2.0f, 0.1f)}},
      {"a run of closing marks all join the word",
       {" Hello", ",", "."},
       {entry(" Hello,.", {1, 2, 3}, 0.0f, 1.0f, 0.0f)}},
      {"a run of opening marks all join the word",
       {" (", " \"", "Hi"},
       {entry(" ( \"Hi", {1, 2, 3}, 2.0f, 3.0f, 0.2f)}},
      {"marks on both sides of a word",
       {" Hello", " (", "world", ")"},
       {entry(" Hello", {1}, 0.0f, 1.0f, 0.0f), entry(" (world)", {2, 3, 4}, 2.0f, 3.0f, 0.2f)}},
      {"a word ending in a space takes no closing mark",
       {"Hello ", ","},
       {entry("Hello ", {1}, 0.0f, 1.0f, 0.0f)}},
      {"a no-break space counts as leading whitespace",
       {"\u00a0(", "Hello"},
       {entry("\u00a0(Hello", {1, 2}, 1.0f, 2.0f, 0.1f)}},
      {"an opening mark without a leading space does not attach",
       {" Hi", "(", "there"},
       {entry(" Hi", {1}, 0.0f, 1.0f, 0.0f), entry("there", {3}, 2.0f, 3.0f, 0.2f)}},
      {"nothing but an opening mark", {" ("}, {}},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<WordTiming> alignment;
    for (size_t i = 0; i < c.words.size(); ++i) {
      const float at = static_cast<float>(i);
      alignment.push_back(
          entry(c.words[i], {static_cast<int64_t>(i + 1)}, at, at + 1.0f, at / 10.0f));
    }
    expectWords(SegmentSeeker().mergePunctuations(alignment, Constants::defaultPrependPunctuations,
                                                  Constants::defaultAppendPunctuations),
                c.expected);
  }
}

TranscriptionSegment segment(std::vector<int64_t> tokens, float start, float end) {
  TranscriptionSegment result;
  result.tokens = std::move(tokens);
  result.start = start;
  result.end = end;
  return result;
}

TEST(UpdateSegmentsTest, HandsWordsToSegmentsWithAbsoluteRoundedTimes) {
  const FakeTokenizer tokenizer;
  const std::vector<TranscriptionSegment> segments = {
      segment({T::time(0), T::hello, T::world, T::time(1)}, 10.0f, 11.0f),
      segment({T::time(1), T::a, T::time(2), T::endOfText}, 11.0f, 12.0f),
  };
  const std::vector<WordTiming> alignment = {
      entry("<|0.00|>", {T::time(0)}, 0.0f, 0.02f),  // only special tokens: no word
      entry(" Hello", {T::hello}, 0.02f, 0.125f, 0.876f),
      entry(" world", {T::world}, 0.125f, 0.9f, 0.5f),
      entry("<|1.00|>", {T::time(1)}, 0.9f, 1.0f),
      entry(" A<|endoftext|>", {T::a, T::endOfText}, 1.0f, 1.5f, 0.333f),
  };
  const auto updated = SegmentSeeker().updateSegmentsWithWordTimings(segments, alignment, 160000,
                                                                     10.0f, 0.4f, 0.8f, tokenizer);
  ASSERT_EQ(updated.size(), 2u);
  // Halves round away from zero: 10.125 becomes 10.13.
  expectWords(*updated[0].words, {entry(" Hello", {T::hello}, 10.02f, 10.13f, 0.88f),
                                  entry(" world", {T::world}, 10.13f, 10.9f, 0.5f)});
  // The dropped end-of-text token leaves the text decoded from the rest.
  expectWords(*updated[1].words, {entry(" A", {T::a}, 11.0f, 11.5f, 0.33f)});
  EXPECT_NEAR(updated[0].start, 10.02f, tolerance);
  EXPECT_NEAR(updated[0].end, 10.9f, tolerance);
  EXPECT_NEAR(updated[1].start, 11.0f, tolerance);
  EXPECT_NEAR(updated[1].end, 11.5f, tolerance);
  EXPECT_EQ(updated[1].tokens, segments[1].tokens);
}

TEST(UpdateSegmentsTest, WordsNeverStraddleSegments) {
  const FakeTokenizer tokenizer;
  // The first segment has one text token; its word has two, so it covers
  // the segment and the next word goes to the next segment.
  const std::vector<TranscriptionSegment> segments = {
      segment({T::time(0), T::hel, T::time(1)}, 0.0f, 1.0f),
      segment({T::time(1), T::lo, T::world, T::time(2)}, 1.0f, 2.0f),
      segment({T::time(2), T::time(3)}, 2.0f, 3.0f),
  };
  const std::vector<WordTiming> alignment = {
      entry(" Hello", {T::hel, T::lo}, 0.0f, 1.0f),
      entry(" world", {T::world}, 1.0f, 2.0f),
  };
  const auto updated = SegmentSeeker().updateSegmentsWithWordTimings(segments, alignment, 0, 0.0f,
                                                                     0.5f, 1.0f, tokenizer);
  ASSERT_EQ(updated.size(), 3u);
  ASSERT_EQ(updated[0].words->size(), 1u);
  EXPECT_EQ((*updated[0].words)[0].word, " Hello");
  ASSERT_EQ(updated[1].words->size(), 1u);
  EXPECT_EQ((*updated[1].words)[0].word, " world");
  // A segment without text gets an empty list and keeps its times.
  ASSERT_TRUE(updated[2].words.has_value());
  EXPECT_TRUE(updated[2].words->empty());
  EXPECT_EQ(updated[2].start, 2.0f);
  EXPECT_EQ(updated[2].end, 3.0f);
}

TEST(UpdateSegmentsTest, VeryShortWordsBorrowFromThePauseBefore) {
  const FakeTokenizer tokenizer;
  const std::vector<TranscriptionSegment> segments = {
      segment({T::hello, T::world}, 0.0f, 1.05f),
      segment({T::a}, 2.0f, 2.05f),
  };
  const std::vector<WordTiming> alignment = {
      entry(" Hello", {T::hello}, 0.0f, 0.5f),
      entry(" world", {T::world}, 1.0f, 1.05f),  // after the previous word of its segment
      entry(" A", {T::a}, 2.0f, 2.05f),          // after the previous segment's end
  };
  // Median 0.4: words under 0.1 s start up to 0.2 s earlier.
  const auto updated = SegmentSeeker().updateSegmentsWithWordTimings(segments, alignment, 0, 0.0f,
                                                                     0.4f, 0.8f, tokenizer);
  EXPECT_NEAR((*updated[0].words)[1].start, 0.8f, tolerance);
  EXPECT_NEAR((*updated[1].words)[0].start, 1.8f, tolerance);
  // The first word of the window has nothing before it to borrow from.
  const auto alone = SegmentSeeker().updateSegmentsWithWordTimings(
      {segment({T::a}, 2.0f, 2.05f)}, {entry(" A", {T::a}, 2.0f, 2.05f)}, 0, 0.0f, 0.4f, 0.8f,
      tokenizer);
  EXPECT_NEAR((*alone[0].words)[0].start, 2.0f, tolerance);
}

struct Span {
  float start;
  float end;
};

struct SegmentShape {
  Span span;
  std::vector<Span> words;
};

struct EdgeCase {
  const char* name;
  float lastSpeech;
  std::vector<SegmentShape> input;
  std::vector<SegmentShape> expected;
};

TEST(UpdateSegmentsTest, AdjustsSegmentAndWordEdgesInOrder) {
  // Median 0.5 s, max duration 1 s throughout.
  const std::vector<EdgeCase> cases = {
      {"segment edges follow the words",
       0.0f,
       {{{1.0f, 3.0f}, {{1.2f, 1.8f}, {1.8f, 2.6f}}}},
       {{{1.2f, 2.6f}, {{1.2f, 1.8f}, {1.8f, 2.6f}}}}},
      {"a long first word after a pause is cut to the max duration",
       0.0f,
       {{{5.0f, 8.0f}, {{5.0f, 7.5f}, {7.5f, 8.0f}}}},
       {{{6.5f, 8.0f}, {{6.5f, 7.5f}, {7.5f, 8.0f}}}}},
      {"a long second word moves the boundary between the first two",
       0.0f,
       {{{5.0f, 8.0f}, {{5.0f, 5.5f}, {5.5f, 8.0f}}}},
       {{{6.0f, 8.0f}, {{6.0f, 7.0f}, {7.0f, 8.0f}}}}},
      {"a first word reaching far before the segment is pulled in",
       4.0f,
       {{{5.0f, 6.0f}, {{3.0f, 5.5f}}}},
       {{{5.0f, 5.5f}, {{5.0f, 5.5f}}}}},
      {"a last word reaching far past the segment is cut",
       4.0f,
       {{{5.0f, 6.0f}, {{5.0f, 5.2f}, {5.8f, 7.0f}}}},
       {{{5.0f, 6.0f}, {{5.0f, 5.2f}, {5.8f, 6.3f}}}}},
      // The pause test of the second segment measures from the end of the
      // first, not from the time passed in.
      {"the end of speech carries from segment to segment",
       6.0f,
       {{{0.0f, 1.0f}, {{0.0f, 1.0f}}}, {{5.0f, 8.0f}, {{5.0f, 7.5f}, {7.5f, 8.0f}}}},
       {{{0.0f, 1.0f}, {{0.0f, 1.0f}}}, {{6.5f, 8.0f}, {{6.5f, 7.5f}, {7.5f, 8.0f}}}}},
  };
  const FakeTokenizer tokenizer;
  for (const EdgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TranscriptionSegment> segments;
    std::vector<WordTiming> alignment;
    int64_t token = 1;
    for (const SegmentShape& shape : c.input) {
      TranscriptionSegment s = segment({}, shape.span.start, shape.span.end);
      for (const Span& word : shape.words) {
        s.tokens.push_back(token);
        alignment.push_back(entry(" w", {token++}, word.start, word.end));
      }
      segments.push_back(std::move(s));
    }
    const auto updated = SegmentSeeker().updateSegmentsWithWordTimings(
        segments, alignment, 0, c.lastSpeech, 0.5f, 1.0f, tokenizer);
    ASSERT_EQ(updated.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_NEAR(updated[i].start, c.expected[i].span.start, tolerance) << "segment " << i;
      EXPECT_NEAR(updated[i].end, c.expected[i].span.end, tolerance) << "segment " << i;
      ASSERT_EQ(updated[i].words->size(), c.expected[i].words.size());
      for (size_t w = 0; w < c.expected[i].words.size(); ++w) {
        EXPECT_NEAR((*updated[i].words)[w].start, c.expected[i].words[w].start, tolerance)
            << "segment " << i << " word " << w;
        EXPECT_NEAR((*updated[i].words)[w].end, c.expected[i].words[w].end, tolerance)
            << "segment " << i << " word " << w;
      }
    }
  }
}

TEST(AddWordTimestampsTest, AlignsMergesAndPlacesWords) {
  const FakeTokenizer tokenizer;
  std::vector<TranscriptionSegment> segments = {
      segment({T::time(0), T::hel, T::lo, T::comma, T::time(0.1)}, 2.0f, 2.2f),
      segment({T::time(0.1), T::world, T::period, T::time(0.2), T::endOfText}, 2.2f, 2.4f),
  };
  const std::vector<float> logProbs = {-0.05f, -0.1f, -0.3f,  -0.05f, -0.05f,
                                       -0.05f, -0.5f, -0.05f, -0.05f, -0.05f};
  size_t position = 0;
  for (TranscriptionSegment& s : segments) {
    s.id = static_cast<int64_t>(&s - segments.data());
    s.text = tokenizer.decode(s.tokens);
    for (const int64_t token : s.tokens) s.tokenLogProbs.push_back({{token, logProbs[position++]}});
  }
  // Frames per token; four rows more than tokens, which must not be used.
  const MLMultiArray weights = staircase({1, 3, 3, 2, 1, 1, 5, 2, 1, 3}, 4);
  const auto updated = SegmentSeeker().addWordTimestamps(
      segments, weights, tokenizer, 32000, 480000, Constants::defaultPrependPunctuations,
      Constants::defaultAppendPunctuations, 2.0f, {}, {});
  ASSERT_TRUE(updated.has_value());
  ASSERT_EQ(updated->size(), 2u);
  // Median word 0.04 s, max 0.08 s. The comma and the full stop join their
  // words; timestamp and end-of-text words are gone.
  expectWords(*(*updated)[0].words,
              {entry(" Hello,", {T::hel, T::lo, T::comma}, 2.02f, 2.14f, 0.82f)});
  // " world." lasts 0.10 s, 0.18 s after the first segment's speech: its
  // start is cut to the max duration.
  expectWords(*(*updated)[1].words, {entry(" world.", {T::world, T::period}, 2.24f, 2.32f, 0.61f)});
  EXPECT_NEAR((*updated)[0].start, 2.02f, tolerance);
  EXPECT_NEAR((*updated)[0].end, 2.14f, tolerance);
  EXPECT_NEAR((*updated)[1].start, 2.24f, tolerance);
  EXPECT_NEAR((*updated)[1].end, 2.32f, tolerance);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ((*updated)[i].id, segments[i].id);
    EXPECT_EQ((*updated)[i].text, segments[i].text);
    EXPECT_EQ((*updated)[i].tokens, segments[i].tokens);
  }
}

TEST(AddWordTimestampsTest, WeightsOfAnotherLayoutAreReadByRow) {
  const FakeTokenizer tokenizer;
  TranscriptionSegment only =
      segment({T::time(0), T::hello, T::world, T::time(0.1), T::endOfText}, 0.0f, 0.1f);
  for (const int64_t token : only.tokens) only.tokenLogProbs.push_back({{token, -0.1f}});
  const auto words = [&](const MLMultiArray& weights) {
    return *(*SegmentSeeker().addWordTimestamps(
        {only}, weights, tokenizer, 0, 480000, Constants::defaultPrependPunctuations,
        Constants::defaultAppendPunctuations, 0.0f, {}, {}))[0]
                .words;
  };
  const MLMultiArray plain = staircase({2, 2, 2, 2, 2});
  const std::vector<WordTiming> expected = words(plain);
  ASSERT_EQ(expected.size(), 2u);

  // A leading unit dimension, as a batch of one.
  MLMultiArray batched({1, 5, 10}, MLMultiArrayDataType::float16);
  for (int64_t i = 0; i < 50; ++i) batched.setNumber(i, plain.number(i));
  EXPECT_EQ(words(batched), expected);

  // Fewer rows than tokens: the missing rows weigh nothing, and nothing is
  // read past the tensor.
  MLMultiArray fewerRows({2, 10}, MLMultiArrayDataType::float16);
  for (int64_t i = 0; i < 20; ++i) fewerRows.setNumber(i, plain.number(i));
  EXPECT_EQ(words(fewerRows).size(), 2u);
}

TEST(AddWordTimestampsTest, LogsTheShapeOfTheWeightsItWarps) {
  const FakeTokenizer tokenizer;
  std::vector<std::string> lines;
  orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::debug);
  orvane::Logging::updateCallback([&](const std::string& line) { lines.push_back(line); });
  // Three tokens against weights with more rows: the copy has one per token.
  SegmentSeeker().addWordTimestamps({segment({T::hello, T::world, T::endOfText}, 0.0f, 1.0f)},
                                    staircase({2, 2, 2}, 3), tokenizer, 0, 480000, "", "", 0.0f, {},
                                    {});
  orvane::Logging::updateCallback(nullptr);
  orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::none);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Alignment weights shape: [3, 6]"), lines.end());
}

TEST(AddWordTimestampsTest, OneWordLeavesSegmentsUntimed) {
  const FakeTokenizer tokenizer;
  TranscriptionSegment only = segment({T::hel, T::lo}, 1.0f, 2.0f);
  only.tokenLogProbs = {{{T::hel, -0.1f}}, {{T::lo, -0.1f}}};
  const auto updated = SegmentSeeker().addWordTimestamps(
      {only}, staircase({2, 2}), tokenizer, 16000, 480000, Constants::defaultPrependPunctuations,
      Constants::defaultAppendPunctuations, 1.0f, {}, {});
  ASSERT_EQ(updated->size(), 1u);
  ASSERT_TRUE((*updated)[0].words.has_value());
  EXPECT_TRUE((*updated)[0].words->empty());
  EXPECT_EQ((*updated)[0].start, 1.0f);
  EXPECT_EQ((*updated)[0].end, 2.0f);
}

}  // namespace
}  // namespace kestrune
