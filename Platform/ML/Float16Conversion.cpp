#include "Platform/ML/Float16Conversion.hpp"

// GCC 12 warns inside its own AVX-512 conversion intrinsics.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>

#include "Platform/ML/TargetClones.hpp"

namespace platform::ml {

namespace {

__attribute__((target("avx512f"))) void toFloat32Avx512(const Float16* source, float* target,
                                                        size_t count) noexcept {
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
    _mm512_storeu_ps(target + i, _mm512_cvtph_ps(half));
  }
  for (; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

__attribute__((target("avx512f"))) void toFloat16Avx512(const float* source, Float16* target,
                                                        size_t count) noexcept {
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i half =
        _mm512_cvtps_ph(_mm512_loadu_ps(source + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + i), half);
  }
  for (; i < count; ++i) target[i] = static_cast<Float16>(source[i]);
}

__attribute__((target("avx,f16c"))) void toFloat32F16c(const Float16* source, float* target,
                                                       size_t count) noexcept {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    _mm256_storeu_ps(target + i, _mm256_cvtph_ps(half));
  }
  for (; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

__attribute__((target("avx,f16c"))) void toFloat16F16c(const float* source, Float16* target,
                                                       size_t count) noexcept {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i half =
        _mm256_cvtps_ph(_mm256_loadu_ps(source + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), half);
  }
  for (; i < count; ++i) target[i] = static_cast<Float16>(source[i]);
}

void toFloat32Portable(const Float16* source, float* target, size_t count) noexcept {
  for (size_t i = 0; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

void toFloat16Portable(const float* source, Float16* target, size_t count) noexcept {
  for (size_t i = 0; i < count; ++i) target[i] = static_cast<Float16>(source[i]);
}

enum class Level { portable, f16c, avx512 };

Level supportedLevel() noexcept {
  static const Level level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Level::avx512;
    if (__builtin_cpu_supports("avx") && cpuSupportsF16C()) return Level::f16c;
    return Level::portable;
  }();
  return level;
}

}  // namespace

void convertFloat16ToFloat32(const Float16* source, float* target, size_t count) noexcept {
  switch (supportedLevel()) {
    case Level::avx512: return toFloat32Avx512(source, target, count);
    case Level::f16c: return toFloat32F16c(source, target, count);
    case Level::portable: return toFloat32Portable(source, target, count);
  }
}

void convertFloat32ToFloat16(const float* source, Float16* target, size_t count) noexcept {
  switch (supportedLevel()) {
    case Level::avx512: return toFloat16Avx512(source, target, count);
    case Level::f16c: return toFloat16F16c(source, target, count);
    case Level::portable: return toFloat16Portable(source, target, count);
  }
}

void convertBFloat16ToFloat32(const uint16_t* source, float* target, size_t count) noexcept {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t bits = static_cast<uint32_t>(source[i]) << 16;
    std::memcpy(target + i, &bits, sizeof bits);
  }
}

}  // namespace platform::ml
