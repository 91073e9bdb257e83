#include "Platform/ML/MLMultiArray.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Platform/ML/PixelBuffer.hpp"

namespace platform::ml {

namespace {

constexpr size_t storageAlignment = 64;

[[noreturn]] void invalid(const std::string& message) {
  throw PlatformMLError(PlatformMLError::Code::invalidArgument, message);
}

bool multiplyChecked(int64_t a, int64_t b, int64_t& result) {
  return !__builtin_mul_overflow(a, b, &result);
}

std::shared_ptr<void> allocateZeroed(size_t bytes) {
  const size_t rounded = (bytes + storageAlignment - 1) / storageAlignment * storageAlignment;
  void* memory = std::aligned_alloc(storageAlignment, rounded == 0 ? storageAlignment : rounded);
  if (memory == nullptr) {
    throw PlatformMLError(
        PlatformMLError::Code::allocationFailed,
        "Could not allocate " + std::to_string(bytes) + " bytes for a multi-array");
  }
  std::memset(memory, 0, rounded);
  return std::shared_ptr<void>(memory, std::free);
}

template <typename Integer>
Integer checkedInteger(double value, MLMultiArrayDataType type) {
  const double truncated = std::trunc(value);
  if (!std::isfinite(value) ||
      truncated < static_cast<double>(std::numeric_limits<Integer>::min()) ||
      truncated > static_cast<double>(std::numeric_limits<Integer>::max())) {
    invalid("The value " + std::to_string(value) + " does not fit a " +
            std::string(dataTypeName(type)) + " multi-array element");
  }
  return static_cast<Integer>(truncated);
}

}  // namespace

std::vector<int64_t> rowMajorStrides(const std::vector<int64_t>& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  for (size_t i = shape.size(); i-- > 1;) strides[i - 1] = strides[i] * shape[i];
  return strides;
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string text = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

MLMultiArray::MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType)
    : shape_(std::move(shape)), dataType_(dataType) {
  strides_ = std::vector<int64_t>(shape_.size(), 1);
  validateLayout();  // checks the shape before the strides are derived from it
  strides_ = rowMajorStrides(shape_);
  validateLayout();
  owner_ = allocateZeroed(byteExtent_);
  data_ = owner_.get();
}

MLMultiArray::MLMultiArray(const PixelBuffer& pixelBuffer, std::vector<int64_t> shape)
    : shape_(std::move(shape)), dataType_(MLMultiArrayDataType::float16) {
  if (shape_.empty()) invalid("A multi-array over a pixel buffer needs at least one dimension");
  strides_ = std::vector<int64_t>(shape_.size(), 1);
  validateLayout();
  int64_t rows = 1;
  for (size_t i = 0; i + 1 < shape_.size(); ++i) rows *= shape_[i];
  if (static_cast<uint64_t>(shape_.back()) != pixelBuffer.width() ||
      static_cast<uint64_t>(rows) != pixelBuffer.height()) {
    invalid("The shape " + shapeText(shape_) + " does not match a pixel buffer of " +
            std::to_string(pixelBuffer.width()) + " x " + std::to_string(pixelBuffer.height()));
  }
  const auto rowStride = static_cast<int64_t>(pixelBuffer.bytesPerRow() / sizeof(Float16));
  if (shape_.size() >= 2) {
    strides_[shape_.size() - 2] = rowStride;
    for (size_t i = shape_.size() - 2; i-- > 0;) strides_[i] = strides_[i + 1] * shape_[i + 1];
  }
  validateLayout();
  owner_ = pixelBuffer.storage();
  data_ = pixelBuffer.baseAddress();
}

MLMultiArray::MLMultiArray(std::shared_ptr<void> owner, void* data, std::vector<int64_t> shape,
                           std::vector<int64_t> strides, MLMultiArrayDataType dataType)
    : owner_(std::move(owner)),
      data_(data),
      shape_(std::move(shape)),
      strides_(std::move(strides)),
      dataType_(dataType) {
  if (data_ == nullptr) invalid("A multi-array view needs storage");
  validateLayout();
}

void MLMultiArray::validateLayout() {
  if (shape_.empty()) invalid("A multi-array needs at least one dimension");
  if (strides_.size() != shape_.size()) {
    invalid("The strides " + shapeText(strides_) + " do not match the shape " + shapeText(shape_));
  }
  int64_t count = 1;
  int64_t lastOffset = 0;
  for (size_t i = 0; i < shape_.size(); ++i) {
    if (shape_[i] <= 0)
      invalid("The multi-array shape " + shapeText(shape_) + " has a dimension below 1");
    if (strides_[i] < 0)
      invalid("The multi-array strides " + shapeText(strides_) + " are negative");
    int64_t reach = 0;
    if (!multiplyChecked(count, shape_[i], count) ||
        !multiplyChecked(shape_[i] - 1, strides_[i], reach) ||
        __builtin_add_overflow(lastOffset, reach, &lastOffset)) {
      invalid("The multi-array shape " + shapeText(shape_) + " is too large");
    }
  }
  int64_t extent = 0;
  if (__builtin_add_overflow(lastOffset, 1, &extent) ||
      !multiplyChecked(extent, static_cast<int64_t>(elementSize(dataType_)), extent) ||
      extent > std::numeric_limits<int64_t>::max() / 2) {
    invalid("The multi-array shape " + shapeText(shape_) + " is too large");
  }
  count_ = count;
  byteExtent_ = static_cast<size_t>(extent);
}

bool MLMultiArray::isContiguous() const noexcept {
  return strides_ == rowMajorStrides(shape_);
}

void MLMultiArray::checkElementType(std::optional<MLMultiArrayDataType> requested) const {
  if (requested != dataType_) {
    invalid("The multi-array holds " + std::string(dataTypeName(dataType_)) + " elements, not " +
            (requested ? std::string(dataTypeName(*requested)) : std::string("that type")));
  }
}

int64_t MLMultiArray::offsetOfLinearIndex(int64_t linearIndex) const {
  if (linearIndex < 0 || linearIndex >= count_) {
    invalid("The index " + std::to_string(linearIndex) + " is outside a multi-array of " +
            std::to_string(count_) + " elements");
  }
  int64_t offset = 0;
  for (size_t i = shape_.size(); i-- > 0;) {
    offset += (linearIndex % shape_[i]) * strides_[i];
    linearIndex /= shape_[i];
  }
  return offset;
}

double MLMultiArray::number(int64_t linearIndex) const {
  const int64_t offset = offsetOfLinearIndex(linearIndex);
  switch (dataType_) {
    case MLMultiArrayDataType::float16:
      return static_cast<double>(static_cast<Float16*>(data_)[offset]);
    case MLMultiArrayDataType::float32: return static_cast<float*>(data_)[offset];
    case MLMultiArrayDataType::float64: return static_cast<double*>(data_)[offset];
    case MLMultiArrayDataType::int8: return static_cast<int8_t*>(data_)[offset];
    case MLMultiArrayDataType::int32: return static_cast<int32_t*>(data_)[offset];
  }
  return 0;
}

void MLMultiArray::setNumber(int64_t linearIndex, double value) {
  const int64_t offset = offsetOfLinearIndex(linearIndex);
  switch (dataType_) {
    case MLMultiArrayDataType::float16:
      static_cast<Float16*>(data_)[offset] = static_cast<Float16>(value);
      break;
    case MLMultiArrayDataType::float32:
      static_cast<float*>(data_)[offset] = static_cast<float>(value);
      break;
    case MLMultiArrayDataType::float64: static_cast<double*>(data_)[offset] = value; break;
    case MLMultiArrayDataType::int8:
      static_cast<int8_t*>(data_)[offset] = checkedInteger<int8_t>(value, dataType_);
      break;
    case MLMultiArrayDataType::int32:
      static_cast<int32_t*>(data_)[offset] = checkedInteger<int32_t>(value, dataType_);
      break;
  }
}

std::vector<float> MLMultiArray::toFloatVector() const {
  std::vector<float> values(static_cast<size_t>(count_));
  for (int64_t i = 0; i < count_; ++i)
    values[static_cast<size_t>(i)] = static_cast<float>(number(i));
  return values;
}

MLMultiArray MLMultiArray::copy() const {
  MLMultiArray result(shape_, dataType_);
  const size_t size = elementSize(dataType_);
  if (isContiguous()) {
    std::memcpy(result.data_, data_, static_cast<size_t>(count_) * size);
    return result;
  }
  auto* target = static_cast<std::byte*>(result.data_);
  const auto* source = static_cast<const std::byte*>(data_);
  for (int64_t i = 0; i < count_; ++i) {
    std::memcpy(target + i * size, source + offsetOfLinearIndex(i) * size, size);
  }
  return result;
}

}  // namespace platform::ml
