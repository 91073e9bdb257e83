#include "Kestrune/Core/Text/LogitsAccess.hpp"

#include <algorithm>
#include <limits>

#include "OrvaneCore/MLMultiArrayExtensions.hpp"
#include "Platform/ML/Float16Conversion.hpp"

namespace kestrune::LogitsAccess {

namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// True when every dimension but the last is 1, so token k sits at
// k * (last stride): the layout the decoder model produces.
bool isSingleRow(const MLMultiArray& logits) noexcept {
  const auto& shape = logits.shape();
  return !shape.empty() && std::all_of(shape.begin(), shape.end() - 1,
                                       [](int64_t dimension) { return dimension == 1; });
}

int64_t offsetOf(const MLMultiArray& logits, int64_t token) {
  return isSingleRow(logits) ? token * logits.strides().back() : logits.offsetOfLinearIndex(token);
}

template <typename T>
void writeNegativeInfinity(const MLMultiArray& logits, int64_t token) {
  logits.data<T>()[offsetOf(logits, token)] =
      static_cast<T>(-std::numeric_limits<float>::infinity());
}

void suppressOne(const MLMultiArray& logits, int64_t token) {
  switch (logits.dataType()) {
    case MLMultiArrayDataType::float16: writeNegativeInfinity<Float16>(logits, token); break;
    case MLMultiArrayDataType::float32: writeNegativeInfinity<float>(logits, token); break;
    case MLMultiArrayDataType::float64: writeNegativeInfinity<double>(logits, token); break;
    // Integer scores have no negative infinity; the lowest value stands in.
    case MLMultiArrayDataType::int32:
      logits.data<int32_t>()[offsetOf(logits, token)] = std::numeric_limits<int32_t>::min();
      break;
    case MLMultiArrayDataType::int8:
      logits.data<int8_t>()[offsetOf(logits, token)] = std::numeric_limits<int8_t>::min();
      break;
  }
}

}  // namespace

int64_t vocabularySize(const MLMultiArray& logits) noexcept {
  return logits.shape().empty() ? 0 : logits.count();
}

void readScores(const MLMultiArray& logits, std::vector<float>& target) {
  const int64_t count = vocabularySize(logits);
  target.resize(static_cast<size_t>(count));
  if (logits.dataType() == MLMultiArrayDataType::float16 && isSingleRow(logits) &&
      logits.strides().back() == 1) {
    platform::ml::convertFloat16ToFloat32(logits.data<Float16>(), target.data(),
                                          static_cast<size_t>(count));
    return;
  }
  if (logits.dataType() == MLMultiArrayDataType::float32 && isSingleRow(logits) &&
      logits.strides().back() == 1) {
    std::copy_n(logits.data<float>(), count, target.begin());
    return;
  }
  for (int64_t k = 0; k < count; ++k) target[k] = static_cast<float>(logits.number(k));
}

void suppress(const MLMultiArray& logits, std::span<const int64_t> tokens) {
  const int64_t count = vocabularySize(logits);
  for (const int64_t token : tokens) {
    if (token >= 0 && token < count) suppressOne(logits, token);
  }
}

void suppressRange(const MLMultiArray& logits, int64_t begin, int64_t end) {
  const int64_t count = vocabularySize(logits);
  begin = std::clamp<int64_t>(begin, 0, count);
  end = std::clamp<int64_t>(end, 0, count);
  if (end <= begin) return;
  if (logits.dataType() == MLMultiArrayDataType::float16 && logits.shape().size() == 3 &&
      isSingleRow(logits)) {
    orvane::fillLastDimension(logits, begin, end,
                              static_cast<Float16>(-std::numeric_limits<float>::infinity()));
    return;
  }
  for (int64_t token = begin; token < end; ++token) suppressOne(logits, token);
}

}  // namespace kestrune::LogitsAccess
