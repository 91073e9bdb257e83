#include "OrvaneCore/MLMultiArrayExtensions.hpp"

#include <algorithm>
#include <limits>

namespace orvane {

namespace {

using platform::ml::PlatformMLError;

[[noreturn]] void invalid(const std::string& message) {
  throw PlatformMLError(PlatformMLError::Code::invalidArgument, message);
}

}  // namespace

std::optional<platform::ml::PixelBuffer> pixelBuffer(const std::vector<int64_t>& shape) {
  if (shape.empty()) return std::nullopt;
  uint64_t height = 1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] <= 0) return std::nullopt;
    if (i + 1 < shape.size() &&
        __builtin_mul_overflow(height, static_cast<uint64_t>(shape[i]), &height)) {
      return std::nullopt;
    }
  }
  return platform::ml::PixelBuffer::create(static_cast<size_t>(shape.back()),
                                           static_cast<size_t>(height));
}

namespace detail {

MLMultiArray makeFloat16MultiArray(const std::vector<int64_t>& shape) {
  const auto buffer = pixelBuffer(shape);
  if (!buffer) throw MLMultiArrayCreationError::pixelBufferFailed();
  return MLMultiArray(*buffer, shape);
}

void fillRows(const MLMultiArray& array, platform::ml::Float16 value) {
  const auto& shape = array.shape();
  const int64_t width = shape.back();
  const int64_t rowStride = shape.size() >= 2 ? array.strides()[shape.size() - 2] : width;
  auto* data = array.data<platform::ml::Float16>();
  for (int64_t row = 0; row < array.count() / width; ++row) {
    std::fill_n(data + row * rowStride, width, value);
  }
}

MLMultiArray makePlainMultiArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) {
  return MLMultiArray(shape, dataType);
}

std::vector<int64_t> validOffsets(const MLMultiArray& array,
                                  const std::vector<std::vector<int64_t>>& indexes) {
  const auto& shape = array.shape();
  const auto& strides = array.strides();
  std::vector<int64_t> offsets;
  offsets.reserve(indexes.size());
  for (const auto& index : indexes) {
    if (index.size() != shape.size()) continue;
    bool inside = true;
    int64_t offset = 0;
    for (size_t j = 0; j < index.size() && inside; ++j) {
      inside = index[j] >= 0 && index[j] < shape[j];
      offset += index[j] * strides[j];
    }
    if (inside) offsets.push_back(offset);
  }
  return offsets;
}

void checkFillType(const MLMultiArray& array, std::optional<MLMultiArrayDataType> valueType) {
  if (valueType != array.dataType()) {
    invalid("Cannot fill a " + std::string(platform::ml::dataTypeName(array.dataType())) +
            " multi-array with values of another type");
  }
}

}  // namespace detail

MLMultiArray from(const std::vector<int64_t>& values, int dims) {
  if (dims < 1) invalid("A multi-array needs at least one dimension, not " + std::to_string(dims));
  if (values.empty()) invalid("Cannot make a multi-array of no values");
  std::vector<int64_t> shape(static_cast<size_t>(dims), 1);
  shape.back() = static_cast<int64_t>(values.size());
  MLMultiArray array(shape, MLMultiArrayDataType::int32);
  auto* data = array.data<int32_t>();
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] < std::numeric_limits<int32_t>::min() ||
        values[i] > std::numeric_limits<int32_t>::max()) {
      invalid("The value " + std::to_string(values[i]) + " does not fit an Int32 element");
    }
    data[i] = static_cast<int32_t>(values[i]);
  }
  return array;
}

int64_t linearOffset(std::span<const int64_t> index, std::span<const int64_t> strides) {
  if (index.size() != strides.size()) {
    invalid("An index of " + std::to_string(index.size()) + " components does not match " +
            std::to_string(strides.size()) + " strides");
  }
  int64_t offset = 0;
  for (size_t i = 0; i < index.size(); ++i) {
    int64_t term = 0;
    if (__builtin_mul_overflow(index[i], strides[i], &term) ||
        __builtin_add_overflow(offset, term, &offset)) {
      invalid("The linear offset of the index overflows");
    }
  }
  return offset;
}

int64_t linearOffset(const MLMultiArray& array, std::span<const int64_t> index) {
  return linearOffset(index, array.strides());
}

void fillLastDimension(const MLMultiArray& array, int64_t begin, int64_t end, FloatType value) {
  const auto& shape = array.shape();
  if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1) {
    invalid("fillLastDimension needs a 1 x 1 x N multi-array, not " +
            platform::ml::shapeText(shape));
  }
  if (begin < 0 || end < begin || end > shape[2]) {
    invalid("The range " + std::to_string(begin) + "..<" + std::to_string(end) +
            " lies outside the last dimension of " + std::to_string(shape[2]));
  }
  FloatType* data = array.data<FloatType>();
  const int64_t stride = array.strides()[2];
  for (int64_t i = begin; i < end; ++i) data[i * stride] = value;
}

}  // namespace orvane
