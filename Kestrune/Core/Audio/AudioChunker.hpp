#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "Kestrune/Core/Audio/AudioChunk.hpp"
#include "Kestrune/Core/Audio/VoiceActivityDetector.hpp"
#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/TranscriptionResult.hpp"

namespace kestrune {

using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;
// One chunk's transcription: its results, or the error that ended it.
using ChunkTranscriptionOutcome = std::variant<TranscriptionResults, std::exception_ptr>;

// Cuts long audio into chunks that can be transcribed on their own, and puts
// the chunks' results back onto the time line of the whole.
class AudioChunking {
 public:
  virtual ~AudioChunking() = default;

  // Chunks of at most `maxChunkLength` samples, in order. Throws
  // WhisperError.
  virtual std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray,
                                           int64_t maxChunkLength,
                                           const std::optional<DecodingOptions>& decodeOptions) = 0;

  // The results of the successful chunks, in chunk order, each shifted by
  // its chunk's offset (in place: the caller's result objects change).
  // Failed chunks are logged and left out.
  TranscriptionResults updateSeekOffsetsForResults(
      const std::vector<ChunkTranscriptionOutcome>& chunkedResults,
      const std::vector<AudioChunk>& audioChunks) const;
};

// Cuts in the middle of the longest silence of the second half of each
// window, so that no word is split.
class VADAudioChunker : public AudioChunking {
 public:
  // Without a detector an EnergyVAD with its defaults is used.
  explicit VADAudioChunker(int64_t windowPadding = 16000,
                           std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

  int64_t windowPadding() const noexcept { return windowPadding_; }
  const VoiceActivityDetector& vad() const noexcept { return *vad_; }

  std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, int64_t maxChunkLength,
                                   const std::optional<DecodingOptions>& decodeOptions) override;

 private:
  int64_t splitOnMiddleOfLongestSilence(std::span<const float> audioArray, int64_t startIndex,
                                        int64_t endIndex) const;

  int64_t windowPadding_;
  std::shared_ptr<const VoiceActivityDetector> vad_;
};

}  // namespace kestrune
