#pragma once

#include <string>
#include <vector>

#include "Platform/ML/HalfKernels.hpp"
#include "Platform/ML/ModelExecutor.hpp"

namespace platform::ml::whisper {

// The stored parameters of Whisper's layers (stored as F16, BF16 or F32),
// read into float32 at load time for the encoder's many-row products and
// kept in 16 bits for the decoder's single-row ones. Tensor names follow the
// checkpoints' layout without the leading "model.".

struct Linear {
  std::vector<float> weight;  // [out, in]
  std::vector<float> bias;    // [out], empty for the key projections
  size_t in = 0;
  size_t out = 0;
  // output[rows x out] = input[rows x in] * weight^T + bias
  void apply(const float* input, size_t rows, float* output) const;
};

// A linear layer whose weight stays in 16 bits (BF16 when stored so, F16
// otherwise), for the single-row products of decoding.
struct HalfLinear {
  kernels::HalfMatrix weight;  // [out, in]
  std::vector<float> bias;     // [out], empty for the key projections
  size_t in() const noexcept { return weight.columns; }
  size_t out() const noexcept { return weight.rows; }
  // output[out] = weight * input + bias (+ output with accumulate)
  void apply(const float* input, float* output, bool accumulate = false) const;
  // output[out x columns] = weight * input[in x columns] + bias per row,
  // for many columns at once (the weight widened to float32 for the product).
  void applyToColumns(const float* input, size_t columns, float* output) const;
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

struct HalfAttention {
  HalfLinear query, key, value, out;
};

struct HalfMlp {
  HalfLinear fc1, fc2;
};

std::vector<float> readTensor(const ExecutorContext& context, const std::string& name,
                              const std::vector<int64_t>& shape);
Linear readLinear(const ExecutorContext& context, const std::string& prefix, size_t in, size_t out,
                  bool withBias = true);
Norm readNorm(const ExecutorContext& context, const std::string& prefix, size_t width);
Attention readAttention(const ExecutorContext& context, const std::string& prefix, size_t width);
Mlp readMlp(const ExecutorContext& context, const std::string& prefix, size_t width);

// A [rows, columns] tensor as 16-bit values: BF16 and F16 tensors as
// stored, F32 ones rounded to F16 (BF16 when a value is beyond F16's range),
// converted in slices so that loading never holds a float32 copy of a large
// tensor.
kernels::HalfMatrix readHalfMatrix(const ExecutorContext& context, const std::string& name,
                                   size_t rows, size_t columns);
HalfLinear readHalfLinear(const ExecutorContext& context, const std::string& prefix, size_t in,
                          size_t out, bool withBias = true);
HalfAttention readHalfAttention(const ExecutorContext& context, const std::string& prefix,
                                size_t width);
HalfMlp readHalfMlp(const ExecutorContext& context, const std::string& prefix, size_t width);

// x += MLP(norm(x)) for `rows` rows of `width`.
void addMlp(const Norm& norm, const Mlp& mlp, float* x, size_t rows, size_t width);
// x += MLP(norm(x)) for one row.
void addMlp(const Norm& norm, const HalfMlp& mlp, float* x);

}  // namespace platform::ml::whisper
