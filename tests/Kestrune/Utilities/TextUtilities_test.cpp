#include "Kestrune/Utilities/TextUtilities.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrune {
namespace {

TEST(CompressionRatioTest, RepetitiveTokensCompressFarBetterThanDistinctOnes) {
  const std::vector<int64_t> repeated(100, 2425);
  EXPECT_GT(TextUtilities::compressionRatio(repeated), 10.0f);
  const std::vector<int64_t> distinct = {50364, 1012, 7712, 2425, 13, 50414};
  EXPECT_LE(TextUtilities::compressionRatio(distinct), 1.0f);
  // Only the low 32 bits of an id are compressed.
  EXPECT_EQ(TextUtilities::compressionRatio(std::vector<int64_t>{1, 2, 3}),
            TextUtilities::compressionRatio(std::vector<int64_t>{1 + (int64_t{1} << 32), 2, 3}));
}

TEST(CompressionRatioTest, RepetitiveTextIsAboveTheDefaultThreshold) {
  std::string looping;
  for (int i = 0; i < 20; ++i) looping += " I don't know.";
  EXPECT_GT(TextUtilities::compressionRatio(looping), 2.4f);
  EXPECT_LT(TextUtilities::compressionRatio(" The quick brown fox jumps over the lazy dog."), 2.4f);
  EXPECT_TRUE(std::isinf(TextUtilities::compressionRatio(std::string_view())));
  EXPECT_GT(TextUtilities::compressionRatio(std::string_view()), 0.0f);
}

TEST(NormalizedTest, FoldsCasePunctuationHyphensAndSpaces) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" Hello,  World-wide! ", "hello world wide"},
      {"ÉCOLE d'été", "école dété"},
      {"¿Qué?", "qué"},
      {"\t  line\n", "line"},
      {"«Ja»  —  nein", "ja nein"},
      {"---", ""},
      {"", ""},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(normalized(input), expected) << input;
  }
}

TEST(TrimmingSpecialTokenCharactersTest, TrimsOnlyTheEnds) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<|en|>", "en"},       {"<|startoftranscript|>", "startoftranscript"},
      {"a<|b|>c", "a<|b|>c"}, {"<|>", ""},
      {"plain", "plain"},     {"", ""}};
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(trimmingSpecialTokenCharacters(input), expected) << input;
  }
}

}  // namespace
}  // namespace kestrune
