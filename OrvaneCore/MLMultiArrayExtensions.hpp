#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "OrvaneCore/TypedError.hpp"
#include "Platform/ML/MLMultiArray.hpp"
#include "Platform/ML/PixelBuffer.hpp"

namespace orvane {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// The element type of the models' floating-point tensors.
using FloatType = platform::ml::Float16;
inline constexpr MLMultiArrayDataType floatTypeMultiArrayDataType = MLMultiArrayDataType::float16;

class MLMultiArrayCreationError : public TypedError {
 public:
  enum class Case { pixelBufferFailed };

  static MLMultiArrayCreationError pixelBufferFailed() { return MLMultiArrayCreationError(); }

  Case kind() const noexcept { return Case::pixelBufferFailed; }
  std::string errorDescription() const override {
    return "Failed to create IOSurface-backed pixel buffer for MLMultiArray";
  }
  bool operator==(const MLMultiArrayCreationError&) const { return true; }

 private:
  MLMultiArrayCreationError() : TypedError("pixelBufferFailed", {}) {}
};

// A half-precision pixel buffer for a shape: the last dimension is the width,
// the product of the others the height. None for an empty shape, a
// dimension below 1 or a failed allocation.
std::optional<platform::ml::PixelBuffer> pixelBuffer(const std::vector<int64_t>& shape);

namespace detail {
MLMultiArray makeFloat16MultiArray(const std::vector<int64_t>& shape);
MLMultiArray makePlainMultiArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType);
template <typename T>
void fillAll(const MLMultiArray& array, T value) {
  T* data = static_cast<T*>(array.dataPointer());
  // Only contiguous storage is created here, so count slots cover it.
  for (int64_t i = 0; i < array.count(); ++i) data[i] = value;
}
// Fills every element of a pixel-buffer array row by row, leaving the
// row padding alone.
void fillRows(const MLMultiArray& array, platform::ml::Float16 value);
}  // namespace detail

// A new array filled with `initialValue` when the value's type is the data
// type's element type (Float16 arrays are pixel-buffer backed); a value of
// another type leaves the array zeroed. Float16 buffer failure throws
// MLMultiArrayCreationError; the other types' failures are the runtime's.
template <typename Value>
MLMultiArray makeMultiArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType,
                            const Value& initialValue) {
  using platform::ml::Float16;
  if (dataType == MLMultiArrayDataType::float16) {
    MLMultiArray array = detail::makeFloat16MultiArray(shape);
    if constexpr (std::is_same_v<Value, Float16>) detail::fillRows(array, initialValue);
    return array;
  }
  MLMultiArray array = detail::makePlainMultiArray(shape, dataType);
  if constexpr (std::is_same_v<Value, float>) {
    if (dataType == MLMultiArrayDataType::float32) detail::fillAll(array, initialValue);
  } else if constexpr (std::is_same_v<Value, double>) {
    if (dataType == MLMultiArrayDataType::float64) detail::fillAll(array, initialValue);
  } else if constexpr (std::is_same_v<Value, int32_t>) {
    if (dataType == MLMultiArrayDataType::int32) detail::fillAll(array, initialValue);
  } else if constexpr (std::is_same_v<Value, int8_t>) {
    if (dataType == MLMultiArrayDataType::int8) detail::fillAll(array, initialValue);
  }
  return array;
}

// An Int32 array of rank `dims`, all ones but the last dimension, which is
// the number of values. Throws PlatformMLError (invalidArgument) for `dims`
// below 1, no values, or a value outside the Int32 range.
MLMultiArray from(const std::vector<int64_t>& values, int dims = 3);

// Sum of index[i] * strides[i], with the array's own strides by default.
// Throws PlatformMLError (invalidArgument) when the index and the strides
// differ in length or the sum overflows.
int64_t linearOffset(const MLMultiArray& array, std::span<const int64_t> index);
int64_t linearOffset(std::span<const int64_t> index, std::span<const int64_t> strides);

namespace detail {
// Offsets of the valid multi-indexes (as many components as the shape, each
// in [0, dimension)); the others are dropped silently.
std::vector<int64_t> validOffsets(const MLMultiArray& array,
                                  const std::vector<std::vector<int64_t>>& indexes);
void checkFillType(const MLMultiArray& array, std::optional<MLMultiArrayDataType> valueType);
}  // namespace detail

// Writes `value` at each valid multi-index; invalid ones are skipped
// silently. The value's type must be the array's element type (else
// PlatformMLError), so a write never spills past an element.
template <typename Value>
void fill(const MLMultiArray& array, const std::vector<std::vector<int64_t>>& indexes,
          Value value) {
  detail::checkFillType(array, platform::ml::dataTypeOf<Value>());
  Value* data = static_cast<Value*>(array.dataPointer());
  for (const int64_t offset : detail::validOffsets(array, indexes)) data[offset] = value;
}

// Writes `value` at positions [begin, end) of the last dimension of a
// 1 x 1 x N Float16 array. Throws PlatformMLError for another shape or type
// or a range outside [0, N].
void fillLastDimension(const MLMultiArray& array, int64_t begin, int64_t end, FloatType value);

}  // namespace orvane
