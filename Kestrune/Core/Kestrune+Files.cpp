#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Kestrune/Core/Audio/AudioProcessor+IncrementalLoading.hpp"
#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Audio/EnergyVAD.hpp"
#include "Kestrune/Core/Batching.hpp"
#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/EngineModels.hpp"
#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"

namespace kestrune {

using orvane::Logging;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void shiftResult(TranscriptionResult& result, int64_t offset) {
  const float seconds = static_cast<float>(offset) / static_cast<float>(Kestrune::sampleRate);
  result.modifySegments([&](std::vector<TranscriptionSegment>& segments) {
    for (auto& segment : segments) {
      segment.seek += offset;
      segment.start += seconds;
      segment.end += seconds;
      if (!segment.words) continue;
      for (auto& word : *segment.words) {
        word.start += seconds;
        word.end += seconds;
      }
    }
  });
  result.setSeekTime(result.seekTime().value_or(0.0f) + seconds);
}

}  // namespace

void Kestrune::tellTranscriptionState(TranscriptionState state) const {
  if (transcriptionStateCallback_) transcriptionStateCallback_(state);
}

TranscriptionResults Kestrune::transcribe(const std::string& audioPath,
                                          const std::optional<AudioInputOptions>& audioInputOptions,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionCallback& callback) {
  const AudioInputOptions inputOptions = audioInputOptions.value_or(audioInputOptions_);
  const auto& mode = inputOptions.audioLoadingMode;
  if (mode.kind() == AudioLoadingMode::Kind::fullFile) {
    tellTranscriptionState(TranscriptionState::convertingAudio);
    const auto start = Clock::now();
    const auto samples = AudioProcessor::loadAudioAsFloatArray(audioPath, inputOptions.channelMode);
    const double elapsed = secondsSince(start);
    currentTimings_.modify([&](TranscriptionTimings& timings) { timings.audioLoading = elapsed; });
    Logging::debug("Audio loading and convert time: " + orvane::textForm(elapsed));
    Logging::logCurrentMemoryUsage("Audio Loading and Convert");
    tellTranscriptionState(TranscriptionState::transcribing);
    try {
      auto results = transcribe(samples, decodeOptions, callback, nullptr);
      tellTranscriptionState(TranscriptionState::finished);
      return results;
    } catch (...) {
      tellTranscriptionState(TranscriptionState::finished);
      throw;
    }
  }

  const auto start = Clock::now();
  const auto recordTime = [&] {
    const double elapsed = secondsSince(start);
    currentTimings_.modify([&](TranscriptionTimings& timings) { timings.audioLoading = elapsed; });
    Logging::debug("Audio streaming and transcription time: " + orvane::textForm(elapsed));
    Logging::logCurrentMemoryUsage("Audio Streaming");
  };
  try {
    auto stream = openFileStream(audioPath, inputOptions);
    auto results = transcribeFileStream(stream, decodeOptions, callback, true);
    recordTime();
    return results;
  } catch (...) {
    recordTime();
    throw;
  }
}

IncrementalFileStream Kestrune::openFileStream(const std::string& audioPath,
                                               const AudioInputOptions& inputOptions) const {
  const auto& mode = inputOptions.audioLoadingMode;
  return AudioProcessor::loadFileIncrementally(
      audioPath, inputOptions.channelMode, mode.chunkDurationSeconds(), mode.maxBufferedChunks(),
      windowSamples(), detectorForChunking());
}

TranscriptionResults Kestrune::transcribeFileStream(
    IncrementalFileStream& stream, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback, bool withStateCallbacks) {
  if (decodeOptions && !decodeOptions->clipTimestamps.empty()) {
    throw WhisperError::transcriptionFailed(
        "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or "
        "transcribe the desired range as a separate call.");
  }
  if (withStateCallbacks) tellTranscriptionState(TranscriptionState::transcribing);
  TranscriptionResults all;
  try {
    while (auto chunk = stream.next()) {
      const int64_t offset = chunk->audioChunk.seekOffsetIndex;
      auto results =
          transcribe(chunk->audioChunk.audioSamples, offset, decodeOptions, callback, nullptr);
      for (const auto& result : results) {
        shiftResult(*result, offset);
        all.push_back(result);
      }
      if (chunk->completionSignal) chunk->completionSignal();
    }
  } catch (...) {
    if (withStateCallbacks) tellTranscriptionState(TranscriptionState::finished);
    throw;
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& left, const auto& right) {
    return left->seekTime().value_or(0.0f) < right->seekTime().value_or(0.0f);
  });
  if (withStateCallbacks) tellTranscriptionState(TranscriptionState::finished);
  return all;
}

