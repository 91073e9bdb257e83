#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/TranscriptionTimings.hpp"

namespace kestrune {

// What the per-window progress callback sees while a window is decoded.
struct TranscriptionProgress {
  TranscriptionTimings timings{};
  std::string text{};
  std::vector<int64_t> tokens{};
  std::optional<float> temperature{};
  std::optional<float> avgLogprob{};
  std::optional<float> compressionRatio{};
  int64_t windowId = 0;

  bool operator==(const TranscriptionProgress&) const = default;
};

}  // namespace kestrune
