#include "Platform/ML/HalfKernels.hpp"

// GCC 12 warns inside its own AVX-512 conversion intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "Platform/ML/Float16Conversion.hpp"
#include "Platform/ML/TargetClones.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace platform::ml::kernels {

namespace {

// ---- portable ------------------------------------------------------------

inline float widen(uint16_t bits, HalfFormat format) noexcept {
  if (format == HalfFormat::bf16) return std::bit_cast<float>(static_cast<uint32_t>(bits) << 16);
  return static_cast<float>(std::bit_cast<Float16>(bits));
}

inline uint16_t narrowBFloat16(float value) noexcept {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  if ((bits & 0x7fffffffu) > 0x7f800000u) return static_cast<uint16_t>((bits >> 16) | 0x40);  // NaN
  const uint32_t rounding = 0x7fffu + ((bits >> 16) & 1u);
  return static_cast<uint16_t>((bits + rounding) >> 16);
}

float dotPortable(const uint16_t* a, HalfFormat format, const float* b, size_t count) noexcept {
  // Four partial sums, as the vector versions keep, so that the levels agree
  // closely and the loop is not one long dependency chain.
  float sums[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (size_t j = 0; j < 4; ++j) sums[j] += widen(a[i + j], format) * b[i + j];
  }
  for (; i < count; ++i) sums[0] += widen(a[i], format) * b[i];
  return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

void axpyPortable(const uint16_t* a, HalfFormat format, float scale, float* target,
                  size_t count) noexcept {
  for (size_t i = 0; i < count; ++i) target[i] += scale * widen(a[i], format);
}

void rowsPortable(const HalfMatrix& matrix, const float* input, size_t begin, size_t end,
                  float* output) noexcept {
  for (size_t r = begin; r < end; ++r) {
    output[r - begin] = dotPortable(matrix.row(r), matrix.format, input, matrix.columns);
  }
}

// ---- AVX2 with F16C --------------------------------------------------------

#define KESTRUNE_AVX2 __attribute__((target("avx2,fma,f16c")))

template <HalfFormat format>
KESTRUNE_AVX2 inline __m256 widen8(const uint16_t* p) noexcept {
  const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if constexpr (format == HalfFormat::f16) {
    return _mm256_cvtph_ps(half);
  } else {
    return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(half), 16));
  }
}

KESTRUNE_AVX2 inline float sum8(__m256 v) noexcept {
  const __m128 folded = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 pairs = _mm_add_ps(folded, _mm_movehl_ps(folded, folded));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

// Four sums in flight, so that the loop waits on memory, not on the
// latency of the multiply-adds.
template <HalfFormat format>
KESTRUNE_AVX2 float dotAvx2(const uint16_t* a, const float* b, size_t count) noexcept {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(),
         s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    s0 = _mm256_fmadd_ps(widen8<format>(a + i), _mm256_loadu_ps(b + i), s0);
    s1 = _mm256_fmadd_ps(widen8<format>(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
    s2 = _mm256_fmadd_ps(widen8<format>(a + i + 16), _mm256_loadu_ps(b + i + 16), s2);
    s3 = _mm256_fmadd_ps(widen8<format>(a + i + 24), _mm256_loadu_ps(b + i + 24), s3);
  }
  for (; i + 8 <= count; i += 8) {
    s0 = _mm256_fmadd_ps(widen8<format>(a + i), _mm256_loadu_ps(b + i), s0);
  }
  float sum = sum8(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
  for (; i < count; ++i) sum += widen(a[i], format) * b[i];
  return sum;
}

template <HalfFormat format>
KESTRUNE_AVX2 void axpyAvx2(const uint16_t* a, float scale, float* target, size_t count) noexcept {
  const __m256 factor = _mm256_set1_ps(scale);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    _mm256_storeu_ps(target + i,
                     _mm256_fmadd_ps(widen8<format>(a + i), factor, _mm256_loadu_ps(target + i)));
  }
  for (; i < count; ++i) target[i] += scale * widen(a[i], format);
}

// Rows [begin, end) into output[0, end - begin), one row after another:
// a single sequential stream, which the hardware prefetcher follows (rows
// interleaved four at a time read at a third of the speed).
template <HalfFormat format>
KESTRUNE_AVX2 void rowsAvx2(const HalfMatrix& matrix, const float* input, size_t begin, size_t end,
                            float* output) noexcept {
  for (size_t r = begin; r < end; ++r) {
    output[r - begin] = dotAvx2<format>(matrix.row(r), input, matrix.columns);
  }
}

// ---- AVX-512 ---------------------------------------------------------------

#define KESTRUNE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,fma,f16c")))

template <HalfFormat format>
KESTRUNE_AVX512 inline __m512 widen16(const uint16_t* p) noexcept {
  const __m256i half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  if constexpr (format == HalfFormat::f16) {
    return _mm512_cvtph_ps(half);
  } else {
    return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(half), 16));
  }
}

