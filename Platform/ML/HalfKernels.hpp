#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace platform::ml::kernels {

// Products against weights held in 16 bits. A decoding step reads every
// weight once for a single row of activations, so its speed is the speed of
// reading memory: half the bytes, twice the steps per second. The 16-bit
// values are widened to float32 in registers (AVX-512 or F16C conversion
// instructions where the CPU has them, checked when the program starts) and
// accumulated in float32.

enum class HalfFormat : uint8_t { f16, bf16 };

// The instruction sets a kernel can use; `best` is the widest this CPU runs.
enum class HalfKernelLevel : uint8_t { portable, avx2, avx512, best };

std::string_view halfKernelLevelName(HalfKernelLevel level) noexcept;
// The levels this CPU can run, narrowest first (always includes portable).
std::vector<HalfKernelLevel> supportedHalfKernelLevels();

// A row-major [rows x columns] matrix of 16-bit values.
struct HalfMatrix {
  std::vector<uint16_t> values;
  size_t rows = 0;
  size_t columns = 0;
  HalfFormat format = HalfFormat::f16;

  size_t bytes() const noexcept { return values.size() * sizeof(uint16_t); }
  const uint16_t* row(size_t r) const noexcept { return values.data() + r * columns; }
  // Rounds float32 values (round to nearest even) into the given format.
  static HalfMatrix fromFloats(const float* source, size_t rows, size_t columns, HalfFormat format);
  // Row r widened to float32.
  void readRow(size_t r, float* target) const noexcept;
  // Rows [first, first + count) widened to float32, row-major.
  void readRows(size_t first, size_t count, float* target) const noexcept;
};

// output[r] = dot(matrix row r, input) + bias[r] (+ output[r] with
// accumulate), for every row; bias may be null. Large matrices are split
// by rows over the shared thread pool.
void halfMatrixVector(const HalfMatrix& matrix, const float* input, const float* bias,
                      float* output, bool accumulate = false,
                      HalfKernelLevel level = HalfKernelLevel::best);

// Several products at once (for example a layer's query, key and value
// projections of the same input), split over the pool as one.
struct HalfProduct {
  const HalfMatrix* matrix;
  const float* input;
  const float* bias;  // may be null
  float* output;
  bool accumulate = false;
};
void halfMatrixVectors(std::span<const HalfProduct> products,
                       HalfKernelLevel level = HalfKernelLevel::best);

// dot(a, b) for `count` 16-bit values a and float32 values b.
float halfDot(const uint16_t* a, HalfFormat format, const float* b, size_t count,
              HalfKernelLevel level = HalfKernelLevel::best) noexcept;
// target[i] += scale * a[i].
void halfAxpy(const uint16_t* a, HalfFormat format, float scale, float* target, size_t count,
              HalfKernelLevel level = HalfKernelLevel::best) noexcept;

// Float32 to 16-bit values and back (round to nearest even).
void floatsToHalf(const float* source, uint16_t* target, size_t count, HalfFormat format) noexcept;
void halfToFloats(const uint16_t* source, float* target, size_t count, HalfFormat format) noexcept;

}  // namespace platform::ml::kernels
