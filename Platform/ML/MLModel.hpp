#pragma once

#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "Platform/ML/MLComputeUnits.hpp"
#include "Platform/ML/MLFeatureProvider.hpp"
#include "Platform/ML/MLModelDescription.hpp"

namespace platform::ml {

class ModelExecutor;

// A compiled model folder ("<name>.mlmodelc") loaded for prediction. One
// loaded model serves any number of predictions at once from any threads.
class MLModel : public std::enable_shared_from_this<MLModel> {
  struct Passkey {};

 public:
  // Opens and fully validates the folder; throws PlatformMLError naming the
  // file and what is wrong with it.
  static std::shared_ptr<MLModel> load(const std::filesystem::path& contentsOf,
                                       const MLModelConfiguration& configuration = {});
  // The same on the shared thread pool.
  static std::future<std::shared_ptr<MLModel>> loadAsync(std::filesystem::path contentsOf,
                                                         MLModelConfiguration configuration = {});

  MLModel(Passkey, std::filesystem::path location, std::string kind, MLModelDescription description,
          MLModelConfiguration configuration, std::string backendName,
          std::unique_ptr<const ModelExecutor> executor);
  ~MLModel();
  MLModel(const MLModel&) = delete;
  MLModel& operator=(const MLModel&) = delete;

  const MLModelDescription& modelDescription() const noexcept { return description_; }
  const MLModelConfiguration& configuration() const noexcept { return configuration_; }
  const std::filesystem::path& location() const noexcept { return location_; }
  // The model.json "kind" that chose the executor.
  const std::string& kind() const noexcept { return kind_; }
  // The backend the model runs on ("cpu").
  const std::string& backendName() const noexcept { return backendName_; }

  // Checks every declared input (present, a multi-array, the declared
  // shape; other numeric types are converted to the declared one) and
  // runs the model. Throws PlatformMLError.
  std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& from,
                                                const MLPredictionOptions& options = {}) const;
  // The same on the shared thread pool; the future carries the outputs or
  // the error. The model and the inputs are kept alive until it is done.
  std::future<std::shared_ptr<MLFeatureProvider>> predictionAsync(
      std::shared_ptr<const MLFeatureProvider> from, MLPredictionOptions options = {}) const;

 private:
  std::filesystem::path location_;
  std::string kind_;
  MLModelDescription description_;
  MLModelConfiguration configuration_;
  std::string backendName_;
  std::unique_ptr<const ModelExecutor> executor_;
};

}  // namespace platform::ml