// The last count % 16 values, with masked loads (zeros beyond the end).
template <HalfFormat format>
KESTRUNE_AVX512 inline __m512 widen16Masked(const uint16_t* p, __mmask16 mask) noexcept {
  const __m256i half = _mm256_maskz_loadu_epi16(mask, p);
  if constexpr (format == HalfFormat::f16) {
    return _mm512_cvtph_ps(half);
  } else {
    return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(half), 16));
  }
}

template <HalfFormat format>
KESTRUNE_AVX512 float dotAvx512(const uint16_t* a, const float* b, size_t count) noexcept {
  __m512 s0 = _mm512_setzero_ps(), s1 = _mm512_setzero_ps(), s2 = _mm512_setzero_ps(),
         s3 = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    s0 = _mm512_fmadd_ps(widen16<format>(a + i), _mm512_loadu_ps(b + i), s0);
    s1 = _mm512_fmadd_ps(widen16<format>(a + i + 16), _mm512_loadu_ps(b + i + 16), s1);
    s2 = _mm512_fmadd_ps(widen16<format>(a + i + 32), _mm512_loadu_ps(b + i + 32), s2);
    s3 = _mm512_fmadd_ps(widen16<format>(a + i + 48), _mm512_loadu_ps(b + i + 48), s3);
  }
  for (; i + 16 <= count; i += 16) {
    s0 = _mm512_fmadd_ps(widen16<format>(a + i), _mm512_loadu_ps(b + i), s0);
  }
  if (i < count) {
    const auto mask = static_cast<__mmask16>((1u << (count - i)) - 1);
    s1 =
        _mm512_fmadd_ps(widen16Masked<format>(a + i, mask), _mm512_maskz_loadu_ps(mask, b + i), s1);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(s0, s1), _mm512_add_ps(s2, s3)));
}

template <HalfFormat format>
KESTRUNE_AVX512 void axpyAvx512(const uint16_t* a, float scale, float* target,
                                size_t count) noexcept {
  const __m512 factor = _mm512_set1_ps(scale);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    _mm512_storeu_ps(target + i,
                     _mm512_fmadd_ps(widen16<format>(a + i), factor, _mm512_loadu_ps(target + i)));
  }
  if (i < count) {
    const auto mask = static_cast<__mmask16>((1u << (count - i)) - 1);
    const __m512 sum = _mm512_fmadd_ps(widen16Masked<format>(a + i, mask), factor,
                                       _mm512_maskz_loadu_ps(mask, target + i));
    _mm512_mask_storeu_ps(target + i, mask, sum);
  }
}

template <HalfFormat format>
KESTRUNE_AVX512 void rowsAvx512(const HalfMatrix& matrix, const float* input, size_t begin,
                                size_t end, float* output) noexcept {
  for (size_t r = begin; r < end; ++r) {
    output[r - begin] = dotAvx512<format>(matrix.row(r), input, matrix.columns);
  }
}

// ---- dispatch ----------------------------------------------------------------

bool cpuRunsAvx512() noexcept {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && cpuSupportsF16C() && __builtin_cpu_supports("fma");
  }();
  return supported;
}