std::vector<TranscriptionOutcome> Kestrune::transcribeWithResults(
    const std::vector<std::string>& audioPaths,
    const std::optional<AudioInputOptions>& audioInputOptions,
    const std::optional<DecodingOptions>& decodeOptions, const TranscriptionCallback& callback) {
  const AudioInputOptions inputOptions = audioInputOptions.value_or(audioInputOptions_);
  if (inputOptions.audioLoadingMode.kind() == AudioLoadingMode::Kind::fullFile) {
    tellTranscriptionState(TranscriptionState::convertingAudio);
    const auto start = Clock::now();
    auto loaded = audioProcessor_->loadAudio(audioPaths, inputOptions.channelMode);
    const double elapsed = secondsSince(start);
    currentTimings_.modify([&](TranscriptionTimings& timings) { timings.audioLoading = elapsed; });
    Logging::debug("Total Audio Loading and Converting Time: " + orvane::textForm(elapsed));
    tellTranscriptionState(TranscriptionState::transcribing);

    std::vector<std::vector<float>> arrays;
    for (auto& outcome : loaded) {
      if (auto* samples = std::get_if<std::vector<float>>(&outcome)) {
        arrays.push_back(std::move(*samples));
      }
    }
    auto transcribed = transcribeWithResults(arrays, decodeOptions, callback);
    std::vector<TranscriptionOutcome> outcomes;
    size_t next = 0;
    for (const auto& outcome : loaded) {
      if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
        outcomes.emplace_back(*error);
      } else {
        outcomes.push_back(next < transcribed.size()
                               ? std::move(transcribed[next])
                               : TranscriptionOutcome(TranscriptionResults{}));
        ++next;
      }
    }
    tellTranscriptionState(TranscriptionState::finished);
    return outcomes;
  }

  tellTranscriptionState(TranscriptionState::transcribing);
  const auto start = Clock::now();
  const int64_t workers = decodeOptions ? decodeOptions->concurrentWorkerCount : 0;
  const size_t total = audioPaths.size();
  const size_t batchSize = workers > 0 ? static_cast<size_t>(workers) : total;
  const std::weak_ptr<Kestrune> weakEngine = weak_from_this();
  auto transcribePath = [&, weakEngine](size_t index) -> TranscriptionOutcome {
    const auto engine = weakEngine.lock();
    if (!engine) {
      return std::make_exception_ptr(
          WhisperError::transcriptionFailed("Kestrune instance was deallocated"));
    }
    try {
      auto stream = engine->openFileStream(audioPaths[index], inputOptions);
      return engine->transcribeFileStream(stream, decodeOptions, callback, false);
    } catch (...) {
      return std::current_exception();
    }
  };
  auto outcomes = runInBatches<TranscriptionOutcome>(total, batchSize, transcribePath);
  const double elapsed = secondsSince(start);
  currentTimings_.modify([&](TranscriptionTimings& timings) { timings.audioProcessing = elapsed; });
  Logging::debug("Total Audio Streaming and Transcription Time: " + orvane::textForm(elapsed));
  if (total > 0) tellTranscriptionState(TranscriptionState::finished);
  return outcomes;
}

std::vector<std::optional<TranscriptionResults>> Kestrune::transcribe(
    const std::vector<std::string>& audioPaths,
    const std::optional<AudioInputOptions>& audioInputOptions,
    const std::optional<DecodingOptions>& decodeOptions, const TranscriptionCallback& callback) {
  std::vector<std::optional<TranscriptionResults>> results;
  for (auto& outcome :
       transcribeWithResults(audioPaths, audioInputOptions, decodeOptions, callback)) {
    if (auto* success = std::get_if<TranscriptionResults>(&outcome)) {
      results.emplace_back(std::move(*success));
    } else {
      results.emplace_back(std::nullopt);
    }
  }
  return results;
}

LanguageDetection Kestrune::detectLanguage(const std::string& audioPath) {
  std::error_code ignored;
  if (!std::filesystem::exists(audioPath, ignored)) {
    throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
  }
  // Only the first 30 seconds are read: detection looks at one window.
  auto buffer = audioProcessor_->loadAudio(audioPath, ChannelMode::sumChannels(), 0.0, 30.0);
  return detectLangauge(AudioProcessor::convertBufferToArray(buffer, 1024));
}

LanguageDetection Kestrune::detectLangauge(const std::vector<float>& audioArray) {
  {
    std::lock_guard guard(loadingLock_);
    if (modelState() != ModelState::loaded) loadModels(false);
  }
  if (!textDecoder_->isModelMultilingual()) {
    throw WhisperError::decodingFailed("Language detection not supported for this model");
  }
  if (!tokenizer_) throw WhisperError::tokenizerUnavailable();
  DecodingOptions options;
  options.verbose = Logging::isLoggingEnabled();

  const int64_t window = windowSamples();
  const auto padded = audioProcessor_->padOrTrim(audioArray, 0, window);
  if (!padded) throw WhisperError::transcriptionFailed("Audio samples are nil");
  const auto mel = extractFeatures(*featureExtractor_, *padded);
  if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
  const auto encoded = encodeFeatures(*audioEncoder_, *mel);
  if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

  try {
    const auto& special = tokenizer_->specialTokens();
    auto inputs = textDecoder_->prepareDecoderInputs({special.startOfTranscriptToken});
    GreedyTokenSampler sampler(static_cast<platform::ml::Float16>(0.0f), special.endToken, options);
    const auto result = textDecoder_->detectLanguage(*encoded, *inputs, sampler, options,
                                                     static_cast<platform::ml::Float16>(0.0f));
    return {result.language, result.languageProbs};
  } catch (const std::exception&) {
    throw WhisperError::decodingFailed("Language detection failed");
  }
}

}  // namespace kestrune
