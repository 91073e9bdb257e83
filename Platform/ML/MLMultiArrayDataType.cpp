#include "Platform/ML/MLMultiArrayDataType.hpp"

#include <array>
#include <utility>

namespace platform::ml {

namespace {
constexpr std::array<std::pair<MLMultiArrayDataType, std::string_view>, 5> names{{
    {MLMultiArrayDataType::float16, "Float16"},
    {MLMultiArrayDataType::float32, "Float32"},
    {MLMultiArrayDataType::float64, "Float64"},
    {MLMultiArrayDataType::int8, "Int8"},
    {MLMultiArrayDataType::int32, "Int32"},
}};
}  // namespace

size_t elementSize(MLMultiArrayDataType type) noexcept {
  switch (type) {
    case MLMultiArrayDataType::float16: return 2;
    case MLMultiArrayDataType::float32: return 4;
    case MLMultiArrayDataType::float64: return 8;
    case MLMultiArrayDataType::int8: return 1;
    case MLMultiArrayDataType::int32: return 4;
  }
  return 1;
}

std::string_view dataTypeName(MLMultiArrayDataType type) noexcept {
  for (const auto& [value, name] : names) {
    if (value == type) return name;
  }
  return "Unknown";
}

std::optional<MLMultiArrayDataType> dataTypeFromName(std::string_view name) noexcept {
  for (const auto& [value, text] : names) {
    if (text == name) return value;
  }
  return std::nullopt;
}

}  // namespace platform::ml
