#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace platform::ml::kernels {

// Row-wise building blocks of the Transformer executors, on row-major float
// matrices of `rows` x `width`.

// LayerNorm of each row with the given gain and bias (epsilon 1e-5).
void layerNorm(const float* input, float* output, size_t rows, size_t width, const float* gain,
               const float* bias);
// GELU with the exact erf form, in place.
void gelu(float* values, size_t count);
// output[rows x outWidth] = input[rows x inWidth] * weight^T + bias, with the
// weight stored [outWidth x inWidth] (the checkpoints' layout); bias may be
// null. With accumulate, the product is added to output instead.
void linear(const float* input, size_t rows, size_t inWidth, const float* weight, const float* bias,
            size_t outWidth, float* output, bool accumulate = false);
// Adds bias[c] to every row.
void addBias(float* values, size_t rows, size_t width, const float* bias);

// Multi-head attention of `queries` [queryRows x width] over `keys`/`values`
// [keyRows x width] (heads of width / heads columns each), scaled by
// 1/sqrt(head size), written to output [queryRows x width]. Heads run in
// parallel on the shared pool. When `probabilities` is given it receives
// each head's softmax weights, [heads x queryRows x keyRows].
void multiHeadAttention(const float* queries, size_t queryRows, const float* keys,
                        const float* values, size_t keyRows, size_t width, size_t heads,
                        float* output, float* probabilities = nullptr);

}  // namespace platform::ml::kernels
