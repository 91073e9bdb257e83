#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Kestrune/Core/Audio/AudioInputOptions.hpp"
#include "Kestrune/Core/Audio/AudioProcessing.hpp"
#include "Kestrune/Core/Audio/AudioSampleStream.hpp"
#include "Kestrune/Core/Audio/VoiceActivityDetector.hpp"
#include "Platform/Audio/AudioConverter.hpp"
#include "Platform/Audio/AudioFile.hpp"
#include "Platform/Audio/PCMBuffer.hpp"

namespace platform::audio {
class CaptureEngine;
class CaptureSystem;
}  // namespace platform::audio

namespace kestrune {

class IncrementalFileStream;

// Energy of one captured buffer: relative level 0...1, root mean square,
// largest and smallest magnitude.
struct AudioEnergy {
  float rel = 0.0f;
  float avg = 0.0f;
  float max = 0.0f;
  float min = 0.0f;
  bool operator==(const AudioEnergy&) const = default;
};

// An audio input that can be recorded from.
struct AudioDevice {
  AudioDeviceID id = 0;
  std::string name{};
  bool operator==(const AudioDevice&) const = default;
};

// calculateEnergy's measures of a signal.
struct SignalEnergy {
  float avg = 0.0f;
  float peak = 0.0f;
  float min = 0.0f;
};

// The engine's audio front end: files of any rate and channel count become
// 16 kHz mono float samples, read in bounded pieces so that long files never
// sit in memory at their source rate. Live capture keeps its state here and
// its operations in AudioProcessor+Recording.cpp.
class AudioProcessor : public AudioProcessing {
 public:
  static constexpr double sampleRate = 16000.0;
  static constexpr uint32_t defaultReadFrameSize = 1323000;
  static constexpr double segmentSeconds = 600.0;
  static constexpr uint32_t arrayCopyChunkSize = 1024;

  AudioProcessor();
  // Captures through `captureSystem` instead of the system's PortAudio
  // inputs.
  explicit AudioProcessor(std::shared_ptr<platform::audio::CaptureSystem> captureSystem);
  ~AudioProcessor() override;
  AudioProcessor(const AudioProcessor&) = delete;
  AudioProcessor& operator=(const AudioProcessor&) = delete;

  // Files. Each throws WhisperError (loadAudioFailed, audioProcessingFailed).
  platform::audio::PCMBuffer loadAudio(
      const std::string& fromPath, const ChannelMode& channelMode = ChannelMode::sumChannels(),
      std::optional<double> startTime = 0.0, std::optional<double> endTime = std::nullopt,
      std::optional<uint32_t> maxReadFrameSize = std::nullopt) const override;
  std::vector<AudioArrayOutcome> loadAudio(
      const std::vector<std::string>& at,
      const ChannelMode& channelMode = ChannelMode::sumChannels()) const override;
  // The same on an open file; reading starts at the start time.
  static platform::audio::PCMBuffer loadAudio(
      platform::audio::AudioFile& fromFile,
      const ChannelMode& channelMode = ChannelMode::sumChannels(),
      std::optional<double> startTime = 0.0, std::optional<double> endTime = std::nullopt,
      std::optional<uint32_t> maxReadFrameSize = std::nullopt);
  // The same with the range in frames of the file.
  static platform::audio::PCMBuffer loadFrames(platform::audio::AudioFile& fromFile,
                                               const ChannelMode& channelMode, int64_t startFrame,
                                               int64_t endFrame,
                                               std::optional<uint32_t> maxReadFrameSize);
  // Appends frames [startFrame, endFrame) of a file, as 16 kHz mono, to
  // `samples`, on the sample grid that starts at `anchorFrame`: consecutive
  // segments of one anchor join seamlessly.
  static void appendSegment(platform::audio::AudioFile& fromFile, const ChannelMode& channelMode,
                            int64_t anchorFrame, int64_t startFrame, int64_t endFrame,
                            std::vector<float>& samples);
  // Checks that the path exists and opens it.
  static platform::audio::AudioFile openAudioFile(const std::string& path);
  // A file (or a stretch of it) as samples, converted in 600-second pieces.
  static std::vector<float> loadAudioAsFloatArray(
      const std::string& fromPath, const ChannelMode& channelMode = ChannelMode::sumChannels(),
      std::optional<double> startTime = 0.0, std::optional<double> endTime = std::nullopt);

  // Conversion. The optional results are none after an error line.
  static std::optional<platform::audio::PCMBuffer> resampleAudio(
      platform::audio::AudioFile& fromFile, double toSampleRate, uint32_t channelCount,
      const ChannelMode& channelMode, int64_t frameCount,
      std::optional<uint32_t> maxReadFrameSize = std::nullopt);
  static std::optional<platform::audio::PCMBuffer> resampleAudio(
      const platform::audio::PCMBuffer& fromBuffer, double toSampleRate, uint32_t channelCount);
  // One-shot conversion; throws audioProcessingFailed.
  static platform::audio::PCMBuffer resampleBuffer(const platform::audio::PCMBuffer& buffer,
                                                   platform::audio::AudioConverter& with);
  static std::optional<platform::audio::PCMBuffer> convertToMono(
      const platform::audio::PCMBuffer& buffer, const ChannelMode& mode);
  // The first channel as an array; the buffer is zeroed as it is copied.
  static std::vector<float> convertBufferToArray(platform::audio::PCMBuffer& buffer,
                                                 uint32_t chunkSize = arrayCopyChunkSize);

