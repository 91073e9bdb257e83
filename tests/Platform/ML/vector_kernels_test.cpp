#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "Platform/ML/Float16Conversion.hpp"
#include "Platform/ML/VectorKernels.hpp"

namespace platform::ml {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

std::vector<float> randomValues(size_t count, float scale, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, scale);
  std::vector<float> values(count);
  for (auto& value : values) value = normal(generator);
  return values;
}

TEST(Float16ConversionTest, EveryHalfValueSurvivesTheRoundTrip) {
  std::vector<uint16_t> bits(65536);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint16_t>(i);
  std::vector<Float16> halves(bits.size());
  std::memcpy(halves.data(), bits.data(), bits.size() * 2);
  std::vector<float> floats(bits.size());
  convertFloat16ToFloat32(halves.data(), floats.data(), floats.size());
  std::vector<Float16> back(bits.size());
  convertFloat32ToFloat16(floats.data(), back.data(), back.size());
  for (size_t i = 0; i < bits.size(); ++i) {
    const float expected = static_cast<float>(halves[i]);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(floats[i])) << i;
      continue;
    }
    ASSERT_EQ(floats[i], expected) << i;
    uint16_t roundTrip;
    std::memcpy(&roundTrip, &back[i], 2);
    ASSERT_EQ(roundTrip, bits[i]) << i;
  }
}

TEST(Float16ConversionTest, RoundsToNearestEvenIncludingTheScalarTail) {
  // 19 values so that both the vector body and the tail are used.
  std::vector<float> source{0.0f,
                            -10000.0f,
                            1.0f + 1.0f / 2048,
                            1.0f + 3.0f / 2048,
                            65520.0f,
                            -0.0f,
                            1e-8f,
                            0.1f,
                            2049.0f,
                            2051.0f,
                            1.0f,
                            2.0f,
                            3.0f,
                            4.0f,
                            5.0f,
                            6.0f,
                            7.0f,
                            8.0f,
                            2049.0f};
  const std::vector<float> expected{0.0f,    -10000.0f, 1.0f,   1.0f + 4.0f / 2048,
                                    inf,     -0.0f,     0.0f,   0.0999755859375f,
                                    2048.0f, 2052.0f,   1.0f,   2.0f,
                                    3.0f,    4.0f,      5.0f,   6.0f,
                                    7.0f,    8.0f,      2048.0f};
  std::vector<Float16> halves(source.size());
  convertFloat32ToFloat16(source.data(), halves.data(), source.size());
  for (size_t i = 0; i < source.size(); ++i) {
    EXPECT_EQ(static_cast<float>(halves[i]), expected[i]) << source[i];
  }
}

TEST(VectorKernelsTest, ReductionsMatchPlainLoops) {
  for (const size_t count : {size_t{1}, size_t{7}, size_t{51865}}) {
    SCOPED_TRACE(count);
    const auto values = randomValues(count, 3.0f, static_cast<unsigned>(count));
    double squares = 0, sum = 0;
    float largest = -inf, smallest = inf, peak = 0;
    size_t best = 0;
    for (size_t i = 0; i < count; ++i) {
      squares += double(values[i]) * values[i];
      sum += values[i];
      if (values[i] > largest) largest = values[i], best = i;
      smallest = std::min(smallest, values[i]);
      peak = std::max(peak, std::fabs(values[i]));
    }
    EXPECT_EQ(kernels::maxValue(values), largest);
    EXPECT_EQ(kernels::minValue(values), smallest);
    EXPECT_EQ(kernels::peakValue(values), peak);
    EXPECT_EQ(kernels::argMax(values), best);
    EXPECT_NEAR(kernels::rmsValue(values), std::sqrt(squares / count),
                1e-4 * std::sqrt(squares / count));
    EXPECT_NEAR(kernels::sumValue(values), sum, 1e-3 * std::sqrt(double(count)) * 3);
  }
  EXPECT_EQ(kernels::maxValue({}), -inf);
  EXPECT_EQ(kernels::rmsValue({}), 0.0f);
  EXPECT_EQ(kernels::argMax({}), 0u);
}

