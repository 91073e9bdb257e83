#pragma once

#include "Kestrune/Core/Audio/VoiceActivityDetector.hpp"

namespace kestrune {

// Speech where a frame's root-mean-square energy exceeds a fixed threshold.
class EnergyVAD : public VoiceActivityDetector {
 public:
  // Frame length and overlap in seconds, turned into samples in 32-bit
  // float and truncated.
  explicit EnergyVAD(int sampleRate = 16000, float frameLength = 0.1f, float frameOverlap = 0.0f,
                     float energyThreshold = 0.02f);
  EnergyVAD(int sampleRate, int frameLengthSamples, int frameOverlapSamples,
            float energyThreshold = 0.02f);

  float energyThreshold() const noexcept { return energyThreshold_; }

  std::vector<bool> voiceActivity(std::span<const float> waveform) const override;

 private:
  float energyThreshold_;
};

}  // namespace kestrune
