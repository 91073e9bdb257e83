#include "Kestrune/Core/Audio/VoiceActivityDetector.hpp"

#include <algorithm>
#include <stdexcept>

namespace kestrune {

VoiceActivityDetector::VoiceActivityDetector(int sampleRate, int frameLengthSamples,
                                             int frameOverlapSamples)
    : sampleRate_(sampleRate),
      frameLengthSamples_(frameLengthSamples),
      frameOverlapSamples_(frameOverlapSamples) {
  if (frameLengthSamples <= 0) throw std::invalid_argument("frameLengthSamples must be positive");
  if (frameOverlapSamples < 0)
    throw std::invalid_argument("frameOverlapSamples must not be negative");
}

std::vector<bool> VoiceActivityDetector::voiceActivity(std::span<const float>) const {
  throw std::logic_error("`voiceActivity` must be implemented by subclass");
}

std::vector<bool> VoiceActivityDetector::voiceActivityAsync(std::span<const float> waveform) const {
  return voiceActivity(waveform);
}

std::vector<IndexRange> VoiceActivityDetector::calculateActiveChunks(
    std::span<const float> waveform) const {
  const std::vector<bool> activity = voiceActivity(waveform);
  const auto count = static_cast<int64_t>(waveform.size());
  std::vector<IndexRange> chunks;
  bool open = false;
  for (size_t i = 0; i < activity.size(); ++i) {
    if (!activity[i]) {
      open = false;
      continue;
    }
    const int64_t start = static_cast<int64_t>(i) * frameLengthSamples_;
    const int64_t end = std::min(count, start + frameLengthSamples_);
    if (open) {
      chunks.back().endIndex = end;
    } else {
      chunks.push_back({start, end});
      open = true;
    }
  }
  return chunks;
}

int64_t VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(int64_t index) const {
  return index * frameLengthSamples_;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(int64_t index) const {
  return static_cast<float>(voiceActivityIndexToAudioSampleIndex(index)) /
         static_cast<float>(sampleRate_);
}

std::optional<IndexRange> VoiceActivityDetector::findLongestSilence(
    const std::vector<bool>& activity) const {
  std::optional<IndexRange> longest;
  const auto count = static_cast<int64_t>(activity.size());
  int64_t index = 0;
  while (index < count) {
    if (activity[static_cast<size_t>(index)]) {
      ++index;
      continue;
    }
    const int64_t start = index;
    while (index < count && !activity[static_cast<size_t>(index)]) ++index;
    if (!longest || index - start > longest->endIndex - longest->startIndex) {
      longest = IndexRange{start, index};
    }
  }
  return longest;
}

}  // namespace kestrune