TEST(VectorKernelsTest, ArgMaxTakesTheFirstMaximumAndSkipsNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(kernels::argMax(std::vector<float>{1, 5, 5, 2}), 1u);
  EXPECT_EQ(kernels::argMax(std::vector<float>{nan, 1, 3, nan}), 2u);
  EXPECT_EQ(kernels::argMax(std::vector<float>{-inf, -inf}), 0u);
}

TEST(VectorKernelsTest, SoftmaxFamilyMatchesDoublePrecision) {
  auto values = randomValues(1000, 8.0f, 3);
  values[10] = -inf;  // a masked logit
  double largest = -INFINITY;
  for (float v : values) largest = std::max(largest, double(v));
  double total = 0;
  for (float v : values) total += std::exp(double(v) - largest);
  const double logTotal = largest + std::log(total);
  EXPECT_NEAR(kernels::logSumExp(values), logTotal, 1e-5 * std::fabs(logTotal));
  std::vector<float> probabilities(values.size()), logs(values.size());
  kernels::softmax(values, probabilities);
  kernels::logSoftmax(values, logs);
  for (size_t i = 0; i < values.size(); ++i) {
    const double expected = std::exp(double(values[i]) - logTotal);
    ASSERT_NEAR(probabilities[i], expected, 1e-6 + 1e-5 * expected) << i;
    if (i != 10) {
      ASSERT_NEAR(logs[i], double(values[i]) - logTotal, 1e-4) << i;
    }
  }
  EXPECT_EQ(probabilities[10], 0.0f);
  EXPECT_EQ(logs[10], -inf);
}

TEST(VectorKernelsTest, SoftmaxOfAllMaskedValuesIsDefined) {
  std::vector<float> masked{-inf, -inf, -inf};
  std::vector<float> out(3);
  kernels::softmax(masked, out);
  EXPECT_EQ(out, (std::vector<float>{0, 0, 0}));
  kernels::logSoftmax(masked, out);
  EXPECT_EQ(out, masked);
  EXPECT_EQ(kernels::logSumExp(masked), -inf);
  // In place, one huge value: no overflow.
  std::vector<float> huge{1e30f, 0.0f};
  kernels::softmax(huge, huge);
  EXPECT_EQ(huge, (std::vector<float>{1.0f, 0.0f}));
}

TEST(VectorKernelsTest, ExpSaturatesAndIsAccurate) {
  const std::vector<float> in{-inf, -100.0f, -1.0f, 0.0f, 0.5f, 10.0f, 88.0f, 100.0f};
  std::vector<float> out(in.size());
  kernels::exp(in, out);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], 0.0f);
  for (size_t i = 2; i + 1 < in.size(); ++i) {
    EXPECT_NEAR(out[i], std::exp(in[i]), 3e-7 * std::exp(in[i])) << in[i];
  }
  EXPECT_EQ(out.back(), inf);
}

TEST(VectorKernelsTest, TopKIsOrderedWithStableTies) {
  const std::vector<float> values{0.5f, 2.0f, -1.0f, 2.0f, std::nanf(""), 3.0f};
  const auto top = kernels::topK(values, 3);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].index, 5u);
  EXPECT_EQ(top[1].index, 1u);
  EXPECT_EQ(top[2].index, 3u);
  EXPECT_EQ(top[2].value, 2.0f);
  EXPECT_EQ(kernels::topK(values, 10).size(), values.size());
  EXPECT_TRUE(kernels::topK(values, 0).empty());
  const auto many = randomValues(51865, 1.0f, 9);
  const auto best = kernels::topK(many, 40);
  auto sorted = many;
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  for (size_t i = 0; i < best.size(); ++i) ASSERT_EQ(best[i].value, sorted[i]);
}

}  // namespace
}  // namespace platform::ml
