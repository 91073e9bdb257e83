#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/DecodingResult.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "Kestrune/Core/TranscriptionResult.hpp"
#include "Kestrune/Core/TranscriptionSegment.hpp"
#include "Kestrune/Core/TranscriptionTimings.hpp"
#include "OrvaneCore/Progress.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

class AudioProcessing;
class AudioEncoding;
class FeatureExtracting;
class SegmentSeeking;
class WhisperTokenizer;

using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

// The window loop of one transcription: cuts the audio into model windows,
// runs the mel and encoder models on each, decodes it with temperature
// fallback, cuts the tokens into timed segments and moves on by what was
// actually transcribed. One task serves one run at a time; the stages may be
// shared with other tasks. Subclasses may override the hooks.
class TranscribeTask {
 public:
  // An absent progress becomes a fresh one, an absent audio processor a
  // default audio processor.
  TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<orvane::Progress> progress,
                 std::shared_ptr<AudioProcessing> audioProcessor,
                 std::shared_ptr<AudioEncoding> audioEncoder,
                 std::shared_ptr<FeatureExtracting> featureExtractor,
                 std::shared_ptr<SegmentSeeking> segmentSeeker,
                 std::shared_ptr<TextDecoding> textDecoder,
                 std::shared_ptr<const WhisperTokenizer> tokenizer);
  virtual ~TranscribeTask() = default;
  TranscribeTask(const TranscribeTask&) = delete;
  TranscribeTask& operator=(const TranscribeTask&) = delete;

  const TranscriptionTimings& timings() const noexcept { return timings_; }
  const std::shared_ptr<orvane::Progress>& progress() const noexcept { return progress_; }
  std::shared_ptr<const WhisperTokenizer> tokenizer() const { return tokenizer_; }
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
    tokenizer_ = std::move(tokenizer);
  }
  void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
    segmentDiscoveryCallback_ = std::move(callback);
  }

  // Transcribes 16 kHz mono samples. Throws WhisperError, the stages'
  // errors, or orvane::CancellationError when this thread's work is
  // cancelled between stages.
  virtual std::shared_ptr<TranscriptionResult> run(
      const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
      const TranscriptionCallback& callback = nullptr);

  // Called with every padded window before the mel model; does nothing.
  virtual void windowPreprocess(const platform::ml::MLMultiArray& paddedAudio, int64_t seek,
                                int64_t segmentSize);
  // Called for every window that produced segments; returns them unchanged.
  virtual std::vector<TranscriptionSegment> windowPostProcess(
      int64_t seek, int64_t segmentSize, std::vector<TranscriptionSegment> originalSegments);

  // Text tokens only, decoded and trimmed of spaces and tabs; language "en"
  // when none was found.
  virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
      const std::vector<int64_t>& tokens, std::vector<TranscriptionSegment> segments,
      const std::optional<std::string>& language, const TranscriptionTimings& timings);

  // The fallback temperatures of `options`, computed in half precision:
  // with the defaults 0, 0.2, 0.4, 0.5996, 0.8, 1.0.
  static std::vector<float> fallbackTemperatures(const DecodingOptions& options);

 protected:
  // Decodes one window at rising temperatures until a pass needs no
  // fallback; the last pass's result when all of them do.
  DecodingResult decodeWithFallback(const platform::ml::MLMultiArray& encoderSegment,
                                    const DecodingOptions& decodingOptions,
                                    std::shared_ptr<DecodingInputsType>& decoderInputs,
                                    std::optional<std::string>& detectedLanguage,
                                    const TranscriptionCallback& callback);

 private:
  struct WindowOutcome;
  struct RunState;

  void processWindow(RunState& state, int64_t seek, int64_t clipEnd, int64_t windowLength,
                     int64_t clipBase, int64_t clipStart, int64_t& nextSeek);
  std::optional<std::vector<TranscriptionSegment>> alignWords(
      RunState& state, const DecodingResult& result,
      std::optional<std::vector<TranscriptionSegment>> segments, int64_t seek, int64_t segmentSize,
      int64_t& nextSeek);
  std::string promptText(const std::vector<int64_t>& prompt) const;

  TranscriptionTimings timings_;
  std::shared_ptr<orvane::Progress> progress_;
  std::shared_ptr<AudioEncoding> audioEncoder_;
  std::shared_ptr<FeatureExtracting> featureExtractor_;
  std::shared_ptr<SegmentSeeking> segmentSeeker_;
  std::shared_ptr<TextDecoding> textDecoder_;
  std::shared_ptr<AudioProcessing> audioProcessor_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  SegmentDiscoveryCallback segmentDiscoveryCallback_;
};

}  // namespace kestrune
