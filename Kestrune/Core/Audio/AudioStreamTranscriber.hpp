#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/TranscriptionProgress.hpp"
#include "Kestrune/Core/TranscriptionSegment.hpp"

namespace kestrune {

class AudioEncoding;
class AudioProcessing;
class FeatureExtracting;
class SegmentSeeking;
class TextDecoding;
class TranscribeTask;
class WhisperTokenizer;

// A live transcription of the microphone: the growing recording is
// transcribed again and again, and a segment is confirmed once enough later
// segments follow it, so that confirmed text no longer changes.
class AudioStreamTranscriber {
 public:
  struct State {
    bool isRecording = false;
    int currentFallbacks = 0;
    // Samples already handed to transcription.
    size_t lastBufferSize = 0;
    float lastConfirmedSegmentEndSeconds = 0.0f;
    std::vector<float> bufferEnergy{};
    std::string currentText{};
    std::vector<TranscriptionSegment> confirmedSegments{};
    std::vector<TranscriptionSegment> unconfirmedSegments{};
    std::vector<std::string> unconfirmedText{};

    bool operator==(const State&) const = default;
  };

  // Called after every change of the state, one call at a time, on the
  // thread that made the change.
  using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;
  using PermissionRequest = std::function<bool()>;

  static constexpr const char* waitingText = "Waiting for speech...";

  // A transcribe task over the given stages. No audio processor means a
  // new AudioProcessor on the system's default input.
  AudioStreamTranscriber(std::shared_ptr<AudioEncoding> audioEncoder,
                         std::shared_ptr<FeatureExtracting> featureExtractor,
                         std::shared_ptr<SegmentSeeking> segmentSeeker,
                         std::shared_ptr<TextDecoding> textDecoder,
                         std::shared_ptr<const WhisperTokenizer> tokenizer,
                         std::shared_ptr<AudioProcessing> audioProcessor,
                         DecodingOptions decodingOptions, int requiredSegmentsForConfirmation = 2,
                         float silenceThreshold = 0.3f, int compressionCheckWindow = 60,
                         bool useVAD = true, StateChangeCallback stateChangeCallback = nullptr);
  // The same around a ready transcribe task.
  AudioStreamTranscriber(std::shared_ptr<TranscribeTask> transcribeTask,
                         std::shared_ptr<AudioProcessing> audioProcessor,
                         DecodingOptions decodingOptions, int requiredSegmentsForConfirmation = 2,
                         float silenceThreshold = 0.3f, int compressionCheckWindow = 60,
                         bool useVAD = true, StateChangeCallback stateChangeCallback = nullptr);
  ~AudioStreamTranscriber();
  AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
  AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

  // Records from the input (the default one when none is given) and
  // transcribes until stopStreamTranscription() is called from another
  // thread (or from the state callback). Returns at once when already
  // recording or when record permission is refused. A failure to record or
  // to transcribe is logged and ends the recording; nothing is thrown.
  void startStreamTranscription(std::optional<uint32_t> inputDeviceID = std::nullopt);
  void stopStreamTranscription();

  State state() const;
  const std::shared_ptr<AudioProcessing>& audioProcessor() const noexcept {
    return audioProcessor_;
  }
  // Replaces the record-permission check (by default the processor's own
  // when it is an AudioProcessor, else granted).
  void setRecordPermissionRequest(PermissionRequest request);

  // The answer given to the decoder for one progress report: false (stop)
  // when the last `compressionCheckWindow` tokens compress too well, or
  // when the average log-probability falls below the threshold.
  std::optional<bool> earlyStopAnswer(const TranscriptionProgress& progress) const;
  // One pass of the loop: waits 100 ms when there is too little new audio
  // or no voice, else transcribes the recording and confirms segments.
  void transcribeCurrentBuffer();

 private:
  class SerialQueue;

  void updateState(const std::function<void(State&)>& change);
  void applyProgress(const TranscriptionProgress& progress);
  void applySegments(const std::vector<TranscriptionSegment>& segments);
  void showWaiting();

  std::shared_ptr<TranscribeTask> transcribeTask_;
  std::shared_ptr<AudioProcessing> audioProcessor_;
  DecodingOptions decodingOptions_;
  int requiredSegmentsForConfirmation_;
  float silenceThreshold_;
  int compressionCheckWindow_;
  bool useVAD_;
  StateChangeCallback stateChangeCallback_;
  PermissionRequest recordPermission_;

  // Serialises changes and their callbacks; recursive so that the callback
  // may stop the transcription.
  std::recursive_mutex updateLock_;
  mutable std::mutex stateLock_;
  State state_;
  std::shared_ptr<SerialQueue> updates_;
};

}  // namespace kestrune
