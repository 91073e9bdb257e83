#pragma once

#include <cstddef>
#include <functional>

namespace kestrune {

// Folds the hash of `value` into `seed`.
template <typename Value>
void hashCombine(size_t& seed, const Value& value) {
  seed ^= std::hash<Value>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <typename Element>
void hashCombineRange(size_t& seed, const Element& elements) {
  hashCombine(seed, elements.size());
  for (const auto& element : elements) hashCombine(seed, element);
}

}  // namespace kestrune