bool cpuRunsAvx2() noexcept {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && cpuSupportsF16C();
  }();
  return supported;
}

// The level actually used: `best` resolved, and a level the CPU lacks
// lowered to one it has, so that no request can reach an illegal instruction.
HalfKernelLevel resolve(HalfKernelLevel level) noexcept {
  if ((level == HalfKernelLevel::best || level == HalfKernelLevel::avx512) && cpuRunsAvx512()) {
    return HalfKernelLevel::avx512;
  }
  if (level != HalfKernelLevel::portable && cpuRunsAvx2()) return HalfKernelLevel::avx2;
  return HalfKernelLevel::portable;
}

void rows(HalfKernelLevel level, const HalfMatrix& matrix, const float* input, size_t begin,
          size_t end, float* output) noexcept {
  const bool bf16 = matrix.format == HalfFormat::bf16;
  switch (level) {
    case HalfKernelLevel::avx512:
      return bf16 ? rowsAvx512<HalfFormat::bf16>(matrix, input, begin, end, output)
                  : rowsAvx512<HalfFormat::f16>(matrix, input, begin, end, output);
    case HalfKernelLevel::avx2:
      return bf16 ? rowsAvx2<HalfFormat::bf16>(matrix, input, begin, end, output)
                  : rowsAvx2<HalfFormat::f16>(matrix, input, begin, end, output);
    default: return rowsPortable(matrix, input, begin, end, output);
  }
}

// Below this many weights a hand-off to the pool costs more than it saves:
// a decoder step's square projections (up to 512 x 512, half a megabyte)
// stream faster on the calling thread than a sleeping worker wakes, most of
// all on cores shared with other work.
constexpr size_t parallelWeights = 1 << 19;
constexpr size_t rowGranule = 16;

}  // namespace

std::string_view halfKernelLevelName(HalfKernelLevel level) noexcept {
  switch (resolve(level)) {
    case HalfKernelLevel::avx512: return "AVX-512";
    case HalfKernelLevel::avx2: return "AVX2+F16C";
    default: return "portable";
  }
}

std::vector<HalfKernelLevel> supportedHalfKernelLevels() {
  std::vector<HalfKernelLevel> levels{HalfKernelLevel::portable};
  if (cpuRunsAvx2()) levels.push_back(HalfKernelLevel::avx2);
  if (cpuRunsAvx512()) levels.push_back(HalfKernelLevel::avx512);
  return levels;
}

HalfMatrix HalfMatrix::fromFloats(const float* source, size_t rows, size_t columns,
                                  HalfFormat format) {
  HalfMatrix matrix;
  matrix.rows = rows;
  matrix.columns = columns;
  matrix.format = format;
  matrix.values.resize(rows * columns);
  floatsToHalf(source, matrix.values.data(), matrix.values.size(), format);
  return matrix;
}

void HalfMatrix::readRow(size_t r, float* target) const noexcept {
  halfToFloats(row(r), target, columns, format);
}

void HalfMatrix::readRows(size_t first, size_t count, float* target) const noexcept {
  halfToFloats(row(first), target, count * columns, format);
}

namespace {

// Rows [begin, end) of one product: the kernels' dot products go to a block
// on the stack, then bias and accumulation are applied in one pass over it.
void productRows(HalfKernelLevel level, const HalfProduct& product, size_t begin, size_t end) {
  float scratch[256];
  for (size_t first = begin; first < end; first += 256) {
    const size_t last = std::min(end, first + 256);
    rows(level, *product.matrix, product.input, first, last, scratch);
    for (size_t r = first; r < last; ++r) {
      float value = scratch[r - first];
      if (product.bias != nullptr) value += product.bias[r];
      product.output[r] = product.accumulate ? product.output[r] + value : value;
    }
  }
}

}  // namespace

