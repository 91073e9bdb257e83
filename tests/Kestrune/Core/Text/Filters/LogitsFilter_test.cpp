#include "Kestrune/Core/Text/LogitsFilter.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// The multilingual vocabulary's control ids.
SpecialTokens multilingualTokens() {
  return SpecialTokens{.endToken = 50257,
                       .englishToken = 50259,
                       .noSpeechToken = 50362,
                       .noTimestampsToken = 50363,
                       .specialTokenBegin = 50257,
                       .startOfPreviousToken = 50361,
                       .startOfTranscriptToken = 50258,
                       .timeTokenBegin = 50364,
                       .transcribeToken = 50359,
                       .translateToken = 50358,
                       .whitespaceToken = 220};
}

constexpr int64_t V = 51865;
constexpr int64_t SOT = 50258;
constexpr int64_t EN = 50259;
constexpr int64_t TRANSCRIBE = 50359;
constexpr int64_t SOP = 50361;
constexpr int64_t NO_TS = 50363;
constexpr int64_t E = 50257;
constexpr int64_t T = 50364;

// Logits where one text token clearly leads, so that the timestamp mass
// test stays quiet unless a case asks otherwise.
MLMultiArray logitsWithLeader(int64_t leader = 100, float lead = 20.0f) {
  auto logits = orvane::makeMultiArray({1, 1, V}, MLMultiArrayDataType::float16, Float16(0));
  logits.data<Float16>()[leader] = Float16(lead);
  return logits;
}

bool isSuppressed(const MLMultiArray& logits, int64_t token) {
  return std::isinf(logits.number(token)) && logits.number(token) < 0;
}

// The suppressed ids as half-open runs, for compact expectations.
std::vector<std::pair<int64_t, int64_t>> suppressedRuns(const MLMultiArray& logits) {
  std::vector<std::pair<int64_t, int64_t>> runs;
  for (int64_t k = 0; k < V; ++k) {
    if (!isSuppressed(logits, k)) continue;
    if (!runs.empty() && runs.back().second == k) {
      runs.back().second = k + 1;
    } else {
      runs.emplace_back(k, k + 1);
    }
  }
  return runs;
}

using Runs = std::vector<std::pair<int64_t, int64_t>>;

// The no-timestamps token sits right before the first timestamp, so their
// suppressions join into one run.
static_assert(NO_TS + 1 == T);

struct TimestampCase {
  const char* name;
  std::vector<int64_t> tokens;
  bool multilingual;
  int64_t sampleBegin;
  Runs expected;
};

