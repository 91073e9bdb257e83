#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace platform::ml {

// IEEE 754 binary16, the element type of most model tensors.
using Float16 = _Float16;

enum class MLMultiArrayDataType { float16, float32, float64, int8, int32 };

// Bytes per element.
size_t elementSize(MLMultiArrayDataType type) noexcept;

// "Float16", "Float32", "Float64", "Int8", "Int32": the names used in model
// descriptions and messages.
std::string_view dataTypeName(MLMultiArrayDataType type) noexcept;
std::optional<MLMultiArrayDataType> dataTypeFromName(std::string_view name) noexcept;

// The data type whose elements are of C++ type T, for typed access checks.
template <typename T>
constexpr std::optional<MLMultiArrayDataType> dataTypeOf() {
  if constexpr (std::is_same_v<T, Float16>) return MLMultiArrayDataType::float16;
  if constexpr (std::is_same_v<T, float>) return MLMultiArrayDataType::float32;
  if constexpr (std::is_same_v<T, double>) return MLMultiArrayDataType::float64;
  if constexpr (std::is_same_v<T, int8_t>) return MLMultiArrayDataType::int8;
  if constexpr (std::is_same_v<T, int32_t>) return MLMultiArrayDataType::int32;
  return std::nullopt;
}

}  // namespace platform::ml
