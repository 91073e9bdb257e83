#include "Platform/ML/WhisperLayers.hpp"

#include "Platform/ML/TransformerKernels.hpp"
#include "Platform/ML/VectorKernels.hpp"

namespace platform::ml::whisper {

void Linear::apply(const float* input, size_t rows, float* output) const {
  kernels::linear(input, rows, in, weight.data(), bias.empty() ? nullptr : bias.data(), out,
                  output);
}

void Norm::apply(const float* input, size_t rows, float* output) const {
  kernels::layerNorm(input, output, rows, gain.size(), gain.data(), bias.data());
}

std::vector<float> readTensor(const ExecutorContext& context, const std::string& name,
                              const std::vector<int64_t>& shape) {
  const TensorInfo& info = manifest_checks::tensor(context, name, shape);
  std::vector<float> values(static_cast<size_t>(info.count));
  context.weights->readFloats(info, values);
  return values;
}

Linear readLinear(const ExecutorContext& context, const std::string& prefix, size_t in, size_t out,
                  bool withBias) {
  Linear linear;
  linear.in = in;
  linear.out = out;
  linear.weight = readTensor(context, prefix + ".weight",
                             {static_cast<int64_t>(out), static_cast<int64_t>(in)});
  if (withBias) linear.bias = readTensor(context, prefix + ".bias", {static_cast<int64_t>(out)});
  return linear;
}

Norm readNorm(const ExecutorContext& context, const std::string& prefix, size_t width) {
  const std::vector<int64_t> shape{static_cast<int64_t>(width)};
  return {readTensor(context, prefix + ".weight", shape),
          readTensor(context, prefix + ".bias", shape)};
}

Attention readAttention(const ExecutorContext& context, const std::string& prefix, size_t width) {
  return {readLinear(context, prefix + ".q_proj", width, width),
          readLinear(context, prefix + ".k_proj", width, width, false),
          readLinear(context, prefix + ".v_proj", width, width),
          readLinear(context, prefix + ".out_proj", width, width)};
}

Mlp readMlp(const ExecutorContext& context, const std::string& prefix, size_t width) {
  return {readLinear(context, prefix + ".fc1", width, 4 * width),
          readLinear(context, prefix + ".fc2", 4 * width, width)};
}

void addMlp(const Norm& norm, const Mlp& mlp, float* x, size_t rows, size_t width) {
  std::vector<float> normed(rows * width);
  std::vector<float> hidden(rows * 4 * width);
  norm.apply(x, rows, normed.data());
  mlp.fc1.apply(normed.data(), rows, hidden.data());
  kernels::gelu(hidden.data(), hidden.size());
  kernels::linear(hidden.data(), rows, 4 * width, mlp.fc2.weight.data(), mlp.fc2.bias.data(), width,
                  x, true);
}

}  // namespace platform::ml::whisper