TEST(TimestampRulesFilterTest, PairingAndOrderingRules) {
  const std::vector<int64_t> prompt = {SOT, EN, TRANSCRIBE, T};
  const auto with = [&](std::vector<int64_t> sampled) {
    auto tokens = prompt;
    tokens.insert(tokens.end(), sampled.begin(), sampled.end());
    return tokens;
  };
  const std::vector<TimestampCase> cases = {
      {"before the sample begin nothing changes", {SOT, EN, TRANSCRIBE}, true, 4, {}},
      {"at the sample begin only no-timestamps goes", prompt, true, 4, {{NO_TS, NO_TS + 1}}},
      // A lone opening timestamp: text must follow, and no later timestamp
      // may repeat it.
      {"lone timestamp", with({T + 10}), true, 4, {{NO_TS, V}}},
      // Text then a timestamp: only the closing timestamp (T+10 or later)
      // or the end token may follow.
      {"text then timestamp", with({400, T + 10}), true, 4, {{0, E}, {NO_TS, T + 10}}},
      {"text after an opening timestamp", with({T + 3, 400}), true, 4, {{NO_TS, T + 4}}},
      {"closed pair forbids another timestamp",
       with({T + 3, 400, T + 9}),
       true,
       4,
       {{0, E}, {NO_TS, T + 9}}},
      {"two timestamps in a row", with({T + 3, 400, T + 9, T + 9}), true, 4, {{NO_TS, V}}},
      // Led by previous text, the task token is not at position 0 to 2, so
      // there is no sample begin and the filter leaves everything alone.
      {"previous-text prompt leaves the filter idle",
       {SOP, 400, 401, SOT, EN, TRANSCRIBE, T, 402, T + 5},
       true,
       7,
       {}},
      // English-only models start at the given sample begin whatever the
      // prompt holds.
      {"english-only model uses the sample begin",
       {SOP, 400, SOT, T, T + 2},
       false,
       4,
       {{NO_TS, V}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimestampRulesFilter filter(multilingualTokens(), c.sampleBegin, std::nullopt, c.multilingual);
    // The end token leads: no pairing rule forbids it, so the mass test
    // stays quiet even where the rules remove all ordinary text.
    const auto logits = logitsWithLeader(E);
    filter.filterLogits(logits, c.tokens);
    EXPECT_EQ(suppressedRuns(logits), c.expected);
  }
}

TEST(TimestampRulesFilterTest, DominantTimestampMassForbidsText) {
  TimestampRulesFilter filter(multilingualTokens(), 4, std::nullopt, true);
  // No single text token beats the timestamps together: 1501 timestamps at
  // 0 carry log(1501) ~ 7.3 against the best text logit of 5.
  auto logits = logitsWithLeader(100, 5.0f);
  EXPECT_TRUE(filter.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits, T));
  filter.filterLogits(logits, {SOT, EN, TRANSCRIBE, T});
  EXPECT_EQ(suppressedRuns(logits), (Runs{{0, T}}));

  // One text token above the whole timestamp mass keeps text allowed.
  auto textWins = logitsWithLeader(100, 8.0f);
  EXPECT_FALSE(filter.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(textWins, T));
}

TEST(TimestampRulesFilterTest, MassTestWithoutTimestampTokensIsFalse) {
  TimestampRulesFilter filter(multilingualTokens(), 4, std::nullopt, true);
  const auto logits = logitsWithLeader();
  EXPECT_FALSE(filter.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits, V));
}

using testsupport::LogCapture;

TEST(SuppressTokensFilterTest, NegativeIdsAreLoggedOnceAndSkipped) {
  LogCapture capture(orvane::Logging::LogLevel::debug);
  SuppressTokensFilter filter({-1, 50, V + 3});
  const auto logits = logitsWithLeader();
  filter.filterLogits(logits, {SOT});
  filter.filterLogits(logits, {SOT, 7});
  EXPECT_EQ(suppressedRuns(logits), (Runs{{50, 51}}));
  EXPECT_THAT(capture.lines(),
              testing::ElementsAre(testing::HasSubstr(
                  "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel "
                  "(suppress default non-speech tokens) is not supported")));
}

TEST(SuppressBlankFilterTest, ActsOnlyAtTheFirstSampledPosition) {
  SuppressBlankFilter filter(multilingualTokens(), 4);
  const std::vector<std::pair<std::vector<int64_t>, Runs>> cases = {
      {{SOT, EN, TRANSCRIBE}, {}},
      {{SOT, EN, TRANSCRIBE, T}, {{220, 221}, {E, E + 1}}},
      {{SOT, EN, TRANSCRIBE, T, 400}, {}},
  };
  for (const auto& [tokens, expected] : cases) {
    SCOPED_TRACE(tokens.size());
    const auto logits = logitsWithLeader();
    filter.filterLogits(logits, tokens);
    EXPECT_EQ(suppressedRuns(logits), expected);
  }
}

TEST(LanguageLogitsFilterTest, AdmitsOnlyLanguageTokensFromTheSampleBegin) {
  LanguageLogitsFilter filter({EN, EN + 2, EN + 6}, V, 1);
  EXPECT_EQ(filter.nonLanguageTokenIndexes().size(), static_cast<size_t>(V - 3));
  EXPECT_EQ(filter.nonLanguageTokenIndexes()[EN], EN + 1);

  const auto untouched = logitsWithLeader();
  filter.filterLogits(untouched, {});
  EXPECT_TRUE(suppressedRuns(untouched).empty());

  const auto logits = logitsWithLeader();
  filter.filterLogits(logits, {SOT});
  EXPECT_EQ(suppressedRuns(logits),
            (Runs{{0, EN}, {EN + 1, EN + 2}, {EN + 3, EN + 6}, {EN + 7, V}}));
}

}  // namespace
}  // namespace kestrune
