#include "Kestrune/Core/Text/TokenSampler.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"

namespace kestrune {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

constexpr int64_t eot = 50257;
constexpr float inf = std::numeric_limits<float>::infinity();

MLMultiArray logitsOf(const std::vector<float>& values) {
  auto logits = orvane::makeMultiArray({1, 1, static_cast<int64_t>(values.size())},
                                       MLMultiArrayDataType::float16, Float16(0));
  for (size_t i = 0; i < values.size(); ++i) logits.data<Float16>()[i] = Float16(values[i]);
  return logits;
}

// log softmax(values / temperature)[index], in double precision.
double referenceLogProb(const std::vector<float>& values, size_t index, double temperature = 1) {
  double maximum = -inf;
  for (const float v : values) maximum = std::max(maximum, v / temperature);
  double sum = 0;
  for (const float v : values) sum += std::exp(v / temperature - maximum);
  return values[index] / temperature - maximum - std::log(sum);
}

GreedyTokenSampler sampler(float temperature, int64_t topK = 5) {
  return GreedyTokenSampler(Float16(temperature), eot, DecodingOptions{.topK = topK});
}

TEST(GreedyTokenSamplerTest, TemperatureZeroPicksTheLargestLogit) {
  const std::vector<float> values = {0.5f, 3.0f, -1.0f, 2.5f, 3.0f};
  auto greedy = sampler(0);
  const auto result = greedy.update({7, 8}, logitsOf(values), {0, -0.25f});
  EXPECT_EQ(result.tokens, (std::vector<int64_t>{7, 8, 1}));  // the first of two equal maxima
  ASSERT_EQ(result.logProbs.size(), 3u);
  EXPECT_EQ(result.logProbs[1], -0.25f);
  EXPECT_LT(result.logProbs[2], 0.0f);
  EXPECT_NEAR(result.logProbs[2], referenceLogProb(values, 1), 1e-4);
  EXPECT_FALSE(result.completed);
}

TEST(GreedyTokenSamplerTest, OnlyFiniteTokenIsCertainAtAnyTemperature) {
  const std::vector<float> values = {-inf, -inf, 1.0f, -inf};
  for (const float temperature : {0.0f, 0.4f, 1.0f}) {
    SCOPED_TRACE(temperature);
    auto s = sampler(temperature);
    const auto result = s.update({}, logitsOf(values), {});
    EXPECT_EQ(result.tokens, (std::vector<int64_t>{2}));
    EXPECT_EQ(result.logProbs, (std::vector<float>{0.0f}));
  }
}

TEST(GreedyTokenSamplerTest, ChoosingTheEndTokenCompletes) {
  std::vector<float> values(eot + 1, 0.0f);
  values[eot] = 4;
  auto greedy = sampler(0);
  EXPECT_TRUE(greedy.update({1}, logitsOf(values), {0}).completed);
}

TEST(GreedyTokenSamplerTest, EverythingSuppressedEndsWithTheEndToken) {
  auto greedy = sampler(0);
  const auto result = greedy.update({1}, logitsOf({-inf, -inf, -inf}), {0});
  EXPECT_EQ(result.tokens.back(), eot);
  EXPECT_EQ(result.logProbs.back(), -inf);
  EXPECT_TRUE(result.completed);
}

TEST(GreedyTokenSamplerTest, TopOneSamplingIsGreedyWithScaledLogProb) {
  const std::vector<float> values = {0.5f, 3.0f, -1.0f, 2.5f};
  auto topOne = sampler(0.5f, 1);
  for (int draw = 0; draw < 20; ++draw) {
    const auto result = topOne.update({}, logitsOf(values), {});
    EXPECT_EQ(result.tokens, (std::vector<int64_t>{1}));
    EXPECT_NEAR(result.logProbs[0], referenceLogProb(values, 1, 0.5), 1e-3);
  }
}

TEST(GreedyTokenSamplerTest, TopKDrawsOnlyAmongTheKBest) {
  // Three near-equal leaders and a long tail that together outweigh them.
  std::vector<float> values(2000, 0.0f);
  values[10] = 5.0f;
  values[20] = 5.0f;
  values[30] = 4.875f;
  auto topThree = sampler(1.0f, 3);
  std::set<int64_t> seen;
  for (int draw = 0; draw < 300; ++draw) {
    const auto result = topThree.update({}, logitsOf(values), {});
    seen.insert(result.tokens[0]);
    // The log-probability is that of the full distribution (no renormalising).
    EXPECT_NEAR(result.logProbs[0], referenceLogProb(values, result.tokens[0]), 1e-3);
  }
  EXPECT_EQ(seen, (std::set<int64_t>{10, 20, 30}));
}

TEST(GreedyTokenSamplerTest, TopKBelowOneIsRefusedAtNonZeroTemperature) {
  const auto logits = logitsOf({1.0f, 2.0f});
  auto refused = sampler(0.2f, 0);
  EXPECT_THROW(refused.validate(), WhisperError);
  try {
    refused.update({}, logits, {});
    FAIL() << "expected a refusal";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), WhisperError::Case::decodingFailed);
  }
  // Greedy decoding never reads topK.
  auto greedy = sampler(0, 0);
  EXPECT_NO_THROW(greedy.validate());
  EXPECT_EQ(greedy.update({}, logits, {}).tokens, (std::vector<int64_t>{1}));
}

TEST(GreedyTokenSamplerTest, FinalizeAppendsTheEndTokenOnlyWhenMissing) {
  struct Case {
    std::vector<int64_t> tokens;
    std::vector<float> logProbs;
    SamplingResult expected;
  };
  const std::vector<Case> cases = {
      {{1, 2, eot}, {0, -1, -2}, {{1, 2, eot}, {0, -1, -2}, true}},
      {{1, 2}, {0, -1}, {{1, 2, eot}, {0, -1, 0}, true}},
      {{}, {}, {{eot}, {0}, true}},
  };
  auto greedy = sampler(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tokens.size());
    EXPECT_EQ(greedy.finalize(c.tokens, c.logProbs), c.expected);
  }
}

TEST(BeamSearchTokenSamplerTest, RefusesUnusableArgumentsAndEveryStep) {
  struct Case {
    int64_t beamSize;
    float patience;
    const char* message;  // null when accepted
  };
  const std::vector<Case> cases = {
      {5, 1.0f, nullptr},
      {2, 0.5f, nullptr},
      {0, 1.0f, "Invalid beam size 0 or patience 1.0"},
      {2, 0.4f, "Invalid beam size 2 or patience 0.4"},
      {-3, 2.0f, "Invalid beam size -3 or patience 2.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.beamSize);
    if (c.message == nullptr) {
      BeamSearchTokenSampler beam(c.beamSize, eot, c.patience);
      EXPECT_EQ(beam.maxCandidates(), static_cast<int64_t>(c.beamSize * c.patience));
      continue;
    }
    try {
      BeamSearchTokenSampler beam(c.beamSize, eot, c.patience);
      FAIL() << "expected a refusal";
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.kind(), WhisperError::Case::decodingFailed);
      EXPECT_EQ(error.message(), c.message);
    }
  }
  BeamSearchTokenSampler beam(5, eot);
  const auto expectRefusal = [](auto&& call, const std::string& message) {
    try {
      call();
      FAIL() << "expected a refusal";
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.message(), message);
    }
  };
  expectRefusal([&] { beam.update({1}, logitsOf({1.0f}), {0}); },
                "Not implemented: update(tokens:logits:logProbs:)");
  expectRefusal([&] { beam.finalize({1}, {0}); }, "Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace
}  // namespace kestrune
