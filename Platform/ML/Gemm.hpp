#pragma once

#include <cstddef>
#include <string>

namespace platform::ml::kernels {

enum class Transpose { no, yes };

// Single-precision C = alpha * op(A) * op(B) + beta * C on row-major
// matrices: op(A) is m x k, op(B) k x n, C m x n, with leading dimensions in
// elements. Large products are split over the shared thread pool, each piece
// running single-threaded in OpenBLAS, so that the library's threads and the
// pool's never compete for the cores.
void sgemm(Transpose transposeA, Transpose transposeB, size_t m, size_t n, size_t k, float alpha,
           const float* a, size_t lda, const float* b, size_t ldb, float beta, float* c,
           size_t ldc);

// The GEMM implementation in use, for example "OpenBLAS SkylakeX (OPENBLAS_CORETYPE=SKYLAKEX)".
std::string gemmImplementation();

}  // namespace platform::ml::kernels
