#include <algorithm>
#include <cmath>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Audio/EnergyVAD.hpp"

namespace kestrune {

namespace {

// Accumulated in double so that a frame whose level equals a threshold
// compares as equal rather than a rounding error above it.
float rootMeanSquare(std::span<const float> samples) {
  if (samples.empty()) return 0.0f;
  double sum = 0.0;
  for (const float sample : samples) sum += static_cast<double>(sample) * sample;
  return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
}

}  // namespace

SignalEnergy AudioProcessor::calculateEnergy(std::span<const float> of) {
  if (of.empty()) return {};
  float peak = 0.0f;
  float smallest = std::fabs(of.front());
  for (const float sample : of) {
    peak = std::max(peak, std::fabs(sample));
    smallest = std::min(smallest, std::fabs(sample));
  }
  return {rootMeanSquare(of), peak, smallest};
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> of) {
  return rootMeanSquare(of);
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> of,
                                              std::optional<float> relativeTo) {
  const float signal = 20.0f * std::log10(rootMeanSquare(of));
  const float reference = relativeTo ? 20.0f * std::log10(std::max(*relativeTo, 1e-8f)) : -60.0f;
  const float relative = (signal - reference) / (0.0f - reference);
  if (std::isnan(relative)) return 0.0f;
  return std::clamp(relative, 0.0f, 1.0f);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> of,
                                                                 int64_t chunkCount,
                                                                 int frameLengthSamples,
                                                                 int frameOverlapSamples,
                                                                 float energyThreshold) {
  const auto count = static_cast<int64_t>(of.size());
  std::vector<bool> activity;
  activity.reserve(static_cast<size_t>(std::max<int64_t>(chunkCount, 0)));
  for (int64_t chunk = 0; chunk < chunkCount; ++chunk) {
    const int64_t start = std::min(count, chunk * frameLengthSamples);
    const int64_t end =
        std::min(start + frameLengthSamples + std::max(frameOverlapSamples, 0), count);
    const auto frame = of.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start));
    activity.push_back(rootMeanSquare(frame) > energyThreshold);
  }
  return activity;
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> in) {
  const EnergyVAD detector(16000, 1600, 0, 0.02f);
  return detector.calculateActiveChunks(in);
}

bool AudioProcessor::isVoiceDetected(const std::vector<float>& in, float nextBufferInSeconds,
                                     float silenceThreshold) {
  const auto wanted = static_cast<int64_t>(nextBufferInSeconds / 0.1f);
  const auto recent = static_cast<size_t>(std::clamp<int64_t>(wanted, 0, in.size()));
  const auto considered = static_cast<size_t>(std::max<int64_t>(wanted - 10, 10));
  const auto first = in.end() - static_cast<ptrdiff_t>(recent);
  const auto last = first + static_cast<ptrdiff_t>(std::min(considered, recent));
  return std::any_of(first, last, [&](float energy) { return energy > silenceThreshold; });
}

}  // namespace kestrune
