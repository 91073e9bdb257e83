#include "Platform/ML/VectorKernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "Platform/ML/FastMath.hpp"
#include "Platform/ML/TargetClones.hpp"

#define KESTRUNE_CLONES KESTRUNE_TARGET_CLONES

namespace platform::ml::kernels {

namespace {

constexpr float negativeInfinity = -std::numeric_limits<float>::infinity();

inline float expApproximation(float x) noexcept {
  return fast::exp(x);
}

}  // namespace

KESTRUNE_CLONES float maxValue(std::span<const float> values) noexcept {
  float result = negativeInfinity;
  const float* data = values.data();
  const size_t count = values.size();
#pragma omp simd reduction(max : result)
  for (size_t i = 0; i < count; ++i) result = std::max(result, data[i]);
  return result;
}

KESTRUNE_CLONES float minValue(std::span<const float> values) noexcept {
  float result = std::numeric_limits<float>::infinity();
  const float* data = values.data();
  const size_t count = values.size();
#pragma omp simd reduction(min : result)
  for (size_t i = 0; i < count; ++i) result = std::min(result, data[i]);
  return result;
}

KESTRUNE_CLONES float peakValue(std::span<const float> values) noexcept {
  float result = 0.0f;
  const float* data = values.data();
  const size_t count = values.size();
#pragma omp simd reduction(max : result)
  for (size_t i = 0; i < count; ++i) result = std::max(result, std::fabs(data[i]));
  return result;
}

KESTRUNE_CLONES float sumValue(std::span<const float> values) noexcept {
  float result = 0.0f;
  const float* data = values.data();
  const size_t count = values.size();
#pragma omp simd reduction(+ : result)
  for (size_t i = 0; i < count; ++i) result += data[i];
  return result;
}

KESTRUNE_CLONES float rmsValue(std::span<const float> values) noexcept {
  if (values.empty()) return 0.0f;
  float squares = 0.0f;
  const float* data = values.data();
  const size_t count = values.size();
#pragma omp simd reduction(+ : squares)
  for (size_t i = 0; i < count; ++i) squares += data[i] * data[i];
  return std::sqrt(squares / static_cast<float>(count));
}

size_t argMax(std::span<const float> values) noexcept {
  if (values.empty()) return 0;
  const float largest = maxValue(values);
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] == largest) return i;
  }
  // Only NaNs (or a NaN-poisoned maximum): the first non-NaN maximum by scan.
  size_t best = 0;
  for (size_t i = 1; i < values.size(); ++i) {
    if (std::isnan(values[best]) || values[i] > values[best]) best = i;
  }
  return best;
}

KESTRUNE_CLONES void exp(std::span<const float> source, std::span<float> target) noexcept {
  const float* in = source.data();
  float* out = target.data();
  const size_t count = std::min(source.size(), target.size());
#pragma omp simd
  for (size_t i = 0; i < count; ++i) out[i] = expApproximation(in[i]);
}

namespace {

KESTRUNE_CLONES float sumOfShiftedExp(const float* data, size_t count, float shift) noexcept {
  float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
  for (size_t i = 0; i < count; ++i) sum += expApproximation(data[i] - shift);
  return sum;
}

KESTRUNE_CLONES void shiftedExp(const float* in, float* out, size_t count, float shift) noexcept {
#pragma omp simd
  for (size_t i = 0; i < count; ++i) out[i] = expApproximation(in[i] - shift);
}

KESTRUNE_CLONES void subtract(const float* in, float* out, size_t count, float value) noexcept {
#pragma omp simd
  for (size_t i = 0; i < count; ++i) out[i] = in[i] - value;
}

}  // namespace

float logSumExp(std::span<const float> values) noexcept {
  const float largest = maxValue(values);
  if (values.empty() || largest == negativeInfinity) return negativeInfinity;
  if (std::isinf(largest)) return largest;
  return largest + std::log(sumOfShiftedExp(values.data(), values.size(), largest));
}

void softmax(std::span<const float> source, std::span<float> target) noexcept {
  const size_t count = std::min(source.size(), target.size());
  const float largest = maxValue(source.first(count));
  if (count == 0) return;
  if (largest == negativeInfinity) {
    std::fill_n(target.data(), count, 0.0f);
    return;
  }
  shiftedExp(source.data(), target.data(), count, largest);
  const float sum = sumValue(target.first(count));
  scaleAndOffset(target.first(count), 1.0f / sum, 0.0f, target.first(count));
}

void logSoftmax(std::span<const float> source, std::span<float> target) noexcept {
  const size_t count = std::min(source.size(), target.size());
  const float total = logSumExp(source.first(count));
  if (total == negativeInfinity) {
    std::fill_n(target.data(), count, negativeInfinity);
    return;
  }
  subtract(source.data(), target.data(), count, total);
}

std::vector<IndexedValue> topK(std::span<const float> values, size_t k) {
  k = std::min(k, values.size());
  std::vector<IndexedValue> items;
  if (k == 0) return items;
  const auto before = [](const IndexedValue& a, const IndexedValue& b) {
    if (a.value != b.value) return a.value > b.value;
    return a.index < b.index;
  };
  // A min-heap of the best k seen so far: one pass, no copy of the input.
  items.reserve(k);
  for (size_t i = 0; i < values.size(); ++i) {
    const IndexedValue item{std::isnan(values[i]) ? negativeInfinity : values[i],
                            static_cast<uint32_t>(i)};
    if (items.size() < k) {
      items.push_back(item);
      std::push_heap(items.begin(), items.end(), before);
    } else if (before(item, items.front())) {
      std::pop_heap(items.begin(), items.end(), before);
      items.back() = item;
      std::push_heap(items.begin(), items.end(), before);
    }
  }
  std::sort_heap(items.begin(), items.end(), before);
  return items;
}

KESTRUNE_CLONES void scaleAndOffset(std::span<const float> source, float scale, float offset,
                                    std::span<float> target) noexcept {
  const float* in = source.data();
  float* out = target.data();
  const size_t count = std::min(source.size(), target.size());
#pragma omp simd
  for (size_t i = 0; i < count; ++i) out[i] = in[i] * scale + offset;
}

KESTRUNE_CLONES void addInPlace(std::span<float> target, std::span<const float> source) noexcept {
  float* out = target.data();
  const float* in = source.data();
  const size_t count = std::min(source.size(), target.size());
#pragma omp simd
  for (size_t i = 0; i < count; ++i) out[i] += in[i];
}

}  // namespace platform::ml::kernels
