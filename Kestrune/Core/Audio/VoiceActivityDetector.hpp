#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrune {

// A half-open range [startIndex, endIndex) of samples or of detector frames.
struct IndexRange {
  int64_t startIndex = 0;
  int64_t endIndex = 0;
  bool operator==(const IndexRange&) const = default;
};

// Splits audio into frames of `frameLengthSamples` (frame i starts at
// sample i × frameLengthSamples and reads `frameOverlapSamples` past its
// end) and tells which hold speech. Concrete detectors override
// voiceActivity(); the rest is shared.
class VoiceActivityDetector {
 public:
  // The frame length must be positive and the overlap not negative (else
  // std::invalid_argument).
  VoiceActivityDetector(int sampleRate, int frameLengthSamples, int frameOverlapSamples = 0);
  virtual ~VoiceActivityDetector() = default;

  int sampleRate() const noexcept { return sampleRate_; }
  int frameLengthSamples() const noexcept { return frameLengthSamples_; }
  int frameOverlapSamples() const noexcept { return frameOverlapSamples_; }

  // One decision per frame, true for speech. The base type has no detector
  // of its own and throws std::logic_error.
  virtual std::vector<bool> voiceActivity(std::span<const float> waveform) const;
  // The same, for callers that run detection off their own thread.
  virtual std::vector<bool> voiceActivityAsync(std::span<const float> waveform) const;
  // Sample ranges of consecutive speech frames, the last one cut at the end
  // of the audio.
  virtual std::vector<IndexRange> calculateActiveChunks(std::span<const float> waveform) const;
  virtual int64_t voiceActivityIndexToAudioSampleIndex(int64_t index) const;
  virtual float voiceActivityIndexToSeconds(int64_t index) const;
  // The longest run of non-speech frames, the first of equally long runs;
  // none when every frame is speech.
  virtual std::optional<IndexRange> findLongestSilence(const std::vector<bool>& activity) const;

 private:
  int sampleRate_;
  int frameLengthSamples_;
  int frameOverlapSamples_;
};

}  // namespace kestrune
