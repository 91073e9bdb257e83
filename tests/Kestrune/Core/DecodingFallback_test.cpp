#include "Kestrune/Core/DecodingFallback.hpp"

#include <gtest/gtest.h>

#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/DecodingResult.hpp"

namespace kestrune {
namespace {

struct VerdictCase {
  const char* name;
  DecodingOptions options;
  bool firstTokenTooLow;
  float noSpeechProb;
  float compressionRatio;
  float avgLogProb;
  std::optional<DecodingFallback> expected;
};

TEST(DecodingFallbackTest, FirstApplicableRuleDecides) {
  const DecodingOptions defaults;  // thresholds 2.4, -1.0, -1.5, 0.6
  const DecodingOptions none{.compressionRatioThreshold = std::nullopt,
                             .logProbThreshold = std::nullopt,
                             .firstTokenLogProbThreshold = std::nullopt,
                             .noSpeechThreshold = std::nullopt};
  const DecodingFallback firstToken{true, "firstTokenLogProbThreshold"};
  const DecodingFallback silence{false, "silence"};
  const DecodingFallback compression{true, "compressionRatioThreshold"};
  const DecodingFallback logProb{true, "logProbThreshold"};
  const std::vector<VerdictCase> cases = {
      {"good pass", defaults, false, 0.1f, 1.5f, -0.3f, std::nullopt},
      {"first token wins over everything", defaults, true, 0.9f, 9.0f, -5.0f, firstToken},
      {"first token wins without thresholds", none, true, 0.9f, 9.0f, -5.0f, firstToken},
      {"silence before compression", defaults, false, 0.7f, 9.0f, -5.0f, silence},
      {"compression before log-prob", defaults, false, 0.1f, 2.5f, -5.0f, compression},
      {"log-prob", defaults, false, 0.1f, 1.0f, -1.2f, logProb},
      // Every comparison is strict.
      {"thresholds themselves pass", defaults, false, 0.6f, 2.4f, -1.0f, std::nullopt},
      {"absent thresholds never apply", none, false, 1.0f, 100.0f, -100.0f, std::nullopt},
      {"absent silence threshold lets compression decide",
       DecodingOptions{.noSpeechThreshold = std::nullopt}, false, 1.0f, 3.0f, 0.0f, compression},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodingFallback::create(c.options, c.firstTokenTooLow, c.noSpeechProb,
                                       c.compressionRatio, c.avgLogProb),
              c.expected);
  }
}

TEST(DecodingResultTest, EmptyResultsHoldNothing) {
  const DecodingResult empty = DecodingResult::emptyResults();
  EXPECT_TRUE(empty.language.empty());
  EXPECT_TRUE(empty.languageProbs.empty());
  EXPECT_TRUE(empty.tokens.empty());
  EXPECT_TRUE(empty.tokenLogProbs.empty());
  EXPECT_TRUE(empty.text.empty());
  EXPECT_EQ(empty.avgLogProb, 0.0f);
  EXPECT_EQ(empty.noSpeechProb, 0.0f);
  EXPECT_EQ(empty.temperature, 0.0f);
  EXPECT_EQ(empty.compressionRatio, 0.0f);
  EXPECT_EQ(empty.cache, nullptr);
  EXPECT_FALSE(empty.timings.has_value());
  EXPECT_FALSE(empty.fallback.has_value());
}

}  // namespace
}  // namespace kestrune
