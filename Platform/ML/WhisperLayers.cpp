#include "Platform/ML/WhisperLayers.hpp"

#include <algorithm>
#include <cstring>

#include "Platform/ML/Gemm.hpp"
#include "Platform/ML/TransformerKernels.hpp"
#include "Platform/ML/VectorKernels.hpp"

namespace platform::ml::whisper {

void Linear::apply(const float* input, size_t rows, float* output) const {
  kernels::linear(input, rows, in, weight.data(), bias.empty() ? nullptr : bias.data(), out,
                  output);
}

void HalfLinear::apply(const float* input, float* output, bool accumulate) const {
  kernels::halfMatrixVector(weight, input, bias.empty() ? nullptr : bias.data(), output,
                            accumulate);
}

void HalfLinear::applyToColumns(const float* input, size_t columns, float* output) const {
  std::vector<float> wide(weight.values.size());
  weight.readRows(0, weight.rows, wide.data());
  kernels::sgemm(kernels::Transpose::no, kernels::Transpose::no, out(), columns, in(), 1.0f,
                 wide.data(), in(), input, columns, 0.0f, output, columns);
  if (bias.empty()) return;
  for (size_t r = 0; r < out(); ++r) {
    float* row = output + r * columns;
    for (size_t c = 0; c < columns; ++c) row[c] += bias[r];
  }
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

kernels::HalfMatrix readHalfMatrix(const ExecutorContext& context, const std::string& name,
                                   size_t rows, size_t columns) {
  const TensorInfo& info = manifest_checks::tensor(
      context, name, {static_cast<int64_t>(rows), static_cast<int64_t>(columns)});
  kernels::HalfMatrix matrix;
  matrix.rows = rows;
  matrix.columns = columns;
  matrix.format =
      info.dtype == TensorDType::bf16 ? kernels::HalfFormat::bf16 : kernels::HalfFormat::f16;
  matrix.values.resize(rows * columns);
  const std::span<const std::byte> bytes = context.weights->bytes(info);
  if (info.dtype != TensorDType::f32) {
    std::memcpy(matrix.values.data(), bytes.data(), matrix.bytes());
    return matrix;
  }
  constexpr size_t slice = 1 << 16;
  std::vector<float> wide(std::min(slice, matrix.values.size()));
  const auto eachSlice = [&](const auto& body) {
    for (size_t first = 0; first < matrix.values.size(); first += slice) {
      const size_t count = std::min(slice, matrix.values.size() - first);
      std::memcpy(wide.data(), bytes.data() + first * sizeof(float), count * sizeof(float));
      body(first, count);
    }
  };
  // Values beyond F16's range (65504) would become infinities: such a
  // tensor keeps BF16's range instead, at its lower precision.
  float largest = 0.0f;
  eachSlice([&](size_t, size_t count) {
    largest = std::max(largest, kernels::peakValue({wide.data(), count}));
  });
  if (largest > 65504.0f) matrix.format = kernels::HalfFormat::bf16;
  eachSlice([&](size_t first, size_t count) {
    kernels::floatsToHalf(wide.data(), matrix.values.data() + first, count, matrix.format);
  });
  return matrix;
}

HalfLinear readHalfLinear(const ExecutorContext& context, const std::string& prefix, size_t in,
                          size_t out, bool withBias) {
  HalfLinear linear;
  linear.weight = readHalfMatrix(context, prefix + ".weight", out, in);
  if (withBias) linear.bias = readTensor(context, prefix + ".bias", {static_cast<int64_t>(out)});
  return linear;
}

HalfAttention readHalfAttention(const ExecutorContext& context, const std::string& prefix,
                                size_t width) {
  return {readHalfLinear(context, prefix + ".q_proj", width, width),
          readHalfLinear(context, prefix + ".k_proj", width, width, false),
          readHalfLinear(context, prefix + ".v_proj", width, width),
          readHalfLinear(context, prefix + ".out_proj", width, width)};
}

HalfMlp readHalfMlp(const ExecutorContext& context, const std::string& prefix, size_t width) {
  return {readHalfLinear(context, prefix + ".fc1", width, 4 * width),
          readHalfLinear(context, prefix + ".fc2", 4 * width, width)};
}

void addMlp(const Norm& norm, const HalfMlp& mlp, float* x) {
  const size_t width = mlp.fc1.in();
  std::vector<float> normed(width);
  std::vector<float> hidden(mlp.fc1.out());
  norm.apply(x, 1, normed.data());
  mlp.fc1.apply(normed.data(), hidden.data());
  kernels::gelu(hidden.data(), hidden.size());
  mlp.fc2.apply(hidden.data(), x, true);
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
