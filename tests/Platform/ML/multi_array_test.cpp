#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/ML/MLMultiArray.hpp"
#include "Platform/ML/MLShapedArray.hpp"
#include "Platform/ML/PixelBuffer.hpp"

namespace platform::ml {
namespace {

TEST(MLMultiArrayTest, CreatesZeroedRowMajorArraysOfEveryType) {
  const std::vector<std::pair<MLMultiArrayDataType, size_t>> types{
      {MLMultiArrayDataType::float16, 2},
      {MLMultiArrayDataType::float32, 4},
      {MLMultiArrayDataType::float64, 8},
      {MLMultiArrayDataType::int8, 1},
      {MLMultiArrayDataType::int32, 4}};
  for (const auto& [type, size] : types) {
    SCOPED_TRACE(dataTypeName(type));
    const MLMultiArray array({2, 3, 4}, type);
    EXPECT_EQ(array.strides(), (std::vector<int64_t>{12, 4, 1}));
    EXPECT_EQ(array.count(), 24);
    EXPECT_EQ(array.dataType(), type);
    EXPECT_EQ(array.byteExtent(), 24 * size);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(array.dataPointer()) % 64, 0u);
    EXPECT_TRUE(array.isContiguous());
    for (int64_t i = 0; i < array.count(); ++i) ASSERT_EQ(array.number(i), 0.0);
  }
}

TEST(MLMultiArrayTest, RefusesBadShapes) {
  const std::vector<std::vector<int64_t>> shapes{
      {}, {0}, {3, -1}, {int64_t{1} << 40, int64_t{1} << 40}};
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shapeText(shape));
    EXPECT_THROW(MLMultiArray(shape, MLMultiArrayDataType::float32), PlatformMLError);
  }
}

TEST(MLMultiArrayTest, CopiesOfTheHandleShareStorage) {
  MLMultiArray array({4}, MLMultiArrayDataType::int32);
  MLMultiArray alias = array;
  alias.setNumber(2, 7);
  EXPECT_EQ(array.number(2), 7.0);
  EXPECT_TRUE(array.sharesStorage(alias));
  const MLMultiArray deep = array.copy();
  deep.data<int32_t>()[2] = 1;
  EXPECT_EQ(array.number(2), 7.0);
  EXPECT_FALSE(deep.sharesStorage(array));
}

TEST(MLMultiArrayTest, ConvertsNumbersToTheElementType) {
  struct Case {
    MLMultiArrayDataType type;
    double written;
    double readBack;
  };
  const std::vector<Case> cases{
      {MLMultiArrayDataType::float16, -10000.0, -10000.0},
      {MLMultiArrayDataType::float16, 0.1, 0.0999755859375},  // nearest half
      {MLMultiArrayDataType::float16, 70000.0, std::numeric_limits<double>::infinity()},
      {MLMultiArrayDataType::float32, 0.1, static_cast<double>(0.1f)},
      {MLMultiArrayDataType::int32, -7.9, -7.0},  // truncated toward zero
      {MLMultiArrayDataType::int8, 127.0, 127.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(dataTypeName(c.type)) + " " + std::to_string(c.written));
    MLMultiArray array({1}, c.type);
    array.setNumber(0, c.written);
    EXPECT_EQ(array.number(0), c.readBack);
  }
}

TEST(MLMultiArrayTest, RefusesOutOfRangeIndexesValuesAndTypes) {
  MLMultiArray ints({2}, MLMultiArrayDataType::int8);
  EXPECT_THROW(ints.setNumber(0, 128.0), PlatformMLError);
  EXPECT_THROW(ints.setNumber(0, std::nan("")), PlatformMLError);
  EXPECT_THROW(ints.setNumber(2, 1.0), PlatformMLError);
  EXPECT_THROW(ints.number(-1), PlatformMLError);
  EXPECT_THROW(ints.data<float>(), PlatformMLError);
  EXPECT_NO_THROW(ints.data<int8_t>());
  MLMultiArray int32s({1}, MLMultiArrayDataType::int32);
  EXPECT_THROW(int32s.setNumber(0, 3e9), PlatformMLError);
}

TEST(MLMultiArrayTest, PixelBufferArraysHavePaddedRows) {
  const auto buffer = PixelBuffer::create(3, 4);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->bytesPerRow(), 64u);
  MLMultiArray array(*buffer, {2, 2, 3});
  EXPECT_EQ(array.strides(), (std::vector<int64_t>{64, 32, 1}));
  EXPECT_FALSE(array.isContiguous());
  EXPECT_EQ(array.count(), 12);
  for (int64_t i = 0; i < 12; ++i) array.setNumber(i, static_cast<double>(i));
  // Element [1, 0, 2] (linear index 8) lies at offset 64 + 2.
  EXPECT_EQ(static_cast<float>(array.data<Float16>()[66]), 8.0f);
  const MLMultiArray dense = array.copy();
  EXPECT_TRUE(dense.isContiguous());
  EXPECT_EQ(dense.toFloatVector(), array.toFloatVector());
  EXPECT_EQ(dense.number(11), 11.0);
}

TEST(MLMultiArrayTest, PixelBufferShapeMustMatchTheBuffer) {
  const auto buffer = PixelBuffer::create(3, 4);
  ASSERT_TRUE(buffer);
  EXPECT_THROW(MLMultiArray(*buffer, {4, 4}), PlatformMLError);
  EXPECT_THROW(MLMultiArray(*buffer, {3, 3}), PlatformMLError);
  EXPECT_FALSE(PixelBuffer::create(0, 4));
}

TEST(MLMultiArrayTest, ViewsAreCheckedAndKeepTheirOwnerAlive) {
  auto owner = std::make_shared<std::vector<float>>(std::vector<float>{1, 2, 3, 4, 5, 6});
  const MLMultiArray column(owner, owner->data() + 1, {3}, {2}, MLMultiArrayDataType::float32);
  std::weak_ptr<std::vector<float>> watch = owner;
  owner.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(column.toFloatVector(), (std::vector<float>{2, 4, 6}));
  EXPECT_EQ(column.byteExtent(), 5 * sizeof(float));
  EXPECT_THROW(MLMultiArray(nullptr, nullptr, {3}, {1}, MLMultiArrayDataType::float32),
               PlatformMLError);
  EXPECT_THROW(
      MLMultiArray(watch.lock(), column.dataPointer(), {3}, {1, 1}, MLMultiArrayDataType::float32),
      PlatformMLError);
}

TEST(MLShapedArrayTest, ReadsThroughStridesAndConvertsBack) {
  const auto buffer = PixelBuffer::create(3, 2);
  ASSERT_TRUE(buffer);
  MLMultiArray padded(*buffer, {2, 3});
  for (int64_t i = 0; i < 6; ++i) padded.setNumber(i, static_cast<double>(i) - 2.5);
  const MLShapedArray<float> floats(padded);
  EXPECT_EQ(floats.shape, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(floats.scalars, (std::vector<float>{-2.5f, -1.5f, -0.5f, 0.5f, 1.5f, 2.5f}));
  const MLMultiArray back = floats.multiArray();
  EXPECT_EQ(back.dataType(), MLMultiArrayDataType::float32);
  EXPECT_EQ(back.toFloatVector(), floats.scalars);
  EXPECT_THROW((MLShapedArray<int32_t>({2, 2}, {1, 2, 3}).multiArray()), PlatformMLError);
}

}  // namespace
}  // namespace platform::ml
