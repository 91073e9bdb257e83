#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ML/MLComputeUnits.hpp"
#include "Platform/ML/MLMultiArray.hpp"
#include "Platform/ML/ModelManifest.hpp"
#include "Platform/ML/SafeTensors.hpp"

namespace platform::ml {

using FeatureArrays = std::map<std::string, MLMultiArray, std::less<>>;

// The processors a model runs on. Only the CPU backend exists; executors
// receive the choice so that another backend can be added behind them
// without touching the callers of the runtime.
enum class ComputeBackend { cpu };
std::string_view backendName(ComputeBackend backend) noexcept;
ComputeBackend selectBackend(MLComputeUnits computeUnits) noexcept;

struct ExecutorContext {
  const ModelManifest& manifest;
  std::shared_ptr<const SafeTensors> weights;  // null for kinds without weights
  ComputeBackend backend = ComputeBackend::cpu;
  std::string fileLabel;  // the model.json path, for messages
};

// Runs one kind of model. predict() gets every declared input with its
// declared shape and type (possibly strided: read through the strides, or
// take contiguousArray()), and returns every declared output; it
// is called from many threads at once and must keep no per-call state in
// the executor.
class ModelExecutor {
 public:
  virtual ~ModelExecutor() = default;
  virtual FeatureArrays predict(const FeatureArrays& inputs) const = 0;
};

struct ExecutorKind {
  std::string_view kind;
  bool needsWeights;
  // Checks the manifest's parameters, features and the weights; throws
  // PlatformMLError (modelLoadFailed) naming what is wrong.
  std::unique_ptr<const ModelExecutor> (*create)(const ExecutorContext& context);
};

// The kinds this runtime can run.
std::span<const ExecutorKind> executorKinds();
const ExecutorKind* findExecutorKind(std::string_view kind);

// Checks used by the executors' factories; each throws PlatformMLError
// (modelLoadFailed) with the file label in front.
namespace manifest_checks {
[[noreturn]] void fail(const ExecutorContext& context, const std::string& problem);
// The declared input/output of that name with that data type and rank.
const MLMultiArrayConstraint& input(const ExecutorContext& context, std::string_view name,
                                    MLMultiArrayDataType dataType, size_t rank);
const MLMultiArrayConstraint& output(const ExecutorContext& context, std::string_view name,
                                     MLMultiArrayDataType dataType, size_t rank);
// A positive integer parameter.
int64_t integer(const ExecutorContext& context, std::string_view name);
// The weights tensor of that name with exactly that shape.
const TensorInfo& tensor(const ExecutorContext& context, std::string_view name,
                         const std::vector<int64_t>& shape);
}  // namespace manifest_checks

// A contiguous array of `dataType` holding the values of `array` (the same
// handle when nothing needs to change).
MLMultiArray contiguousArray(const MLMultiArray& array, MLMultiArrayDataType dataType);

// Float32 copies of an array's values in row-major order, and the reverse
// into a fresh array of the given shape and type.
std::vector<float> floatValues(const MLMultiArray& array);
MLMultiArray arrayFromFloats(std::span<const float> values, const std::vector<int64_t>& shape,
                             MLMultiArrayDataType dataType);

}  // namespace platform::ml
