#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Platform/ML/MLMultiArrayDataType.hpp"
#include "Platform/ML/PlatformMLError.hpp"

namespace platform::ml {

class PixelBuffer;

// An n-dimensional array of numbers addressed through strides (in elements).
// It is a handle: copies share the same storage, which lives as long as any
// handle (or view made from one) does. Every constructor and accessor checks
// its arguments and throws PlatformMLError rather than touch memory it
// should not.
class MLMultiArray {
 public:
  // A contiguous row-major array, zero-filled. Every dimension must be
  // positive and the byte size must fit in memory.
  MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType);

  // A half-precision array over a pixel buffer: the last dimension runs
  // along a row (it must equal the buffer's width) and the product of the
  // others is the number of rows (it must equal the height). Rows may be
  // padded, so the second-to-last stride can exceed the last dimension.
  MLMultiArray(const PixelBuffer& pixelBuffer, std::vector<int64_t> shape);

  // A view over storage that `owner` keeps alive, with explicit strides;
  // the runtime uses it to hand out weights and outputs without copying.
  MLMultiArray(std::shared_ptr<void> owner, void* data, std::vector<int64_t> shape,
               std::vector<int64_t> strides, MLMultiArrayDataType dataType);

  const std::vector<int64_t>& shape() const noexcept { return shape_; }
  const std::vector<int64_t>& strides() const noexcept { return strides_; }
  int64_t count() const noexcept { return count_; }
  MLMultiArrayDataType dataType() const noexcept { return dataType_; }
  // Valid for as long as any handle to this storage exists.
  void* dataPointer() const noexcept { return data_; }
  // Bytes from dataPointer() to just past the last element the strides reach.
  size_t byteExtent() const noexcept { return byteExtent_; }
  // Strides are exactly those of a row-major array of this shape.
  bool isContiguous() const noexcept;
  // Both handles address the same storage.
  bool sharesStorage(const MLMultiArray& other) const noexcept { return owner_ == other.owner_; }

  // The data pointer typed; throws when T is not the array's element type.
  template <typename T>
  T* data() const {
    checkElementType(dataTypeOf<T>());
    return static_cast<T*>(data_);
  }

  // Element offset (in elements, through the strides) of the element at a
  // row-major linear index in [0, count).
  int64_t offsetOfLinearIndex(int64_t linearIndex) const;

  // Reads and writes a number at a row-major linear index, converted from
  // and to the element type (rounded to nearest for half precision,
  // truncated toward zero and range-checked for the integer types).
  double number(int64_t linearIndex) const;
  void setNumber(int64_t linearIndex, double value);

  // Raw and typed access to the whole storage extent with the strides.
  template <typename Body>
  decltype(auto) withUnsafeBytes(Body&& body) const {
    return body(std::span<const std::byte>(static_cast<const std::byte*>(data_), byteExtent_));
  }
  template <typename Body>
  decltype(auto) withUnsafeMutableBytes(Body&& body) const {
    return body(std::span<std::byte>(static_cast<std::byte*>(data_), byteExtent_), strides_);
  }
  template <typename T, typename Body>
  decltype(auto) withUnsafeMutableBufferPointer(Body&& body) const {
    T* typed = data<T>();
    return body(std::span<T>(typed, byteExtent_ / sizeof(T)), strides_);
  }

  // Elements in row-major order, converted to 32-bit floats.
  std::vector<float> toFloatVector() const;
  // A contiguous deep copy with its own storage.
  MLMultiArray copy() const;

 private:
  void checkElementType(std::optional<MLMultiArrayDataType> requested) const;
  void validateLayout();

  std::shared_ptr<void> owner_;
  void* data_ = nullptr;
  std::vector<int64_t> shape_;
  std::vector<int64_t> strides_;
  int64_t count_ = 0;
  size_t byteExtent_ = 0;
  MLMultiArrayDataType dataType_;
};

// The row-major strides of a shape.
std::vector<int64_t> rowMajorStrides(const std::vector<int64_t>& shape);

// "[1, 80, 3000]", for messages.
std::string shapeText(const std::vector<int64_t>& shape);

}  // namespace platform::ml
