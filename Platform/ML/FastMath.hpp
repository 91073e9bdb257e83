#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

// Branch-free elementary functions for loops that must vectorise.
namespace platform::ml::kernels::fast {

// e^x by range reduction to [-ln2/2, ln2/2] and a degree-6 polynomial
// (relative error below 2e-7); 0 below -87 and +inf above 88.5.
inline float exp(float x) noexcept {
  // Written as selects so that NaN clamps too (std::max passes NaN through,
  // and converting NaN to an integer below is undefined); NaN is put back at
  // the end.
  const float clamped = x > -87.0f ? (x < 88.5f ? x : 88.5f) : -87.0f;
  const float n = std::nearbyint(clamped * 1.44269504088896341f);
  float r = clamped - n * 0.693359375f;
  r = r - n * -2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * r * r + r + 1.0f;
  const auto bits = static_cast<uint32_t>(static_cast<int32_t>(n) + 127) << 23;
  float result = p * std::bit_cast<float>(bits);
  result = x < -87.0f ? 0.0f : result;
  result = x > 88.5f ? std::numeric_limits<float>::infinity() : result;
  result = x != x ? x : result;
  return result;
}

// erf(x) by Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7,
// about float32's own rounding near 1); NaN stays NaN.
inline float erf(float x) noexcept {
  const float a = std::fabs(x);
  const float t = 1.0f / (1.0f + 0.3275911f * a);
  float p = 1.061405429f;
  p = p * t - 1.453152027f;
  p = p * t + 1.421413741f;
  p = p * t - 0.284496736f;
  p = p * t + 0.254829592f;
  const float magnitude = 1.0f - p * t * fast::exp(-a * a);
  return std::copysign(magnitude, x);
}

}  // namespace platform::ml::kernels::fast
