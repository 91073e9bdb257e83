#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Platform/ML/MLFeatureValue.hpp"

namespace platform::ml {

// A set of named feature values: a model's inputs (the callers' own types)
// or its outputs.
class MLFeatureProvider {
 public:
  virtual ~MLFeatureProvider() = default;
  virtual std::set<std::string> featureNames() const = 0;
  // None when there is no feature of that name.
  virtual std::optional<MLFeatureValue> featureValue(std::string_view name) const = 0;
};

class MLDictionaryFeatureProvider : public MLFeatureProvider {
 public:
  explicit MLDictionaryFeatureProvider(
      std::map<std::string, MLFeatureValue, std::less<>> dictionary)
      : dictionary_(std::move(dictionary)) {}

  std::set<std::string> featureNames() const override {
    std::set<std::string> names;
    for (const auto& [name, value] : dictionary_) names.insert(name);
    return names;
  }
  std::optional<MLFeatureValue> featureValue(std::string_view name) const override {
    const auto found = dictionary_.find(name);
    if (found == dictionary_.end()) return std::nullopt;
    return found->second;
  }
  const std::map<std::string, MLFeatureValue, std::less<>>& dictionary() const noexcept {
    return dictionary_;
  }

 private:
  std::map<std::string, MLFeatureValue, std::less<>> dictionary_;
};

}  // namespace platform::ml
