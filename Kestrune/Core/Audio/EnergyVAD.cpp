#include "Kestrune/Core/Audio/EnergyVAD.hpp"

#include "Kestrune/Core/Audio/AudioProcessor.hpp"

namespace kestrune {

namespace {
int samplesOf(float seconds, int sampleRate) {
  return static_cast<int>(seconds * static_cast<float>(sampleRate));
}
}  // namespace

EnergyVAD::EnergyVAD(int sampleRate, float frameLength, float frameOverlap, float energyThreshold)
    : EnergyVAD(sampleRate, samplesOf(frameLength, sampleRate), samplesOf(frameOverlap, sampleRate),
                energyThreshold) {}

EnergyVAD::EnergyVAD(int sampleRate, int frameLengthSamples, int frameOverlapSamples,
                     float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples),
      energyThreshold_(energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> waveform) const {
  const auto length = static_cast<int64_t>(frameLengthSamples());
  const auto count = static_cast<int64_t>(waveform.size());
  const int64_t frames = (count + length - 1) / length;
  return AudioProcessor::calculateVoiceActivityInChunks(waveform, frames, frameLengthSamples(),
                                                        frameOverlapSamples(), energyThreshold_);
}

}  // namespace kestrune
