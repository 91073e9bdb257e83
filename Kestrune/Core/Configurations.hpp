#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/Audio/AudioInputOptions.hpp"
#include "OrvaneCore/Logging.hpp"
#include "Platform/ML/MLComputeUnits.hpp"

namespace kestrune {

class AudioProcessing;
class FeatureExtracting;
class AudioEncoding;
class TextDecoding;
class LogitsFiltering;
class SegmentSeeking;
class VoiceActivityDetector;

using platform::ml::MLComputeUnits;

// Where each of the three models runs.
struct ModelComputeOptions {
  MLComputeUnits melCompute = MLComputeUnits::cpuAndGPU;
  MLComputeUnits audioEncoderCompute = defaultAudioEncoderCompute();
  MLComputeUnits textDecoderCompute = MLComputeUnits::cpuAndNeuralEngine;

  ModelComputeOptions() = default;
  // An absent encoder choice takes the system's preferred one.
  ModelComputeOptions(MLComputeUnits melCompute, std::optional<MLComputeUnits> audioEncoderCompute,
                      MLComputeUnits textDecoderCompute);

  // The Neural Engine where the system is new enough to run the encoder
  // there well, else the GPU. This runtime counts as the newer kind.
  static MLComputeUnits defaultAudioEncoderCompute();

  bool operator==(const ModelComputeOptions&) const = default;
};

// Everything that decides how an engine is built. The engine reads it once,
// while it is built; later changes do not reach it. Absent components are
// replaced by new default ones.
struct KestruneConfig {
  std::optional<std::string> model{};
  std::optional<std::string> downloadBase{};
  std::optional<std::string> modelRepo{};
  std::optional<std::string> modelToken{};
  std::optional<std::string> modelEndpoint{};
  std::optional<std::string> modelFolder{};
  std::optional<std::string> tokenizerFolder{};
  std::optional<ModelComputeOptions> computeOptions{};
  std::optional<AudioInputOptions> audioInputConfigStorage{};
  std::shared_ptr<AudioProcessing> audioProcessor{};
  std::shared_ptr<FeatureExtracting> featureExtractor{};
  std::shared_ptr<AudioEncoding> audioEncoder{};
  std::shared_ptr<TextDecoding> textDecoder{};
  std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters{};
  std::shared_ptr<SegmentSeeking> segmentSeeker{};
  std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector{};
  bool verbose = false;
  orvane::Logging::LogLevel logLevel = orvane::Logging::LogLevel::info;
  std::optional<bool> prewarm{};
  std::optional<bool> load{};
  bool download = true;
  bool useBackgroundDownloadSession = false;

  // The audio input options, the defaults when none were stored.
  AudioInputOptions audioInputConfig() const {
    return audioInputConfigStorage.value_or(AudioInputOptions{});
  }
  void setAudioInputConfig(AudioInputOptions options) {
    audioInputConfigStorage = std::move(options);
  }
};

}  // namespace kestrune
