#include "OrvaneCore/MLModelExtensions.hpp"

#include "OrvaneCore/Logging.hpp"
#include "Platform/ML/RuntimeLog.hpp"

namespace orvane {

std::string_view description(MLComputeUnits units) noexcept {
  return platform::ml::computeUnitsName(units);
}

std::string_view displayName(MLComputeUnits units) noexcept {
  switch (units) {
    case MLComputeUnits::cpuOnly: return "CPU";
    case MLComputeUnits::cpuAndGPU: return "GPU";
    case MLComputeUnits::all: return "All";
    case MLComputeUnits::cpuAndNeuralEngine: return "Neural Engine";
  }
  return "Unknown";
}

std::future<std::shared_ptr<MLFeatureProvider>> asyncPrediction(
    const MLModel& model, std::shared_ptr<const MLFeatureProvider> from,
    MLPredictionOptions options) {
  return model.predictionAsync(std::move(from), options);
}

namespace ModelUtilities {

namespace {
std::optional<std::vector<int64_t>> shapeOf(
    const std::map<std::string, platform::ml::MLFeatureDescription, std::less<>>& features,
    std::string_view named) {
  const auto found = features.find(named);
  if (found == features.end() || found->second.type != platform::ml::MLFeatureType::multiArray ||
      !found->second.multiArrayConstraint) {
    return std::nullopt;
  }
  return found->second.multiArrayConstraint->shape;
}

std::optional<int64_t> dimension(const std::optional<std::vector<int64_t>>& shape,
                                 int64_t position) {
  if (!shape || position < 0 || position >= static_cast<int64_t>(shape->size())) {
    return std::nullopt;
  }
  return (*shape)[static_cast<size_t>(position)];
}
}  // namespace

std::optional<std::vector<int64_t>> getModelInputShape(const MLModel* model,
                                                       std::string_view named) {
  if (model == nullptr) return std::nullopt;
  return shapeOf(model->modelDescription().inputDescriptionsByName, named);
}

std::optional<std::vector<int64_t>> getModelOutputShape(const MLModel* model,
                                                        std::string_view named) {
  if (model == nullptr) return std::nullopt;
  return shapeOf(model->modelDescription().outputDescriptionsByName, named);
}

std::optional<int64_t> getModelInputDimension(const MLModel* model, std::string_view named,
                                              int64_t position) {
  return dimension(getModelInputShape(model, named), position);
}

std::optional<int64_t> getModelOutputDimension(const MLModel* model, std::string_view named,
                                               int64_t position) {
  return dimension(getModelOutputShape(model, named), position);
}

}  // namespace ModelUtilities

void routeRuntimeLogToLogging() {
  platform::ml::RuntimeLog::setSink(
      [](platform::ml::RuntimeLog::Level level, const std::string& line) {
        switch (level) {
          case platform::ml::RuntimeLog::Level::debug: Logging::debug(line); break;
          case platform::ml::RuntimeLog::Level::info: Logging::info(line); break;
          case platform::ml::RuntimeLog::Level::error: Logging::error(line); break;
        }
      });
}

namespace {
// Installed when this file is linked, which every user of the model
// helpers does, so the runtime's lines follow the engine's log level.
const bool runtimeLogRouted = (routeRuntimeLogToLogging(), true);
}  // namespace

}  // namespace orvane
