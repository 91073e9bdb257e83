#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "Platform/ML/MLMultiArray.hpp"

namespace platform::ml {

enum class MLFeatureType { invalid, int64, double_, string, multiArray };

// One named input or output value of a model.
class MLFeatureValue {
 public:
  explicit MLFeatureValue(MLMultiArray multiArray) : value_(std::move(multiArray)) {}
  explicit MLFeatureValue(int64_t value) : value_(value) {}
  explicit MLFeatureValue(double value) : value_(value) {}
  explicit MLFeatureValue(std::string value) : value_(std::move(value)) {}

  MLFeatureType type() const noexcept {
    switch (value_.index()) {
      case 0: return MLFeatureType::int64;
      case 1: return MLFeatureType::double_;
      case 2: return MLFeatureType::string;
      default: return MLFeatureType::multiArray;
    }
  }
  // The array of a multi-array value; none for the other types.
  std::optional<MLMultiArray> multiArrayValue() const {
    if (const auto* array = std::get_if<MLMultiArray>(&value_)) return *array;
    return std::nullopt;
  }
  int64_t int64Value() const {
    const auto* v = std::get_if<int64_t>(&value_);
    return v ? *v : 0;
  }
  double doubleValue() const {
    const auto* v = std::get_if<double>(&value_);
    return v ? *v : 0.0;
  }
  std::string stringValue() const {
    const auto* v = std::get_if<std::string>(&value_);
    return v ? *v : std::string();
  }

 private:
  std::variant<int64_t, double, std::string, MLMultiArray> value_;
};

}  // namespace platform::ml
