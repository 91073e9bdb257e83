#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ML/MLFeatureValue.hpp"
#include "Platform/ML/MLMultiArrayDataType.hpp"

namespace platform::ml {

struct MLMultiArrayConstraint {
  std::vector<int64_t> shape;
  MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};

struct MLFeatureDescription {
  std::string name;
  MLFeatureType type = MLFeatureType::multiArray;
  // Present for multi-array features.
  std::optional<MLMultiArrayConstraint> multiArrayConstraint;
};

// What a loaded model takes and gives, by feature name.
struct MLModelDescription {
  std::map<std::string, MLFeatureDescription, std::less<>> inputDescriptionsByName;
  std::map<std::string, MLFeatureDescription, std::less<>> outputDescriptionsByName;
};

}  // namespace platform::ml
