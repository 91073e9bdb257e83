#include <algorithm>

#include "Kestrune/Core/Audio/AudioChunker.hpp"
#include "Kestrune/Core/Audio/EnergyVAD.hpp"
#include "Kestrune/Core/Batching.hpp"
#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/TaskCancellation.hpp"

namespace kestrune {

using orvane::Logging;

namespace {

void shiftSegment(TranscriptionSegment& segment, int64_t offset) {
  const float seconds = static_cast<float>(offset) / static_cast<float>(Kestrune::sampleRate);
  segment.seek += offset;
  segment.start += seconds;
  segment.end += seconds;
  if (segment.words) {
    for (auto& word : *segment.words) {
      word.start += seconds;
      word.end += seconds;
    }
  }
}

// The callback told segments as if they were cut from a recording that
// starts `offset` samples before the transcribed array.
SegmentDiscoveryCallback shiftedCallback(SegmentDiscoveryCallback callback, int64_t offset) {
  if (!callback) return nullptr;
  return [callback = std::move(callback), offset](const std::vector<TranscriptionSegment>& found) {
    auto shifted = found;
    for (auto& segment : shifted) shiftSegment(segment, offset);
    callback(shifted);
  };
}

TranscriptionOutcome failure(const WhisperError& error) {
  return std::make_exception_ptr(error);
}

}  // namespace

TranscriptionResults Kestrune::transcribe(const std::vector<float>& audioArray,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionCallback& callback,
                                          const SegmentDiscoveryCallback& segmentCallback) {
  return transcribe(audioArray, 0, decodeOptions, callback, segmentCallback);
}

TranscriptionResults Kestrune::transcribe(const std::vector<float>& audioArray,
                                          int64_t audioArrayOffset,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionCallback& callback,
                                          const SegmentDiscoveryCallback& segmentCallback) {
  const bool chunked = static_cast<int64_t>(audioArray.size()) > windowSamples() && decodeOptions &&
                       decodeOptions->chunkingStrategy == ChunkingStrategy::vad;
  TranscriptionResults results;
  if (chunked) {
    results = transcribeChunked(audioArray, audioArrayOffset, *decodeOptions, callback);
  } else {
    auto effective = segmentCallback ? segmentCallback : segmentDiscoveryCallback_;
    if (audioArrayOffset > 0) effective = shiftedCallback(std::move(effective), audioArrayOffset);
    results = runTranscribeTask(audioArray, decodeOptions, callback, effective);
  }
  if (decodeOptions && decodeOptions->verbose) {
    Logging::info("Total Transcription Results: " + std::to_string(results.size()));
    for (size_t i = 0; i < results.size(); ++i) {
      Logging::debug("[Result " + std::to_string(i) + "]");
      results[i]->logSegments();
    }
  }
  return results;
}

std::shared_ptr<const VoiceActivityDetector> Kestrune::detectorForChunking() const {
  if (voiceActivityDetector_) return voiceActivityDetector_;
  return std::make_shared<EnergyVAD>(sampleRate, 1600, 0, 0.02f);
}

TranscriptionResults Kestrune::transcribeChunked(const std::vector<float>& audioArray,
                                                 int64_t audioArrayOffset,
                                                 const DecodingOptions& options,
                                                 const TranscriptionCallback& callback) {
  VADAudioChunker chunker(16000, detectorForChunking());
  const auto chunks = chunker.chunkAll(audioArray, windowSamples(), options);
  Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
  progress()->raiseTotalUnitCount(static_cast<int64_t>(chunks.size()));

  std::vector<std::vector<float>> samples;
  std::vector<std::optional<DecodingOptions>> chunkOptions;
  std::vector<int64_t> seekOffsets;
  DecodingOptions perChunk = options;
  perChunk.clipTimestamps.clear();
  for (const auto& chunk : chunks) {
    samples.push_back(chunk.audioSamples);
    chunkOptions.emplace_back(perChunk);
    seekOffsets.push_back(audioArrayOffset + chunk.seekOffsetIndex);
  }
  const auto outcomes = transcribeWithOptions(samples, chunkOptions, seekOffsets, callback);
  return chunker.updateSeekOffsetsForResults(outcomes, chunks);
}

std::shared_ptr<TranscribeTask> Kestrune::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<orvane::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer) {
  return std::make_shared<TranscribeTask>(currentTimings, std::move(progress),
                                          std::move(audioProcessor), std::move(audioEncoder),
                                          std::move(featureExtractor), std::move(segmentSeeker),
                                          std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults Kestrune::runTranscribeTask(
    const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback) {
  {
    // Batch items start together; one of them loads, the others wait.
    std::lock_guard guard(loadingLock_);
    if (modelState() != ModelState::loaded) loadModels(false);
  }
  if (!tokenizer_) throw WhisperError::tokenizerUnavailable();
  try {
    orvane::Task::checkCancellation();
    auto child = orvane::Progress::make();
    const auto engineProgress = progress();
    engineProgress->raiseTotalUnitCount(1);
    engineProgress->addChild(child, 1);
    auto task = setupTranscribeTask(currentTimings(), child, audioProcessor_, audioEncoder_,
                                    featureExtractor_, segmentSeeker_, textDecoder_, tokenizer_);
    task->setSegmentDiscoveryCallback(segmentCallback);
    auto result = task->run(audioArray, decodeOptions, callback);
    if (decodeOptions && decodeOptions->verbose) result->logTimings();
    if (progress()->isFinished()) setProgress(orvane::Progress::make());
    return {result};
  } catch (const orvane::CancellationError&) {
    setProgress(orvane::Progress::make());
    throw;
  }
}

std::vector<TranscriptionOutcome> Kestrune::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays,
    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<int64_t>>& seekOffsets, const TranscriptionCallback& callback) {
  if (decodeOptionsArray.size() != audioArrays.size()) {
    return {failure(WhisperError::transcriptionFailed(
        "The number of audio arrays and decoding options must be balanced."))};
  }
  if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
    return {failure(WhisperError::transcriptionFailed(
        "The number of audio arrays and seek offset indexes must be balanced."))};
  }
  int64_t workers = 0;
  for (const auto& options : decodeOptionsArray) {
    workers = std::max(workers, options ? options->concurrentWorkerCount : 0);
  }
  const size_t total = audioArrays.size();
  const size_t batchSize = workers > 0 ? static_cast<size_t>(workers) : total;
  if (total == 0) return {};

  const std::weak_ptr<Kestrune> weakEngine = weak_from_this();
  const auto cancellation = orvane::Task::currentToken();
  auto transcribeItem = [&, weakEngine, cancellation](size_t index) -> TranscriptionOutcome {
    const orvane::CancellationScope scope(cancellation);
    const auto engine = weakEngine.lock();
    if (!engine) {
      return failure(WhisperError::transcriptionFailed("Kestrune instance was deallocated"));
    }
    TranscriptionCallback itemCallback = [callback, index](const TranscriptionProgress& progress) {
      if (!callback) return std::optional<bool>();
      TranscriptionProgress relabelled = progress;
      relabelled.windowId = static_cast<int64_t>(index);
      return callback(relabelled);
    };
    auto segmentCallback = engine->segmentDiscoveryCallback();
    if (seekOffsets) segmentCallback = shiftedCallback(segmentCallback, (*seekOffsets)[index]);
    try {
      return engine->transcribe(audioArrays[index], decodeOptionsArray[index], itemCallback,
                                segmentCallback);
    } catch (...) {
      return std::current_exception();
    }
  };

  return runInBatches<TranscriptionOutcome>(total, batchSize, transcribeItem);
}

std::vector<TranscriptionOutcome> Kestrune::transcribeWithResults(
    const std::vector<std::vector<float>>& audioArrays,
    const std::optional<DecodingOptions>& decodeOptions, const TranscriptionCallback& callback) {
  const std::vector<std::optional<DecodingOptions>> options(audioArrays.size(), decodeOptions);
  return transcribeWithOptions(audioArrays, options, std::nullopt, callback);
}

std::vector<std::optional<TranscriptionResults>> Kestrune::transcribe(
    const std::vector<std::vector<float>>& audioArrays,
    const std::optional<DecodingOptions>& decodeOptions, const TranscriptionCallback& callback) {
  std::vector<std::optional<TranscriptionResults>> results;
  for (auto& outcome : transcribeWithResults(audioArrays, decodeOptions, callback)) {
    if (auto* success = std::get_if<TranscriptionResults>(&outcome)) {
      results.emplace_back(std::move(*success));
    } else {
      results.emplace_back(std::nullopt);
    }
  }
  return results;
}

}  // namespace kestrune
