#pragma once

#include <string>
#include <vector>

#include "Platform/ML/ModelExecutor.hpp"

namespace platform::ml::whisper {

// The stored parameters of Whisper's layers, read into float32 at load time
// (weights may be stored as F16, BF16 or F32). Tensor names follow the
// checkpoints' layout without the leading "model.".

struct Linear {
  std::vector<float> weight;  // [out, in]
  std::vector<float> bias;    // [out], empty for the key projections
  size_t in = 0;
  size_t out = 0;
  // output[rows x out] = input[rows x in] * weight^T + bias
  void apply(const float* input, size_t rows, float* output) const;
};

struct Norm {
  std::vector<float> gain;
  std::vector<float> bias;
  void apply(const float* input, size_t rows, float* output) const;
};

struct Attention {
  Linear query, key, value, out;
};

struct Mlp {
  Linear fc1, fc2;
};

std::vector<float> readTensor(const ExecutorContext& context, const std::string& name,
                              const std::vector<int64_t>& shape);
Linear readLinear(const ExecutorContext& context, const std::string& prefix, size_t in, size_t out,
                  bool withBias = true);
Norm readNorm(const ExecutorContext& context, const std::string& prefix, size_t width);
Attention readAttention(const ExecutorContext& context, const std::string& prefix, size_t width);
Mlp readMlp(const ExecutorContext& context, const std::string& prefix, size_t width);

// x += MLP(norm(x)) for `rows` rows of `width`.
void addMlp(const Norm& norm, const Mlp& mlp, float* x, size_t rows, size_t width);

}  // namespace platform::ml::whisper
