#include "Platform/ML/ExecutorFactories.hpp"

namespace platform::ml {

namespace {

class ElementwiseAffineExecutor : public ModelExecutor {
 public:
  ElementwiseAffineExecutor(std::string input, std::string output, MLMultiArrayConstraint outType,
                            std::vector<float> weight, std::vector<float> bias)
      : input_(std::move(input)),
        output_(std::move(output)),
        outType_(std::move(outType)),
        weight_(std::move(weight)),
        bias_(std::move(bias)) {}

  FeatureArrays predict(const FeatureArrays& inputs) const override {
    std::vector<float> values = floatValues(inputs.find(input_)->second);
    const size_t width = weight_.size();
    for (size_t i = 0; i < values.size(); ++i) {
      values[i] = values[i] * weight_[i % width] + bias_[i % width];
    }
    FeatureArrays outputs;
    outputs.emplace(output_, arrayFromFloats(values, outType_.shape, outType_.dataType));
    return outputs;
  }

 private:
  std::string input_;
  std::string output_;
  MLMultiArrayConstraint outType_;
  std::vector<float> weight_;
  std::vector<float> bias_;
};

}  // namespace

std::unique_ptr<const ModelExecutor> makeElementwiseAffineExecutor(const ExecutorContext& context) {
  const auto& manifest = context.manifest;
  if (manifest.inputs.size() != 1 || manifest.outputs.size() != 1) {
    manifest_checks::fail(context, "the elementwise-affine kind takes one input and one output");
  }
  const auto& in = *manifest.inputs.front().multiArrayConstraint;
  const auto& out = *manifest.outputs.front().multiArrayConstraint;
  if (in.shape != out.shape) {
    manifest_checks::fail(context, "the output shape " + shapeText(out.shape) +
                                       " differs from the input shape " + shapeText(in.shape));
  }
  const std::vector<int64_t> width{in.shape.back()};
  const auto& weight = manifest_checks::tensor(context, "weight", width);
  const auto& bias = manifest_checks::tensor(context, "bias", width);
  std::vector<float> weightValues(static_cast<size_t>(weight.count));
  std::vector<float> biasValues(static_cast<size_t>(bias.count));
  context.weights->readFloats(weight, weightValues);
  context.weights->readFloats(bias, biasValues);
  return std::make_unique<ElementwiseAffineExecutor>(
      manifest.inputs.front().name, manifest.outputs.front().name, out, std::move(weightValues),
      std::move(biasValues));
}

}  // namespace platform::ml
