#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "Platform/ML/HalfKernels.hpp"
#include "Platform/ML/TransformerKernels.hpp"

namespace platform::ml::kernels {
namespace {

std::vector<float> randomValues(size_t count, float scale, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, scale);
  std::vector<float> values(count);
  for (auto& value : values) value = normal(generator);
  return values;
}

std::string label(HalfKernelLevel level, HalfFormat format) {
  return std::string(halfKernelLevelName(level)) + (format == HalfFormat::bf16 ? " BF16" : " F16");
}

// The largest relative rounding error of one stored value.
double unitRoundoff(HalfFormat format) {
  return format == HalfFormat::bf16 ? 0x1p-8 : 0x1p-11;
}

// Every level the CPU runs must agree with a double-precision product of the
// same 16-bit weights to float32 accuracy, and with the float32 weights they
// were rounded from within the 16-bit rounding bound: |error| <= u * sum
// |w x| (plus float32 accumulation). Shapes cover vector tails, row counts
// that are not multiples of four, and a matrix large enough to be split
// over the pool.
TEST(HalfMatrixVectorTest, AgreesWithTheFloat32ProductAtEveryLevel) {
  struct Shape {
    size_t rows, columns;
  };
  const Shape shapes[] = {{1, 1}, {7, 37}, {5, 384}, {33, 1536}, {1031, 384}};
  for (const HalfFormat format : {HalfFormat::f16, HalfFormat::bf16}) {
    for (const Shape shape : shapes) {
      const auto weights = randomValues(shape.rows * shape.columns, 0.5f, 3);
      const auto input = randomValues(shape.columns, 1.0f, 5);
      const auto bias = randomValues(shape.rows, 1.0f, 7);
      const auto matrix = HalfMatrix::fromFloats(weights.data(), shape.rows, shape.columns, format);
      std::vector<float> rounded(weights.size());
      matrix.readRows(0, shape.rows, rounded.data());
      for (const HalfKernelLevel level : supportedHalfKernelLevels()) {
        SCOPED_TRACE(label(level, format) + " " + std::to_string(shape.rows) + "x" +
                     std::to_string(shape.columns));
        std::vector<float> output(shape.rows, 2.0f);
        halfMatrixVector(matrix, input.data(), bias.data(), output.data(), true, level);
        for (size_t r = 0; r < shape.rows; ++r) {
          double exact = 0, fromFloat32 = 0, magnitude = 0;
          for (size_t c = 0; c < shape.columns; ++c) {
            const size_t i = r * shape.columns + c;
            exact += double(rounded[i]) * input[c];
            fromFloat32 += double(weights[i]) * input[c];
            magnitude += std::fabs(double(weights[i]) * input[c]);
          }
          const double expected = 2.0 + bias[r] + exact;
          ASSERT_NEAR(output[r], expected, 1e-5 * (magnitude + 3.0)) << "row " << r;
          ASSERT_NEAR(output[r], 2.0 + bias[r] + fromFloat32,
                      (unitRoundoff(format) + 1e-5) * (magnitude + 3.0))
              << "row " << r;
        }
      }
    }
  }
}

// Products handed over together are cut into pieces across their
// boundaries; each must still come out exactly as when computed alone.
TEST(HalfMatrixVectorTest, ProductsTogetherEqualProductsAlone) {
  struct Part {
    size_t rows, columns;
    bool withBias, accumulate;
  };
  const Part parts[] = {{384, 384, true, false}, {17, 384, false, true}, {700, 1536, true, true}};
  std::vector<HalfMatrix> matrices;
  std::vector<std::vector<float>> inputs, biases, together, alone;
  unsigned seed = 20;
  for (const Part& part : parts) {
    const auto weights = randomValues(part.rows * part.columns, 0.5f, seed++);
    matrices.push_back(
        HalfMatrix::fromFloats(weights.data(), part.rows, part.columns, HalfFormat::f16));
    inputs.push_back(randomValues(part.columns, 1.0f, seed++));
    biases.push_back(randomValues(part.rows, 1.0f, seed++));
    together.push_back(randomValues(part.rows, 1.0f, seed++));
    alone.push_back(together.back());
  }
  std::vector<HalfProduct> products;
  for (size_t i = 0; i < std::size(parts); ++i) {
    const float* bias = parts[i].withBias ? biases[i].data() : nullptr;
    products.push_back(
        {&matrices[i], inputs[i].data(), bias, together[i].data(), parts[i].accumulate});
    halfMatrixVector(matrices[i], inputs[i].data(), bias, alone[i].data(), parts[i].accumulate);
  }
  halfMatrixVectors(products);
  for (size_t i = 0; i < std::size(parts); ++i) EXPECT_EQ(together[i], alone[i]) << "product " << i;
}

TEST(HalfVectorTest, DotAndAxpyAgreeAtEveryLevelWithTails) {
  for (const HalfFormat format : {HalfFormat::f16, HalfFormat::bf16}) {
    for (const size_t count : {size_t{0}, size_t{3}, size_t{16}, size_t{45}, size_t{1500}}) {
      const auto source = randomValues(count, 1.0f, 11);
      const auto other = randomValues(count, 1.0f, 13);
      std::vector<uint16_t> half(count);
      floatsToHalf(source.data(), half.data(), count, format);
      std::vector<float> rounded(count);
      halfToFloats(half.data(), rounded.data(), count, format);
      double dot = 0, magnitude = 0;
      for (size_t i = 0; i < count; ++i) {
        dot += double(rounded[i]) * other[i];
        magnitude += std::fabs(double(rounded[i]) * other[i]);
      }
      for (const HalfKernelLevel level : supportedHalfKernelLevels()) {
        SCOPED_TRACE(label(level, format) + " count " + std::to_string(count));
        EXPECT_NEAR(halfDot(half.data(), format, other.data(), count, level), dot,
                    1e-5 * (magnitude + 1.0));
        // One past the end must stay untouched.
        std::vector<float> target(other);
        target.push_back(42.0f);
        halfAxpy(half.data(), format, -0.5f, target.data(), count, level);
        for (size_t i = 0; i < count; ++i) {
          ASSERT_FLOAT_EQ(target[i], std::fma(-0.5f, rounded[i], other[i])) << i;
        }
        EXPECT_EQ(target[count], 42.0f);
      }
    }
  }
}

TEST(HalfConversionTest, BFloat16RoundsToNearestEvenAndKeepsSpecialValues) {
  struct Case {
    uint32_t floatBits;
    uint16_t expected;
  };
  const Case cases[] = {
      {0x3f800000u, 0x3f80},  // 1 exactly
      {0x3f808000u, 0x3f80},  // halfway, even stays
      {0x3f818000u, 0x3f82},  // halfway, odd rounds up
      {0x3f808001u, 0x3f81},  // above halfway
      {0x7f7fffffu, 0x7f80},  // largest float overflows to infinity
      {0xff800000u, 0xff80},  // -infinity
      {0x80000000u, 0x8000},  // -0
  };
  for (const Case& c : cases) {
    const float value = std::bit_cast<float>(c.floatBits);
    uint16_t half = 0;
    floatsToHalf(&value, &half, 1, HalfFormat::bf16);
    EXPECT_EQ(half, c.expected) << std::hex << c.floatBits;
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float signalling = std::bit_cast<float>(0x7f800001u);  // would round to infinity
  for (const float value : {nan, signalling}) {
    uint16_t half = 0;
    floatsToHalf(&value, &half, 1, HalfFormat::bf16);
    float back = 0;
    halfToFloats(&half, &back, 1, HalfFormat::bf16);
    EXPECT_TRUE(std::isnan(back));
  }
}

TEST(GeluTest, MatchesTheExactErfFormWithinFloatAccuracy) {
  std::vector<float> values;
  for (float x = -10.0f; x <= 10.0f; x += 0.01f) values.push_back(x);
  values.insert(values.end(), {0.0f, -0.0f, 1e-30f, 50.0f, -50.0f, 3e38f, -3e38f});
  std::vector<float> result(values);
  gelu(result.data(), result.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    const double expected = 0.5 * x * (1 + std::erf(x / std::sqrt(2.0)));
    ASSERT_NEAR(result[i], expected, 2e-6 * std::max(1.0, std::fabs(x))) << "x = " << x;
  }
  float nan = std::numeric_limits<float>::quiet_NaN();
  gelu(&nan, 1);
  EXPECT_TRUE(std::isnan(nan));
}

}  // namespace
}  // namespace platform::ml::kernels
