#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

// Raw access to decoder logits: a [1, 1, V] array whose element [0, 0, k] is
// the score of token k. Other element types and layouts are read through
// their strides, so a replacement decoder's logits still work.
namespace LogitsAccess {

// Number of vocabulary entries (the last dimension; 0 for a shapeless array).
int64_t vocabularySize(const platform::ml::MLMultiArray& logits) noexcept;

// The scores as 32-bit floats, into `target` (resized to the vocabulary size;
// its capacity is reused between steps).
void readScores(const platform::ml::MLMultiArray& logits, std::vector<float>& target);

// Sets the given tokens to negative infinity; ids outside [0, V) are skipped.
void suppress(const platform::ml::MLMultiArray& logits, std::span<const int64_t> tokens);
// Sets [begin, end) to negative infinity, clipped to [0, V); an empty or
// inverted range changes nothing.
void suppressRange(const platform::ml::MLMultiArray& logits, int64_t begin, int64_t end);

}  // namespace LogitsAccess

}  // namespace kestrune
