#include "Platform/Audio/PCMBuffer.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace platform::audio {

PCMBuffer::PCMBuffer(AudioFormat format, uint32_t frameCapacity)
    : format_(format),
      frameCapacity_(frameCapacity),
      channels_(format.channelCount, std::vector<float>(frameCapacity, 0.0f)) {}

PCMBuffer::PCMBuffer(AudioFormat format, std::vector<std::vector<float>> planes)
    : format_(format), frameCapacity_(0), channels_(std::move(planes)) {
  if (channels_.size() != format.channelCount) {
    throw std::invalid_argument("One plane per channel is needed");
  }
  const size_t frames = channels_.empty() ? 0 : channels_.front().size();
  for (const auto& plane : channels_) {
    if (plane.size() != frames || frames > UINT32_MAX) {
      throw std::invalid_argument("Planes must have one size that fits 32 bits");
    }
  }
  frameCapacity_ = frameLength_ = static_cast<uint32_t>(frames);
}

void PCMBuffer::setFrameLength(uint32_t frames) noexcept {
  frameLength_ = std::min(frames, frameCapacity_);
}

std::span<float> PCMBuffer::floatChannelData(uint32_t channel) {
  return std::span<float>(channels_.at(channel));
}

std::span<const float> PCMBuffer::floatChannelData(uint32_t channel) const {
  return std::span<const float>(channels_.at(channel));
}

std::span<const float> PCMBuffer::samples(uint32_t channel) const {
  return floatChannelData(channel).first(frameLength_);
}

uint32_t PCMBuffer::append(const PCMBuffer& other) {
  if (other.format_ != format_) return 0;
  const uint32_t count = std::min(other.frameLength_, frameCapacity_ - frameLength_);
  for (uint32_t channel = 0; channel < format_.channelCount; ++channel) {
    const auto source = other.samples(channel).first(count);
    std::copy(source.begin(), source.end(), channels_[channel].begin() + frameLength_);
  }
  frameLength_ += count;
  return count;
}

}  // namespace platform::audio
