#include "Platform/ML/ModelExecutor.hpp"

#include <cstring>

#include "Platform/ML/Float16Conversion.hpp"
#include "Platform/ML/PlatformMLError.hpp"

namespace platform::ml {

std::string_view backendName(ComputeBackend backend) noexcept {
  switch (backend) {
    case ComputeBackend::cpu: return "cpu";
  }
  return "cpu";
}

ComputeBackend selectBackend(MLComputeUnits) noexcept {
  return ComputeBackend::cpu;
}

namespace manifest_checks {

void fail(const ExecutorContext& context, const std::string& problem) {
  throw PlatformMLError(PlatformMLError::Code::modelLoadFailed, context.fileLabel + ": " + problem);
}

namespace {
const MLMultiArrayConstraint& feature(const ExecutorContext& context,
                                      const MLFeatureDescription* found, const char* role,
                                      std::string_view name, MLMultiArrayDataType dataType,
                                      size_t rank) {
  const std::string label = std::string(role) + " \"" + std::string(name) + "\"";
  if (found == nullptr) fail(context, "the " + context.manifest.kind + " kind needs the " + label);
  const auto& constraint = *found->multiArrayConstraint;
  if (constraint.dataType != dataType) {
    fail(context, "the " + label + " must be " + std::string(dataTypeName(dataType)) + ", not " +
                      std::string(dataTypeName(constraint.dataType)));
  }
  if (constraint.shape.size() != rank) {
    fail(context, "the " + label + " must have " + std::to_string(rank) + " dimensions, not " +
                      shapeText(constraint.shape));
  }
  return constraint;
}
}  // namespace

const MLMultiArrayConstraint& input(const ExecutorContext& context, std::string_view name,
                                    MLMultiArrayDataType dataType, size_t rank) {
  return feature(context, context.manifest.findInput(name), "input", name, dataType, rank);
}

const MLMultiArrayConstraint& output(const ExecutorContext& context, std::string_view name,
                                     MLMultiArrayDataType dataType, size_t rank) {
  return feature(context, context.manifest.findOutput(name), "output", name, dataType, rank);
}

int64_t integer(const ExecutorContext& context, std::string_view name) {
  const auto& parameters = context.manifest.parameters;
  const auto found = parameters.find(std::string(name));
  if (found == parameters.end()) {
    fail(context, "the parameter \"" + std::string(name) + "\" is missing");
  }
  if (!found->is_number_integer() || found->get<int64_t>() <= 0) {
    fail(context, "the parameter \"" + std::string(name) + "\" is " + found->dump() +
                      ", not a positive integer");
  }
  return found->get<int64_t>();
}

const TensorInfo& tensor(const ExecutorContext& context, std::string_view name,
                         const std::vector<int64_t>& shape) {
  if (!context.weights) fail(context, "the model has no weights");
  const TensorInfo* info = context.weights->find(name);
  if (info == nullptr) {
    throw PlatformMLError(
        PlatformMLError::Code::modelLoadFailed,
        context.weights->path().string() + ": no tensor \"" + std::string(name) + "\"");
  }
  if (info->shape != shape) {
    throw PlatformMLError(PlatformMLError::Code::modelLoadFailed,
                          context.weights->path().string() + ": tensor \"" + std::string(name) +
                              "\" has the shape " + shapeText(info->shape) + ", expected " +
                              shapeText(shape));
  }
  return *info;
}

}  // namespace manifest_checks

std::vector<float> floatValues(const MLMultiArray& array) {
  std::vector<float> values(static_cast<size_t>(array.count()));
  if (array.isContiguous()) {
    switch (array.dataType()) {
      case MLMultiArrayDataType::float32:
        std::memcpy(values.data(), array.dataPointer(), values.size() * sizeof(float));
        return values;
      case MLMultiArrayDataType::float16:
        convertFloat16ToFloat32(array.data<Float16>(), values.data(), values.size());
        return values;
      default: break;
    }
  }
  return array.toFloatVector();
}

MLMultiArray arrayFromFloats(std::span<const float> values, const std::vector<int64_t>& shape,
                             MLMultiArrayDataType dataType) {
  MLMultiArray array(shape, dataType);
  if (static_cast<size_t>(array.count()) != values.size()) {
    throw PlatformMLError(
        PlatformMLError::Code::invalidArgument,
        std::to_string(values.size()) + " values do not fill the shape " + shapeText(shape));
  }
  switch (dataType) {
    case MLMultiArrayDataType::float32:
      std::memcpy(array.dataPointer(), values.data(), values.size() * sizeof(float));
      break;
    case MLMultiArrayDataType::float16:
      convertFloat32ToFloat16(values.data(), array.data<Float16>(), values.size());
      break;
    default:
      for (size_t i = 0; i < values.size(); ++i) {
        array.setNumber(static_cast<int64_t>(i), values[i]);
      }
  }
  return array;
}

MLMultiArray contiguousArray(const MLMultiArray& array, MLMultiArrayDataType dataType) {
  if (array.dataType() == dataType) return array.isContiguous() ? array : array.copy();
  const bool floating = [](MLMultiArrayDataType type) {
    return type == MLMultiArrayDataType::float16 || type == MLMultiArrayDataType::float32;
  }(array.dataType());
  if (floating &&
      (dataType == MLMultiArrayDataType::float16 || dataType == MLMultiArrayDataType::float32)) {
    return arrayFromFloats(floatValues(array), array.shape(), dataType);
  }
  MLMultiArray result(array.shape(), dataType);
  for (int64_t i = 0; i < array.count(); ++i) result.setNumber(i, array.number(i));
  return result;
}

}  // namespace platform::ml
