#include "Kestrune/Core/Audio/AudioChunker.hpp"

#include <algorithm>
#include <cstdio>

#include "Kestrune/Core/Audio/EnergyVAD.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/TypedError.hpp"

namespace kestrune {

namespace {

constexpr float modelSampleRate = 16000.0f;

std::string secondsText(int64_t sample) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", static_cast<float>(sample) / modelSampleRate);
  return text;
}

TranscriptionSegment shifted(TranscriptionSegment segment, float seconds) {
  segment.seek += static_cast<int64_t>(seconds * modelSampleRate);
  segment.start += seconds;
  segment.end += seconds;
  if (segment.words) {
    for (auto& word : *segment.words) {
      word.start += seconds;
      word.end += seconds;
    }
  }
  return segment;
}

}  // namespace

TranscriptionResults AudioChunking::updateSeekOffsetsForResults(
    const std::vector<ChunkTranscriptionOutcome>& chunkedResults,
    const std::vector<AudioChunk>& audioChunks) const {
  TranscriptionResults updated;
  const size_t count = std::min(chunkedResults.size(), audioChunks.size());
  for (size_t index = 0; index < count; ++index) {
    if (const auto* error = std::get_if<std::exception_ptr>(&chunkedResults[index])) {
      orvane::Logging::debug("Error transcribing chunk " + std::to_string(index) + ": " +
                             orvane::errorText(*error));
      continue;
    }
    const float seconds = static_cast<float>(audioChunks[index].seekOffsetIndex) / modelSampleRate;
    for (const auto& result : std::get<TranscriptionResults>(chunkedResults[index])) {
      if (!result) continue;
      result->withSegmentsLock([&](std::vector<TranscriptionSegment>& segments) {
        for (auto& segment : segments) segment = shifted(std::move(segment), seconds);
      });
      result->setSeekTime(seconds);
      updated.push_back(result);
    }
  }
  return updated;
}

VADAudioChunker::VADAudioChunker(int64_t windowPadding,
                                 std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding_(windowPadding),
      vad_(vad ? std::move(vad) : std::make_shared<const EnergyVAD>()) {}

int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(std::span<const float> audioArray,
                                                       int64_t startIndex, int64_t endIndex) const {
  const int64_t middle = startIndex + (endIndex - startIndex) / 2;
  const auto secondHalf =
      audioArray.subspan(static_cast<size_t>(middle), static_cast<size_t>(endIndex - middle));
  const std::optional<IndexRange> silence =
      vad_->findLongestSilence(vad_->voiceActivity(secondHalf));
  if (!silence) return endIndex;
  const int64_t frame = silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
  return middle + frame * vad_->frameLengthSamples();
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(
    const std::vector<float>& audioArray, int64_t maxChunkLength,
    const std::optional<DecodingOptions>& decodeOptions) {
  const auto count = static_cast<int64_t>(audioArray.size());
  if (count <= maxChunkLength) return {AudioChunk{0, audioArray}};
  if (maxChunkLength <= 0) {
    throw WhisperError::audioProcessingFailed("maxChunkLength must be greater than 0");
  }
  const DecodingOptions options = decodeOptions.value_or(DecodingOptions{});
  std::vector<AudioChunk> chunks;
  for (const SeekClip& clip : options.prepareSeekClips(count)) {
    // A clip that runs past the audio is cut at its end, so that no chunk
    // reaches beyond the last sample.
    const int64_t clipEnd = std::min(clip.end, count);
    int64_t start = std::max<int64_t>(clip.start, 0);
    while (start < clipEnd - windowPadding_) {
      if (start >= count) {
        throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
      }
      int64_t end = clipEnd;
      if (start + maxChunkLength < clipEnd) {
        end = splitOnMiddleOfLongestSilence(audioArray, start,
                                            std::min(start + maxChunkLength, count));
      }
      if (start >= end) break;
      orvane::Logging::debug("Found chunk from " + secondsText(start) + " to " + secondsText(end));
      chunks.push_back(AudioChunk{
          start, std::vector<float>(audioArray.begin() + start, audioArray.begin() + end)});
      start = end;
    }
  }
  return chunks;
}

}  // namespace kestrune
