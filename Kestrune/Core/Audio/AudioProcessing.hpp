#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Kestrune/Core/Audio/AudioInputOptions.hpp"
#include "Platform/Audio/PCMBuffer.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

// The samples of one file, or the error that stopped its reading.
using AudioArrayOutcome = std::variant<std::vector<float>, std::exception_ptr>;

using AudioDeviceID = uint32_t;
using AudioBufferCallback = std::function<void(const std::vector<float>&)>;

// Pixel size of a waveform picture.
struct ImageSize {
  int width = 0;
  int height = 0;
};

// What the engine needs of an audio front end: 16 kHz mono samples from
// files and the microphone, and model windows cut from them. The engine and
// the transcribe task hold it through this interface so that another front
// end can take its place.
class AudioProcessing {
 public:
  virtual ~AudioProcessing() = default;

  // A file (or a stretch of it, in seconds) as 16 kHz mono. Throws
  // WhisperError.
  virtual platform::audio::PCMBuffer loadAudio(
      const std::string& fromPath, const ChannelMode& channelMode = ChannelMode::sumChannels(),
      std::optional<double> startTime = 0.0, std::optional<double> endTime = std::nullopt,
      std::optional<uint32_t> maxReadFrameSize = std::nullopt) const = 0;
  // Every file read in parallel; one outcome per path, in path order.
  virtual std::vector<AudioArrayOutcome> loadAudio(
      const std::vector<std::string>& at,
      const ChannelMode& channelMode = ChannelMode::sumChannels()) const = 0;
  // `toLength` samples from `startAt`, zero-padded: a Float32 array of shape
  // [toLength]; none (after an error line) when `startAt` lies outside.
  virtual std::optional<platform::ml::MLMultiArray> padOrTrimAudio(
      const std::vector<float>& fromArray, int64_t startAt = 0, int64_t toLength = 480000,
      bool saveSegment = false) const = 0;

  // Captured microphone samples.
  virtual std::vector<float> audioSamples() const = 0;
  // How many samples audioSamples() holds, without copying them.
  virtual size_t audioSampleCount() const { return audioSamples().size(); }
  virtual void purgeAudioSamples(size_t keepingLast) = 0;
  // The relative energy of every captured buffer, in order.
  virtual std::vector<float> relativeEnergy() const = 0;
  virtual int relativeEnergyWindow() const = 0;
  virtual void setRelativeEnergyWindow(int window) = 0;

  virtual void startRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                                  AudioBufferCallback callback = nullptr) = 0;
  virtual void pauseRecording() = 0;
  virtual void stopRecording() = 0;
  virtual void resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                                   AudioBufferCallback callback = nullptr) = 0;

  // The model input of one window; see padOrTrimAudio.
  virtual std::optional<platform::ml::MLMultiArray> padOrTrim(const std::vector<float>& fromArray,
                                                              int64_t startAt = 0,
                                                              int64_t toLength = 480000) = 0;

  // Reads a whole file, all channels summed, on a thread of its own.
  virtual std::future<platform::audio::PCMBuffer> loadAudioAsync(const std::string& fromPath) const;
  // A binary PGM picture of the waveform: each column spans its share of
  // the samples from their lowest to their highest value, dark on white.
  // Empty for a size without pixels.
  virtual std::vector<uint8_t> createWaveformImage(const std::vector<float>& fromAudio,
                                                   ImageSize withSize) const;
};

}  // namespace kestrune
