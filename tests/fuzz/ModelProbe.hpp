#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Platform/ML/MLFeatureProvider.hpp"
#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/MLMultiArray.hpp"
#include "Platform/ML/PlatformMLError.hpp"

namespace fuzzsupport {

// What running a loaded model on zeros of its declared inputs showed.
enum class ProbeOutcome { ran, refused, tooLarge };

// Runs `model` once on zero-filled inputs of exactly the declared shapes and
// checks that every declared output comes back with its declared shape.
// Returns false when an output is missing or misshapen: a model that loads
// must keep the promises of its description. Inputs above `elementLimit`
// are not tried, so that a declared giant shape does not make a run slow.
inline bool probeModel(const platform::ml::MLModel& model, ProbeOutcome& outcome,
                       int64_t elementLimit = int64_t{1} << 22) {
  using namespace platform::ml;
  std::map<std::string, MLFeatureValue, std::less<>> inputs;
  for (const auto& [name, description] : model.modelDescription().inputDescriptionsByName) {
    if (!description.multiArrayConstraint) continue;
    const auto& constraint = *description.multiArrayConstraint;
    int64_t elements = 1;
    for (const int64_t dimension : constraint.shape) {
      if (dimension <= 0 || dimension > elementLimit || elements > elementLimit / dimension) {
        outcome = ProbeOutcome::tooLarge;
        return true;
      }
      elements *= dimension;
    }
    inputs.emplace(name, MLFeatureValue(MLMultiArray(constraint.shape, constraint.dataType)));
  }
  std::shared_ptr<MLFeatureProvider> outputs;
  try {
    outputs = model.prediction(MLDictionaryFeatureProvider(std::move(inputs)));
  } catch (const PlatformMLError&) {
    outcome = ProbeOutcome::refused;
    return true;
  }
  outcome = ProbeOutcome::ran;
  for (const auto& [name, description] : model.modelDescription().outputDescriptionsByName) {
    const auto value = outputs->featureValue(name);
    if (!value) return false;
    const auto array = value->multiArrayValue();
    if (description.multiArrayConstraint &&
        (!array || array->shape() != description.multiArrayConstraint->shape)) {
      return false;
    }
  }
  return true;
}

}  // namespace fuzzsupport
