#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Platform/Audio/AudioFormat.hpp"

namespace platform::audio {

// A block of non-interleaved float PCM: room for `frameCapacity` frames per
// channel, of which the first `frameLength` hold audio. Storage is allocated
// once, zero-filled, at construction.
class PCMBuffer {
 public:
  PCMBuffer(AudioFormat format, uint32_t frameCapacity);
  // Takes over one plane per channel, all of the same size, as a full
  // buffer; planes that do not fit the format throw std::invalid_argument.
  PCMBuffer(AudioFormat format, std::vector<std::vector<float>> planes);

  const AudioFormat& format() const noexcept { return format_; }
  uint32_t channelCount() const noexcept { return format_.channelCount; }
  uint32_t frameCapacity() const noexcept { return frameCapacity_; }
  uint32_t frameLength() const noexcept { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames) noexcept;

  // The whole capacity of one channel; an out-of-range channel throws
  // std::out_of_range.
  std::span<float> floatChannelData(uint32_t channel);
  std::span<const float> floatChannelData(uint32_t channel) const;
  // The filled part (frameLength frames) of one channel.
  std::span<const float> samples(uint32_t channel) const;

  // Copies as many of `other`'s frames as still fit behind the filled part;
  // returns the number copied. The formats must match (else 0 is copied).
  uint32_t append(const PCMBuffer& other);

 private:
  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<std::vector<float>> channels_;
};

}  // namespace platform::audio