void halfMatrixVectors(std::span<const HalfProduct> products, HalfKernelLevel level) {
  const HalfKernelLevel used = resolve(level);
  size_t totalRows = 0, totalWeights = 0;
  for (const HalfProduct& product : products) {
    totalRows += product.matrix->rows;
    totalWeights += product.matrix->rows * product.matrix->columns;
  }
  // The products' rows are taken as one sequence and cut into one piece
  // per worker of about equal weight, so that a layer's projections cost
  // one hand-off instead of one each.
  const auto runRange = [&](size_t begin, size_t end) {
    size_t offset = 0;
    for (const HalfProduct& product : products) {
      const size_t rowCount = product.matrix->rows;
      const size_t first = std::max(begin, offset), last = std::min(end, offset + rowCount);
      if (first < last) productRows(used, product, first - offset, last - offset);
      offset += rowCount;
    }
  };
  auto& pool = ThreadPool::shared();
  const size_t workers = pool.threadCount();
  if (workers < 2 || totalWeights < parallelWeights || totalRows < 2 * rowGranule) {
    runRange(0, totalRows);
    return;
  }
  const size_t pieces = std::min(workers, totalRows / rowGranule);
  const size_t size = (totalRows / pieces + rowGranule - 1) / rowGranule * rowGranule;
  pool.parallelFor((totalRows + size - 1) / size, [&](size_t index) {
    runRange(index * size, std::min(totalRows, (index + 1) * size));
  });
}

void halfMatrixVector(const HalfMatrix& matrix, const float* input, const float* bias,
                      float* output, bool accumulate, HalfKernelLevel level) {
  const HalfProduct product{&matrix, input, bias, output, accumulate};
  halfMatrixVectors({&product, 1}, level);
}

float halfDot(const uint16_t* a, HalfFormat format, const float* b, size_t count,
              HalfKernelLevel level) noexcept {
  const bool bf16 = format == HalfFormat::bf16;
  switch (resolve(level)) {
    case HalfKernelLevel::avx512:
      return bf16 ? dotAvx512<HalfFormat::bf16>(a, b, count)
                  : dotAvx512<HalfFormat::f16>(a, b, count);
    case HalfKernelLevel::avx2:
      return bf16 ? dotAvx2<HalfFormat::bf16>(a, b, count) : dotAvx2<HalfFormat::f16>(a, b, count);
    default: return dotPortable(a, format, b, count);
  }
}

void halfAxpy(const uint16_t* a, HalfFormat format, float scale, float* target, size_t count,
              HalfKernelLevel level) noexcept {
  const bool bf16 = format == HalfFormat::bf16;
  switch (resolve(level)) {
    case HalfKernelLevel::avx512:
      return bf16 ? axpyAvx512<HalfFormat::bf16>(a, scale, target, count)
                  : axpyAvx512<HalfFormat::f16>(a, scale, target, count);
    case HalfKernelLevel::avx2:
      return bf16 ? axpyAvx2<HalfFormat::bf16>(a, scale, target, count)
                  : axpyAvx2<HalfFormat::f16>(a, scale, target, count);
    default: return axpyPortable(a, format, scale, target, count);
  }
}

void floatsToHalf(const float* source, uint16_t* target, size_t count, HalfFormat format) noexcept {
  if (format == HalfFormat::bf16) {
    for (size_t i = 0; i < count; ++i) target[i] = narrowBFloat16(source[i]);
    return;
  }
  // Through a small aligned buffer of the half type, so the fast
  // conversion runs without reading uint16_t storage as another type.
  Float16 buffer[512];
  for (size_t first = 0; first < count; first += 512) {
    const size_t n = std::min<size_t>(512, count - first);
    convertFloat32ToFloat16(source + first, buffer, n);
    std::memcpy(target + first, buffer, n * sizeof(uint16_t));
  }
}

void halfToFloats(const uint16_t* source, float* target, size_t count, HalfFormat format) noexcept {
  if (format == HalfFormat::bf16) {
    convertBFloat16ToFloat32(source, target, count);
    return;
  }
  Float16 buffer[512];
  for (size_t first = 0; first < count; first += 512) {
    const size_t n = std::min<size_t>(512, count - first);
    std::memcpy(buffer, source + first, n * sizeof(uint16_t));
    convertFloat16ToFloat32(buffer, target + first, n);
  }
}

}  // namespace platform::ml::kernels
