#include "Platform/ML/Gemm.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <optional>

#include "Platform/ML/RuntimeLog.hpp"
#include "Platform/ML/TargetClones.hpp"
#include "Platform/System/SystemInfo.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml::kernels {

namespace {

// The CBLAS constants (row-major, no transpose, transpose).
constexpr int cblasRowMajor = 101;
constexpr int cblasNoTrans = 111;
constexpr int cblasTrans = 112;

using SgemmFunction = void (*)(int, int, int, int, int, int, float, const float*, int, const float*,
                               int, float, float*, int);
using SetThreadsFunction = void (*)(int);
using CoreNameFunction = char* (*)();

struct OpenBLAS {
  SgemmFunction sgemm = nullptr;
  std::string description;
};

// The library's dynamic-architecture build picks its kernels from a CPU
// table that does not know every AVX-512 processor and then falls back to
// SSE3 ones; naming the kernel set from the CPU's own flags avoids that.
// A value the user has set is left alone.
std::string chooseCoreType() {
  if (const char* chosen = std::getenv("OPENBLAS_CORETYPE"); chosen != nullptr) {
    return std::string(chosen) + " (set by the environment)";
  }
  const bool avx512 = cpuHasFlag("avx512f") && cpuHasFlag("avx512bw") && cpuHasFlag("avx512vl") &&
                      cpuHasFlag("avx512dq") && cpuHasFlag("avx512cd");
  const char* coreType = nullptr;
  if (avx512) {
    coreType = "SKYLAKEX";
  } else if (cpuHasFlag("avx2") && cpuHasFlag("fma")) {
    coreType = "HASWELL";
  }
  if (coreType == nullptr) return "detected by the library";
  setenv("OPENBLAS_CORETYPE", coreType, 0);
  return std::string(coreType) + " (chosen from the CPU flags)";
}

std::optional<OpenBLAS> loadOpenBLAS() {
  const std::string choice = chooseCoreType();
  constexpr std::array names{"libopenblas.so.0", "libopenblas.so",
                             "/usr/lib/x86_64-linux-gnu/openblas-pthread/libopenblas.so.0"};
  void* handle = nullptr;
  for (const char* name : names) {
    if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) != nullptr) break;
  }
  if (handle == nullptr) {
    RuntimeLog::debug("GEMM: OpenBLAS not found, using the built-in kernel");
    return std::nullopt;
  }
  OpenBLAS library;
  library.sgemm = reinterpret_cast<SgemmFunction>(dlsym(handle, "cblas_sgemm"));
  const auto setThreads =
      reinterpret_cast<SetThreadsFunction>(dlsym(handle, "openblas_set_num_threads"));
  const auto coreName = reinterpret_cast<CoreNameFunction>(dlsym(handle, "openblas_get_corename"));
  if (library.sgemm == nullptr) {
    RuntimeLog::debug("GEMM: OpenBLAS lacks cblas_sgemm, using the built-in kernel");
    return std::nullopt;
  }
  // The handle stays open for the life of the process: the function
  // pointers are used until exit.
  if (setThreads != nullptr) setThreads(1);
  library.description =
      "OpenBLAS " + std::string(coreName ? coreName() : "unknown core") + ", core type " + choice;
  RuntimeLog::debug("GEMM: " + library.description);
  return library;
}

const OpenBLAS* openBLAS() {
  static const std::optional<OpenBLAS> library = loadOpenBLAS();
  return library ? &*library : nullptr;
}

KESTRUNE_TARGET_CLONES void builtinSgemm(bool transposeA, bool transposeB, size_t m, size_t n,
                                         size_t k, float alpha, const float* a, size_t lda,
                                         const float* b, size_t ldb, float beta, float* c,
                                         size_t ldc) {
  for (size_t i = 0; i < m; ++i) {
    float* row = c + i * ldc;
    for (size_t j = 0; j < n; ++j) row[j] = beta == 0.0f ? 0.0f : row[j] * beta;
    for (size_t p = 0; p < k; ++p) {
      const float scale = alpha * (transposeA ? a[p * lda + i] : a[i * lda + p]);
      if (transposeB) {
        for (size_t j = 0; j < n; ++j) row[j] += scale * b[j * ldb + p];
      } else {
        const float* bRow = b + p * ldb;
        for (size_t j = 0; j < n; ++j) row[j] += scale * bRow[j];
      }
    }
  }
}

void sgemmPiece(bool transposeA, bool transposeB, size_t m, size_t n, size_t k, float alpha,
                const float* a, size_t lda, const float* b, size_t ldb, float beta, float* c,
                size_t ldc) {
  if (const OpenBLAS* library = openBLAS()) {
    library->sgemm(cblasRowMajor, transposeA ? cblasTrans : cblasNoTrans,
                   transposeB ? cblasTrans : cblasNoTrans, static_cast<int>(m), static_cast<int>(n),
                   static_cast<int>(k), alpha, a, static_cast<int>(lda), b, static_cast<int>(ldb),
                   beta, c, static_cast<int>(ldc));
  } else {
    builtinSgemm(transposeA, transposeB, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
  }
}

// Products below this many multiply-adds are not worth a hand-off.
constexpr double parallelThreshold = 1 << 20;
constexpr size_t pieceGranule = 16;

}  // namespace

void sgemm(Transpose transposeA, Transpose transposeB, size_t m, size_t n, size_t k, float alpha,
           const float* a, size_t lda, const float* b, size_t ldb, float beta, float* c,
           size_t ldc) {
  if (m == 0 || n == 0) return;
  const bool ta = transposeA == Transpose::yes;
  const bool tb = transposeB == Transpose::yes;
  auto& pool = ThreadPool::shared();
  const size_t workers = pool.threadCount();
  const double work = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
  const bool splitRows = m >= n || n < 2 * pieceGranule;
  const size_t extent = splitRows ? m : n;
  if (workers < 2 || work < parallelThreshold || extent < 2 * pieceGranule) {
    sgemmPiece(ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    return;
  }
  const size_t pieces = std::min(workers, extent / pieceGranule);
  const size_t pieceSize = (extent / pieces + pieceGranule - 1) / pieceGranule * pieceGranule;
  const size_t pieceCount = (extent + pieceSize - 1) / pieceSize;
  pool.parallelFor(pieceCount, [&](size_t piece) {
    const size_t begin = piece * pieceSize;
    const size_t size = std::min(pieceSize, extent - begin);
    if (splitRows) {
      const float* aPiece = ta ? a + begin : a + begin * lda;
      sgemmPiece(ta, tb, size, n, k, alpha, aPiece, lda, b, ldb, beta, c + begin * ldc, ldc);
    } else {
      const float* bPiece = tb ? b + begin * ldb : b + begin;
      sgemmPiece(ta, tb, m, size, k, alpha, a, lda, bPiece, ldb, beta, c + begin, ldc);
    }
  });
}

std::string gemmImplementation() {
  const OpenBLAS* library = openBLAS();
  return library ? library->description : "built-in kernel";
}

}  // namespace platform::ml::kernels
