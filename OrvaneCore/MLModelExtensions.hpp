#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ML/MLModel.hpp"

namespace orvane {

using platform::ml::MLComputeUnits;
using platform::ml::MLFeatureProvider;
using platform::ml::MLModel;
using platform::ml::MLPredictionOptions;

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" otherwise.
std::string_view description(MLComputeUnits units) noexcept;
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" otherwise.
std::string_view displayName(MLComputeUnits units) noexcept;

// The model's prediction on the shared thread pool; the future carries the
// outputs or the runtime's error unchanged.
std::future<std::shared_ptr<MLFeatureProvider>> asyncPrediction(
    const MLModel& model, std::shared_ptr<const MLFeatureProvider> from,
    MLPredictionOptions options = {});

// Something that loads and unloads one model.
class MLModelLoading {
 public:
  virtual ~MLModelLoading() = default;
  virtual std::future<void> loadModel(const std::filesystem::path& at, MLComputeUnits computeUnits,
                                      bool prewarmMode) = 0;
  virtual void unloadModel() = 0;
  std::future<void> loadModel(const std::filesystem::path& at, MLComputeUnits computeUnits) {
    return loadModel(at, computeUnits, false);
  }
};

// Shape queries on a possibly absent model. None when the model is absent,
// the name is unknown, or the feature is not a constrained multi-array.
namespace ModelUtilities {
std::optional<std::vector<int64_t>> getModelInputShape(const MLModel* model,
                                                       std::string_view named);
std::optional<std::vector<int64_t>> getModelOutputShape(const MLModel* model,
                                                        std::string_view named);
// Element `position` of that shape; none when the shape is none or the
// position is outside it.
std::optional<int64_t> getModelInputDimension(const MLModel* model, std::string_view named,
                                              int64_t position);
std::optional<int64_t> getModelOutputDimension(const MLModel* model, std::string_view named,
                                               int64_t position);
}  // namespace ModelUtilities

// Sends the model runtime's diagnostics to the shared logger (debug level
// and up). Done once automatically when this library is linked in; calling it
// again is harmless.
void routeRuntimeLogToLogging();

}  // namespace orvane