  // Windows.
  std::optional<platform::ml::MLMultiArray> padOrTrimAudio(const std::vector<float>& fromArray,
                                                           int64_t startAt = 0,
                                                           int64_t toLength = 480000,
                                                           bool saveSegment = false) const override;
  std::optional<platform::ml::MLMultiArray> padOrTrim(const std::vector<float>& fromArray,
                                                      int64_t startAt = 0,
                                                      int64_t toLength = 480000) override;

  // Energy.
  static SignalEnergy calculateEnergy(std::span<const float> of);
  static float calculateAverageEnergy(std::span<const float> of);
  static float calculateRelativeEnergy(std::span<const float> of,
                                       std::optional<float> relativeTo = std::nullopt);
  static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> of,
                                                          int64_t chunkCount,
                                                          int frameLengthSamples,
                                                          int frameOverlapSamples,
                                                          float energyThreshold);
  static std::vector<IndexRange> calculateNonSilentChunks(std::span<const float> in);
  static bool isVoiceDetected(const std::vector<float>& in, float nextBufferInSeconds,
                              float silenceThreshold);

  // Streams a file as chunks cut at silences; see
  // AudioProcessor+IncrementalLoading.hpp.
  static IncrementalFileStream loadFileIncrementally(
      const std::string& fromPath, const ChannelMode& channelMode, double chunkDurationSeconds,
      int maxBufferedChunks, int64_t maxChunkLength,
      std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

  // Captured audio.
  std::vector<float> audioSamples() const override;
  size_t audioSampleCount() const override;
  void purgeAudioSamples(size_t keepingLast) override;
  std::vector<AudioEnergy> audioEnergy() const;
  std::vector<float> relativeEnergy() const override;
  int relativeEnergyWindow() const override;
  void setRelativeEnergyWindow(int window) override;

  // Live capture (AudioProcessor+Recording.cpp). Captured buffers arrive as
  // 16 kHz mono on the capture thread; each is appended to audioSamples(),
  // measured into audioEnergy() and handed to the callback there.

  // Inputs with at least one channel; empty (after an error line) when the
  // system cannot list them.
  static std::vector<AudioDevice> getAudioDevices();
  static std::vector<AudioDevice> getAudioDevices(platform::audio::CaptureSystem& system);
  // Granted when the default input can be opened; a refusal is logged.
  static bool requestRecordPermission();
  static bool requestRecordPermission(platform::audio::CaptureSystem& system);
  // The same through this processor's capture system.
  bool hasRecordPermission() const;

  // Opens and starts a device (the default input when none is given) with
  // its buffers converted and fed to processBuffer. Throws WhisperError:
  // microphoneUnavailable when the device cannot be opened or started,
  // audioProcessingFailed when its format cannot be converted. The engine
  // feeds this processor and must be stopped before the processor goes.
  std::shared_ptr<platform::audio::CaptureEngine> setupEngine(
      std::optional<AudioDeviceID> inputDeviceID = std::nullopt);
  // Clears the captured samples and energies and starts capturing.
  void startRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                          AudioBufferCallback callback = nullptr) override;
  // Captured arrays as a stream. Letting the stream go (or terminating it)
  // stops the recording; a failure to start ends it with that error.
  std::pair<AudioSampleStream, AudioSampleStream::Continuation> startStreamingRecordingLive(
      std::optional<AudioDeviceID> inputDeviceID = std::nullopt);
  void pauseRecording() override;
  void stopRecording() override;
  // Restarts the kept engine when the device is the last one used, else
  // opens the new device; the callback is replaced only when one is given.
  void resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                           AudioBufferCallback callback = nullptr) override;

  // Appends one captured buffer, records its energy relative to the
  // quietest of the recent buffers, and hands it to the callback.
  void processBuffer(const std::vector<float>& samples);
  // While suppressed, captured buffers are recorded as silence.
  void setInputSuppressed(bool suppressed);
  bool isInputSuppressed() const;
  bool isRecording() const;
  std::optional<AudioDeviceID> lastInputDevice() const;
  // Frames per captured buffer; applies to the next engine set up.
  int minBufferLength() const;
  void setMinBufferLength(int frames);

 private:
  platform::audio::CaptureSystem& captureSystem() const;
  std::shared_ptr<platform::audio::CaptureEngine> takeEngine();
  void handleCapturedBuffer(const platform::audio::PCMBuffer& buffer,
                            platform::audio::AudioConverter* converter);

  // Capture state, written on the capture thread and read by the engine.
  mutable std::mutex captureLock_;
  std::optional<AudioDeviceID> lastInputDevice_;
  std::shared_ptr<platform::audio::CaptureEngine> audioEngine_;
  std::vector<float> audioSamples_;
  std::vector<AudioEnergy> audioEnergy_;
  int relativeEnergyWindow_ = 20;
  AudioBufferCallback audioBufferCallback_;
  int minBufferLength_ = 1600;
  bool isInputSuppressed_ = false;
  std::shared_ptr<platform::audio::CaptureSystem> captureSystem_;
  // Lets a stream that outlives the processor see that it is gone.
  std::shared_ptr<int> lifeToken_ = std::make_shared<int>();

  // Declared last so that it runs first on destruction: capture stops before
  // the state that the capture thread writes to goes away.
  struct CaptureShutdown {
    AudioProcessor* owner;
    ~CaptureShutdown();
  };
  CaptureShutdown captureShutdown_{this};
};

}  // namespace kestrune
