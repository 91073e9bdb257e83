#include "Platform/ML/MLModel.hpp"

#include "Platform/ML/ModelExecutor.hpp"
#include "Platform/ML/PlatformMLError.hpp"
#include "Platform/ML/RuntimeLog.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml {

namespace {

[[noreturn]] void loadFailure(const std::filesystem::path& folder, const std::string& problem) {
  throw PlatformMLError(PlatformMLError::Code::modelLoadFailed,
                        "Failed to load the model at " + folder.string() + ": " + problem);
}

[[noreturn]] void predictionFailure(const std::filesystem::path& folder,
                                    const std::string& problem) {
  throw PlatformMLError(PlatformMLError::Code::predictionFailed,
                        "Prediction failed for the model at " + folder.string() + ": " + problem);
}

MLModelDescription describe(const ModelManifest& manifest) {
  MLModelDescription description;
  for (const auto& feature : manifest.inputs) {
    description.inputDescriptionsByName.emplace(feature.name, feature);
  }
  for (const auto& feature : manifest.outputs) {
    description.outputDescriptionsByName.emplace(feature.name, feature);
  }
  return description;
}

}  // namespace

MLModel::MLModel(Passkey, std::filesystem::path location, std::string kind,
                 MLModelDescription description, MLModelConfiguration configuration,
                 std::string backendName, std::unique_ptr<const ModelExecutor> executor)
    : location_(std::move(location)),
      kind_(std::move(kind)),
      description_(std::move(description)),
      configuration_(configuration),
      backendName_(std::move(backendName)),
      executor_(std::move(executor)) {}

MLModel::~MLModel() = default;

std::shared_ptr<MLModel> MLModel::load(const std::filesystem::path& contentsOf,
                                       const MLModelConfiguration& configuration) {
  std::error_code error;
  if (!std::filesystem::is_directory(contentsOf, error)) {
    loadFailure(contentsOf, "not a model folder");
  }
  try {
    const auto manifestPath = contentsOf / ModelManifest::fileName;
    const ModelManifest manifest = ModelManifest::read(manifestPath);
    const ExecutorKind* kind = findExecutorKind(manifest.kind);
    if (kind == nullptr) {
      loadFailure(contentsOf, manifestPath.string() + ": unknown kind \"" + manifest.kind + "\"");
    }
    std::shared_ptr<const SafeTensors> weights;
    const auto weightsPath = contentsOf / ModelManifest::weightsFileName;
    if (kind->needsWeights || std::filesystem::exists(weightsPath, error)) {
      weights = SafeTensors::open(weightsPath);
    }
    const ComputeBackend backend = selectBackend(configuration.computeUnits);
    const ExecutorContext context{manifest, weights, backend, manifestPath.string()};
    auto executor = kind->create(context);
    RuntimeLog::debug("Loaded " + manifest.kind + " model " + contentsOf.string() +
                      " (compute units " +
                      std::string(computeUnitsName(configuration.computeUnits)) + ") on the " +
                      std::string(ml::backendName(backend)) + " backend");
    return std::make_shared<MLModel>(Passkey{}, contentsOf, manifest.kind, describe(manifest),
                                     configuration, std::string(ml::backendName(backend)),
                                     std::move(executor));
  } catch (const PlatformMLError& failure) {
    if (failure.code() != PlatformMLError::Code::modelLoadFailed ||
        std::string_view(failure.what()).starts_with("Failed to load the model at ")) {
      throw;
    }
    loadFailure(contentsOf, failure.what());
  } catch (const std::bad_alloc&) {
    loadFailure(contentsOf, "out of memory");
  } catch (const std::exception& failure) {
    loadFailure(contentsOf, failure.what());
  }
}

std::future<std::shared_ptr<MLModel>> MLModel::loadAsync(std::filesystem::path contentsOf,
                                                         MLModelConfiguration configuration) {
  return ThreadPool::shared().submit([contentsOf = std::move(contentsOf), configuration] {
    return load(contentsOf, configuration);
  });
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& from,
                                                       const MLPredictionOptions&) const {
  FeatureArrays inputs;
  for (const auto& [name, feature] : description_.inputDescriptionsByName) {
    const auto value = from.featureValue(name);
    if (!value) predictionFailure(location_, "the input \"" + name + "\" is missing");
    const auto array = value->multiArrayValue();
    if (!array) predictionFailure(location_, "the input \"" + name + "\" is not a multi-array");
    const auto& constraint = *feature.multiArrayConstraint;
    if (array->shape() != constraint.shape) {
      predictionFailure(location_, "the input \"" + name + "\" has the shape " +
                                       shapeText(array->shape()) + ", expected " +
                                       shapeText(constraint.shape));
    }
    // Arrays of the right type go through as they are (strides and all), so
    // large caches are never copied per call.
    inputs.emplace(name, array->dataType() == constraint.dataType
                             ? *array
                             : contiguousArray(*array, constraint.dataType));
  }
  FeatureArrays outputs;
  try {
    outputs = executor_->predict(inputs);
  } catch (const PlatformMLError&) {
    throw;
  } catch (const std::exception& failure) {
    predictionFailure(location_, failure.what());
  }
  std::map<std::string, MLFeatureValue, std::less<>> values;
  for (const auto& [name, feature] : description_.outputDescriptionsByName) {
    const auto found = outputs.find(name);
    const auto& constraint = *feature.multiArrayConstraint;
    if (found == outputs.end() || found->second.shape() != constraint.shape ||
        found->second.dataType() != constraint.dataType) {
      predictionFailure(location_, "the " + kind_ + " executor did not produce the output \"" +
                                       name + "\" as declared");
    }
    values.emplace(name, MLFeatureValue(found->second));
  }
  return std::make_shared<MLDictionaryFeatureProvider>(std::move(values));
}

std::future<std::shared_ptr<MLFeatureProvider>> MLModel::predictionAsync(
    std::shared_ptr<const MLFeatureProvider> from, MLPredictionOptions options) const {
  if (!from) {
    throw PlatformMLError(PlatformMLError::Code::invalidArgument, "No input features given");
  }
  auto self = shared_from_this();
  return ThreadPool::shared().submit([self = std::move(self), from = std::move(from), options] {
    return self->prediction(*from, options);
  });
}

}  // namespace platform::ml
