#include "Platform/ML/TransformerKernels.hpp"

#include <cmath>
#include <cstring>

#include "Platform/ML/FastMath.hpp"
#include "Platform/ML/Gemm.hpp"
#include "Platform/ML/TargetClones.hpp"
#include "Platform/ML/VectorKernels.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml::kernels {

void layerNorm(const float* input, float* output, size_t rows, size_t width, const float* gain,
               const float* bias) {
  constexpr float epsilon = 1e-5f;
  for (size_t r = 0; r < rows; ++r) {
    const float* in = input + r * width;
    float* out = output + r * width;
    const std::span<const float> row(in, width);
    const float mean = sumValue(row) / static_cast<float>(width);
    float variance = 0.0f;
#pragma omp simd reduction(+ : variance)
    for (size_t i = 0; i < width; ++i) variance += (in[i] - mean) * (in[i] - mean);
    const float scale = 1.0f / std::sqrt(variance / static_cast<float>(width) + epsilon);
#pragma omp simd
    for (size_t i = 0; i < width; ++i) out[i] = (in[i] - mean) * scale * gain[i] + bias[i];
  }
}

KESTRUNE_TARGET_CLONES void gelu(float* values, size_t count) {
  constexpr float inverseSqrt2 = 0.70710678118654752f;
#pragma omp simd
  for (size_t i = 0; i < count; ++i) {
    values[i] = 0.5f * values[i] * (1.0f + fast::erf(values[i] * inverseSqrt2));
  }
}

void addBias(float* values, size_t rows, size_t width, const float* bias) {
  for (size_t r = 0; r < rows; ++r) addInPlace({values + r * width, width}, {bias, width});
}

void linear(const float* input, size_t rows, size_t inWidth, const float* weight, const float* bias,
            size_t outWidth, float* output, bool accumulate) {
  sgemm(Transpose::no, Transpose::yes, rows, outWidth, inWidth, 1.0f, input, inWidth, weight,
        inWidth, accumulate ? 1.0f : 0.0f, output, outWidth);
  if (bias != nullptr) addBias(output, rows, outWidth, bias);
}

void multiHeadAttention(const float* queries, size_t queryRows, const float* keys,
                        const float* values, size_t keyRows, size_t width, size_t heads,
                        float* output, float* probabilities) {
  const size_t headSize = width / heads;
  const float scale = 1.0f / std::sqrt(static_cast<float>(headSize));
  // Queries in blocks, so that a block's scores stay in the core's cache
  // between the two products, and one small buffer per thread is reused
  // instead of a fresh [queries x keys] allocation per head and call.
  constexpr size_t blockRows = 128;
  ThreadPool::shared().parallelFor(heads, [&](size_t head) {
    thread_local std::vector<float> scores;
    scores.resize(std::min(blockRows, queryRows) * keyRows);
    const size_t column = head * headSize;
    for (size_t first = 0; first < queryRows; first += blockRows) {
      const size_t rows = std::min(blockRows, queryRows - first);
      sgemm(Transpose::no, Transpose::yes, rows, keyRows, headSize, scale,
            queries + first * width + column, width, keys + column, width, 0.0f, scores.data(),
            keyRows);
      for (size_t q = 0; q < rows; ++q) {
        const std::span<float> row(scores.data() + q * keyRows, keyRows);
        softmax(row, row);
      }
      if (probabilities != nullptr) {
        std::memcpy(probabilities + (head * queryRows + first) * keyRows, scores.data(),
                    rows * keyRows * sizeof(float));
      }
      sgemm(Transpose::no, Transpose::no, rows, headSize, keyRows, 1.0f, scores.data(), keyRows,
            values + column, width, 0.0f, output + first * width + column, width);
    }
  });
}

}  // namespace platform::ml::kernels
