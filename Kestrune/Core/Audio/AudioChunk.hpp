#pragma once

#include <cstdint>
#include <vector>

namespace kestrune {

// A piece of 16 kHz audio and the index of its first sample in the whole.
struct AudioChunk {
  int64_t seekOffsetIndex = 0;
  std::vector<float> audioSamples;
  bool operator==(const AudioChunk&) const = default;
};

}  // namespace kestrune
