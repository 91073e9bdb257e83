#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace platform::ml::kernels {

// Vector routines shared by the executors and by the engine's filters and
// samplers. Each is compiled for AVX-512, AVX2 and plain x86-64 and picks the
// best at run time. Empty inputs give the neutral answer noted per routine.

// Largest and smallest element (-inf and +inf for an empty input).
float maxValue(std::span<const float> values) noexcept;
float minValue(std::span<const float> values) noexcept;
// Largest absolute value (0 for an empty input).
float peakValue(std::span<const float> values) noexcept;
// Root mean square (0 for an empty input).
float rmsValue(std::span<const float> values) noexcept;
float sumValue(std::span<const float> values) noexcept;
// Index of the first largest element (0 for an empty input). NaNs are
// never chosen unless every element is NaN.
size_t argMax(std::span<const float> values) noexcept;

// log(sum(exp(x))), computed stably (-inf for an empty input or when every
// element is -inf).
float logSumExp(std::span<const float> values) noexcept;
// `target` may be `source`. Where every element is -inf, softmax gives 0 and
// log-softmax -inf everywhere. The spans must have the same length.
void softmax(std::span<const float> source, std::span<float> target) noexcept;
void logSoftmax(std::span<const float> source, std::span<float> target) noexcept;

// e^x of each element; -inf gives 0 and large values saturate to +inf.
void exp(std::span<const float> source, std::span<float> target) noexcept;

struct IndexedValue {
  float value;
  uint32_t index;
};
// The k largest elements in descending order (ties: lower index first);
// fewer when there are fewer elements.
std::vector<IndexedValue> topK(std::span<const float> values, size_t k);

// target[i] = source[i] * scale + offset (target may be source).
void scaleAndOffset(std::span<const float> source, float scale, float offset,
                    std::span<float> target) noexcept;
// target[i] += source[i].
void addInPlace(std::span<float> target, std::span<const float> source) noexcept;

}  // namespace platform::ml::kernels
