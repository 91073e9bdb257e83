#pragma once

#include <cstdint>

namespace platform::audio {

// The layout every buffer of ours has: 32-bit float samples, one plane per
// channel. Only the rate and the channel count vary.
struct AudioFormat {
  double sampleRate = 16000.0;
  uint32_t channelCount = 1;

  bool operator==(const AudioFormat&) const = default;
};

}  // namespace platform::audio
