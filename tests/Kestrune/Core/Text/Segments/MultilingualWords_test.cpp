#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"
#include "OrvaneCore/TokenizerWrapper.hpp"

namespace kestrune {
namespace {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

constexpr float tolerance = 1e-5f;

// The real multilingual vocabulary: its word split and its decoding of
// control tokens are what the seeker meets in a transcription.
class MultilingualWordsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::filesystem::path folder =
        std::filesystem::path(KESTRUNE_SHARED_DIR) / "tokenizers" / "multilingual";
    tokenizer_ = std::make_shared<WhisperTokenizerWrapper>(
        orvane::AutoTokenizerWrapper::from(folder), folder);
  }
  static void TearDownTestSuite() { tokenizer_.reset(); }

  static std::vector<int64_t> textIds(const std::string& text) {
    std::vector<int64_t> ids;
    for (const int64_t id : tokenizer_->encode(text))
      if (id < tokenizer_->specialTokens().specialTokenBegin) ids.push_back(id);
    return ids;
  }

  static std::shared_ptr<WhisperTokenizerWrapper> tokenizer_;
};

std::shared_ptr<WhisperTokenizerWrapper> MultilingualWordsTest::tokenizer_;

TEST_F(MultilingualWordsTest, SentenceBecomesOneSegmentWithPunctuatedWords) {
  const SpecialTokens& special = tokenizer_->specialTokens();
  const std::vector<int64_t> text = textIds(" Hello, world.");
  ASSERT_EQ(text.size(), 4u) << "expected  Hello / , /  world / .";
  std::vector<int64_t> tokens = {special.timeTokenBegin};
  tokens.insert(tokens.end(), text.begin(), text.end());
  tokens.push_back(special.timeTokenBegin + 50);  // 1.00 s
  tokens.push_back(special.endToken);

  DecodingResult result;
  result.tokens = tokens;
  for (const int64_t token : tokens) result.tokenLogProbs.push_back({{token, -0.1f}});
  const SegmentSeeker seeker;
  const auto [nextSeek, segments] = seeker.findSeekPointAndSegments(
      result, {.skipSpecialTokens = true}, 0, 0, 480000, 16000, special.timeTokenBegin,
      special.specialTokenBegin, *tokenizer_);
  EXPECT_EQ(nextSeek, 480000);
  ASSERT_TRUE(segments.has_value());
  ASSERT_EQ(segments->size(), 1u);
  EXPECT_EQ((*segments)[0].text, " Hello, world.");
  EXPECT_FLOAT_EQ((*segments)[0].end, 1.0f);

  // Each of the seven tokens holds two frames.
  const int64_t columns = 2 * static_cast<int64_t>(tokens.size());
  MLMultiArray weights({static_cast<int64_t>(tokens.size()), columns},
                       MLMultiArrayDataType::float16);
  for (int64_t row = 0; row < static_cast<int64_t>(tokens.size()); ++row)
    for (int64_t column = 0; column < columns; ++column)
      weights.setNumber(row * columns + column, column / 2 == row ? 1.0 : -1.0);
  const auto timed = seeker.addWordTimestamps(*segments, weights, *tokenizer_, 0, 480000,
                                              Constants::defaultPrependPunctuations,
                                              Constants::defaultAppendPunctuations, 0.0f, {}, {});
  ASSERT_TRUE(timed.has_value());
  const TranscriptionSegment& segment = (*timed)[0];
  ASSERT_EQ(segment.words->size(), 2u);
  const WordTiming& hello = (*segment.words)[0];
  const WordTiming& world = (*segment.words)[1];
  EXPECT_EQ(hello.word, " Hello,");
  EXPECT_EQ(hello.tokens, (std::vector<int64_t>{text[0], text[1]}));
  EXPECT_NEAR(hello.start, 0.04f, tolerance);
  EXPECT_NEAR(hello.end, 0.08f, tolerance);
  EXPECT_NEAR(hello.probability, 0.9f, tolerance);
  EXPECT_EQ(world.word, " world.");
  EXPECT_EQ(world.tokens, (std::vector<int64_t>{text[2], text[3]}));
  EXPECT_NEAR(world.start, 0.12f, tolerance);
  EXPECT_NEAR(world.end, 0.16f, tolerance);
  // The segment now spans its words.
  EXPECT_NEAR(segment.start, 0.04f, tolerance);
  EXPECT_NEAR(segment.end, 0.16f, tolerance);
}

TEST_F(MultilingualWordsTest, KeptControlTokensReadAsTheirTexts) {
  const SpecialTokens& special = tokenizer_->specialTokens();
  const std::vector<int64_t> text = textIds(" Hi");
  std::vector<int64_t> tokens = {special.timeTokenBegin};
  tokens.insert(tokens.end(), text.begin(), text.end());
  tokens.push_back(special.timeTokenBegin + 25);
  tokens.push_back(special.timeTokenBegin + 25);
  tokens.push_back(special.endToken);
  DecodingResult result;
  result.tokens = tokens;
  const auto [nextSeek, segments] = SegmentSeeker().findSeekPointAndSegments(
      result, {}, 0, 0, 480000, 16000, special.timeTokenBegin, special.specialTokenBegin,
      *tokenizer_);
  // The tail after the pair is decoded again from 0.50 s.
  EXPECT_EQ(nextSeek, 8000);
  ASSERT_EQ(segments->size(), 1u);
  EXPECT_EQ((*segments)[0].text, "<|0.00|> Hi<|0.50|>");
}

}  // namespace
}  // namespace kestrune
