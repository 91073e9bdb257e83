#include <gtest/gtest.h>

#include "OrvaneCore/MLMultiArrayExtensions.hpp"

namespace orvane {
namespace {

using platform::ml::Float16;
using platform::ml::PlatformMLError;

TEST(MLMultiArrayExtensionsTest, Float16ArraysReadBackTheirInitialValue) {
  for (const float value : {0.0f, -10000.0f}) {
    SCOPED_TRACE(value);
    // 3 columns: every row is padded, so a fill by count alone would miss.
    const auto array = makeMultiArray({1, 4, 3}, MLMultiArrayDataType::float16, Float16(value));
    EXPECT_EQ(array.shape(), (std::vector<int64_t>{1, 4, 3}));
    EXPECT_EQ(array.dataType(), MLMultiArrayDataType::float16);
    EXPECT_EQ(array.count(), 12);
    for (int64_t i = 0; i < array.count(); ++i) ASSERT_EQ(array.number(i), value) << i;
  }
}

TEST(MLMultiArrayExtensionsTest, InitialValueFillsOnlyAMatchingType) {
  EXPECT_EQ(makeMultiArray({2, 2}, MLMultiArrayDataType::float32, 1.5f).toFloatVector(),
            (std::vector<float>(4, 1.5f)));
  EXPECT_EQ(makeMultiArray({3}, MLMultiArrayDataType::int32, int32_t{-7}).number(2), -7.0);
  EXPECT_EQ(makeMultiArray({3}, MLMultiArrayDataType::int8, int8_t{5}).number(1), 5.0);
  EXPECT_EQ(makeMultiArray({3}, MLMultiArrayDataType::float64, 2.25).number(0), 2.25);
  // A value of another type leaves the array as created.
  EXPECT_EQ(makeMultiArray({3}, MLMultiArrayDataType::float32, 2.0).number(0), 0.0);
  EXPECT_EQ(makeMultiArray({3}, MLMultiArrayDataType::float16, 2.0f).number(0), 0.0);
  EXPECT_THROW(makeMultiArray({0, 3}, MLMultiArrayDataType::float16, Float16(1)),
               MLMultiArrayCreationError);
  EXPECT_THROW(makeMultiArray({0, 3}, MLMultiArrayDataType::float32, 1.0f), PlatformMLError);
}

TEST(MLMultiArrayExtensionsTest, CreationErrorHasItsMessage) {
  const auto error = MLMultiArrayCreationError::pixelBufferFailed();
  EXPECT_EQ(error.errorDescription(),
            "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
  EXPECT_STREQ(error.what(), "pixelBufferFailed");
  EXPECT_EQ(error, MLMultiArrayCreationError::pixelBufferFailed());
}

TEST(MLMultiArrayExtensionsTest, PixelBufferDimensions) {
  const auto buffer = pixelBuffer({2, 5, 7});
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->width(), 7u);
  EXPECT_EQ(buffer->height(), 10u);
  EXPECT_EQ(pixelBuffer({9})->height(), 1u);
  EXPECT_FALSE(pixelBuffer({}));
  EXPECT_FALSE(pixelBuffer({3, -1}));
}

TEST(MLMultiArrayExtensionsTest, FromBuildsAnInt32Row) {
  const auto array = from({50258, 50259, -1}, 3);
  EXPECT_EQ(array.shape(), (std::vector<int64_t>{1, 1, 3}));
  EXPECT_EQ(array.dataType(), MLMultiArrayDataType::int32);
  EXPECT_EQ(array.toFloatVector(), (std::vector<float>{50258, 50259, -1}));
  EXPECT_EQ(from({4}, 1).shape(), (std::vector<int64_t>{1}));
  EXPECT_THROW(from({1}, 0), PlatformMLError);
  EXPECT_THROW(from({int64_t{1} << 31}, 2), PlatformMLError);
  EXPECT_THROW(from({}, 2), PlatformMLError);
}

TEST(MLMultiArrayExtensionsTest, LinearOffsetExamples) {
  const MLMultiArray array({2, 2, 3}, MLMultiArrayDataType::float32);
  const std::vector<int64_t> zero{0, 0, 0}, index{0, 1, 2}, strides{6, 3, 1};
  EXPECT_EQ(linearOffset(array, zero), 0);
  EXPECT_EQ(linearOffset(index, strides), 5);
  EXPECT_EQ(linearOffset(array, index), 5);
  const std::vector<int64_t> shortIndex{1, 1}, huge{int64_t{1} << 62, 4};
  EXPECT_THROW(linearOffset(array, shortIndex), PlatformMLError);
  EXPECT_THROW(linearOffset(huge, std::vector<int64_t>{4, 1}), PlatformMLError);
}

TEST(MLMultiArrayExtensionsTest, FillSkipsWrongIndexesSilently) {
  const auto array = makeMultiArray({1, 2, 3}, MLMultiArrayDataType::float16, Float16(0));
  fill(array,
       {{0, 1, 2},      // valid
        {0, 1},         // wrong length
        {0, 2, 0},      // component equal to its dimension
        {0, 0, -1},     // negative
        {0, 0, 0, 0}},  // too long
       Float16(-10000));
  std::vector<float> expected(6, 0.0f);
  expected[5] = -10000.0f;
  EXPECT_EQ(array.toFloatVector(), expected);
  const MLMultiArray ints({2, 2}, MLMultiArrayDataType::int32);
  fill(ints, {{1, 0}, {2, 0}}, int32_t{9});
  EXPECT_EQ(ints.toFloatVector(), (std::vector<float>{0, 0, 9, 0}));
  // A value wider than the elements would write past them: refused.
  EXPECT_THROW(fill(array, {{0, 0, 0}}, 1.0f), PlatformMLError);
}

TEST(MLMultiArrayExtensionsTest, FillLastDimensionWritesTheRange) {
  const auto mask = makeMultiArray({1, 1, 6}, MLMultiArrayDataType::float16, Float16(-10000));
  fillLastDimension(mask, 0, 3, Float16(0));
  EXPECT_EQ(mask.toFloatVector(), (std::vector<float>{0, 0, 0, -10000, -10000, -10000}));
  fillLastDimension(mask, 6, 6, Float16(1));  // empty range at the end
  EXPECT_THROW(fillLastDimension(mask, 4, 7, Float16(0)), PlatformMLError);
  EXPECT_THROW(fillLastDimension(mask, 3, 2, Float16(0)), PlatformMLError);
  const auto wrongShape = makeMultiArray({2, 1, 6}, MLMultiArrayDataType::float16, Float16(0));
  EXPECT_THROW(fillLastDimension(wrongShape, 0, 1, Float16(0)), PlatformMLError);
  const MLMultiArray wrongType({1, 1, 6}, MLMultiArrayDataType::float32);
  EXPECT_THROW(fillLastDimension(wrongType, 0, 1, Float16(0)), PlatformMLError);
}

}  // namespace
}  // namespace orvane
