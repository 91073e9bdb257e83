#include "Kestrune/Core/TranscribeTask.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/DecodingInputs.hpp"
#include "Kestrune/Core/EngineModels.hpp"
#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/Signpost.hpp"
#include "OrvaneCore/TaskCancellation.hpp"

namespace kestrune {

using orvane::Logging;
using platform::ml::Float16;
using platform::ml::MLMultiArray;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t sampleRate = 16000;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double absoluteTimeNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string formatted(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// The shortest decimal that reads back as the same half-precision value.
std::string halfText(Float16 value) {
  const float wide = static_cast<float>(value);
  for (int digits = 1; digits <= 6; ++digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, static_cast<double>(wide));
    if (static_cast<Float16>(std::strtof(buffer, nullptr)) == value) {
      std::string text = buffer;
      if (text.find_first_of(".en") == std::string::npos) text += ".0";
      return text;
    }
  }
  return orvane::textForm(wide);
}

const orvane::Signposter& taskSignposter() {
  static const orvane::Signposter signposter("com.orvane.kestrune", "TranscribeTask");
  return signposter;
}

// Closes a signpost interval however the scope is left.
class SignpostScope {
 public:
  explicit SignpostScope(std::string_view name)
      : name_(name), interval_(orvane::beginSignpost(name, taskSignposter())) {}
  ~SignpostScope() { orvane::endSignpost(name_, interval_, taskSignposter()); }
  SignpostScope(const SignpostScope&) = delete;
  SignpostScope& operator=(const SignpostScope&) = delete;

 private:
  std::string_view name_;
  orvane::SignpostIntervalState interval_;
};

std::string currentDateText() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
  return buffer;
}

void addDecoderTimings(TranscriptionTimings& into, const TranscriptionTimings& from) {
  into.firstTokenTime = std::min(into.firstTokenTime, from.firstTokenTime);
  into.decodingNonPrediction += from.decodingNonPrediction;
  into.decodingPredictions += from.decodingPredictions;
  into.decodingFiltering += from.decodingFiltering;
  into.decodingSampling += from.decodingSampling;
  into.decodingKvCaching += from.decodingKvCaching;
  into.totalDecodingLoops += from.totalDecodingLoops;
  into.totalKVUpdateRuns += from.totalKVUpdateRuns;
}

// Clips that start at or past the end of the audio are dropped and the
// others end at the audio's end at the latest, so that no window is sized
// from samples that do not exist.
std::vector<SeekClip> clampedClips(std::vector<SeekClip> clips, int64_t sampleCount) {
  std::vector<SeekClip> kept;
  for (auto clip : clips) {
    if (clip.start < 0 || clip.start >= sampleCount) continue;
    clip.end = std::min(clip.end, sampleCount);
    kept.push_back(clip);
  }
  return kept;
}

std::string clipsText(const std::vector<SeekClip>& clips) {
  std::string text = "[";
  for (size_t i = 0; i < clips.size(); ++i) {
    if (i > 0) text += ", ";
    text += "(" + std::to_string(clips[i].start) + ", " + std::to_string(clips[i].end) + ")";
  }
  return text + "]";
}

}  // namespace

struct TranscribeTask::RunState {
  DecodingOptions options;
  std::optional<std::string> detectedLanguage;
  std::vector<int64_t> allTokens;
  std::vector<TranscriptionSegment> allSegments;
  std::shared_ptr<DecodingInputsType> decoderInputs;
  TranscriptionCallback callback;
  int64_t sampleCount = 0;
  const std::vector<float>* audio = nullptr;
};

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings,
                               std::shared_ptr<orvane::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor,
                               std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker,
                               std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      progress_(progress ? std::move(progress) : orvane::Progress::make()),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor)
                                     : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {}

std::vector<float> TranscribeTask::fallbackTemperatures(const DecodingOptions& options) {
  std::vector<float> temperatures;
  const Float16 base = static_cast<Float16>(options.temperature);
  const Float16 increment = static_cast<Float16>(options.temperatureIncrementOnFallback);
  for (int64_t i = 0; i <= options.temperatureFallbackCount; ++i) {
    const Float16 step = static_cast<Float16>(static_cast<Float16>(i) * increment);
    temperatures.push_back(static_cast<float>(static_cast<Float16>(base + step)));
  }
  return temperatures;
}

std::string TranscribeTask::promptText(const std::vector<int64_t>& prompt) const {
  std::string text = "[";
  for (size_t i = 0; i < prompt.size(); ++i) {
    if (i > 0) text += ", ";
    text += "\"" + tokenizer_->convertIdToToken(prompt[i]).value_or("") + "\"";
  }
  return text + "]";
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(
    const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback) {
  if (!tokenizer_) throw WhisperError::tokenizerUnavailable();
  SignpostScope interval("TranscribeAudio");
  timings_.pipelineStart = std::min(timings_.pipelineStart, absoluteTimeNow());
  Logging::debug("Starting pipeline at: " + currentDateText());

  RunState state;
  state.options = decodeOptions.value_or(DecodingOptions{});
  state.options.verbose = Logging::isLoggingEnabled();
  state.callback = callback;
  state.audio = &audioArray;
  state.sampleCount = static_cast<int64_t>(audioArray.size());
  const float firstClip = decodeOptions && !decodeOptions->clipTimestamps.empty()
                              ? decodeOptions->clipTimestamps.front()
                              : 0.0f;
  timings_.inputAudioSeconds =
      static_cast<double>(state.sampleCount) / static_cast<double>(sampleRate) - firstClip;

  const auto initStart = Clock::now();
  state.decoderInputs =
      textDecoder_->prepareDecoderInputs({tokenizer_->specialTokens().startOfTranscriptToken});
  timings_.decodingInit = secondsSince(initStart);
  Logging::debug("Decoder init time: " + orvane::textForm(timings_.decodingInit));
  if (state.options.usePrefillPrompt) {
    state.decoderInputs = textDecoder_->prefillDecoderInputs(state.decoderInputs, state.options);
  }
  Logging::debug("Prefill prompt: " + promptText(state.decoderInputs->initialPrompt()));

  const auto clips =
      clampedClips(state.options.prepareSeekClips(state.sampleCount), state.sampleCount);
  Logging::debug("Decoding seek clips: " + clipsText(clips));
  int64_t total = 0;
  for (const auto& clip : clips) total += std::max<int64_t>(0, clip.end - clip.start);
  progress_->setTotalUnitCount(total);

  const auto loopStart = Clock::now();
  const auto windowPadding =
      static_cast<int64_t>(state.options.windowClipTime * static_cast<float>(sampleRate));
  for (const auto& clip : clips) {
    int64_t seek = clip.start;
    const int64_t clipBase = progress_->completedUnitCount();
    const int64_t windowLength =
        featureExtractorWindowSamples(*featureExtractor_).value_or(Constants::defaultWindowSamples);
    while (seek < clip.end - windowPadding) {
      int64_t nextSeek = seek;
      processWindow(state, seek, clip.end, windowLength, clipBase, clip.start, nextSeek);
      seek = nextSeek;
    }
  }

  progress_->setCompletedUnitCount(progress_->totalUnitCount());
  timings_.decodingLoop = secondsSince(loopStart);
  timings_.fullPipeline = absoluteTimeNow() - timings_.pipelineStart;
  return finalizeTranscriptionResult(state.allTokens, std::move(state.allSegments),
                                     state.detectedLanguage, timings_);
}

void TranscribeTask::processWindow(RunState& state, int64_t seek, int64_t clipEnd,
                                   int64_t windowLength, int64_t clipBase, int64_t clipStart,
                                   int64_t& nextSeek) {
  const auto windowStart = Clock::now();
  const int64_t segmentSize = std::min({windowLength, state.sampleCount - seek, clipEnd - seek});
  const float seekSeconds = static_cast<float>(seek) / static_cast<float>(sampleRate);
  const float endSeconds = static_cast<float>(seek + segmentSize) / static_cast<float>(sampleRate);
  Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" + formatted("%.2f", seekSeconds) +
                 "s)");
  Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                 formatted("%.2f", endSeconds - seekSeconds) + "s)");

  const std::vector<float> windowSamples(state.audio->begin() + seek,
                                         state.audio->begin() + seek + segmentSize);
  const auto padded = audioProcessor_->padOrTrim(windowSamples, 0, windowLength);
  if (!padded) throw WhisperError::transcriptionFailed("Audio samples are nil");
  windowPreprocess(*padded, seek, segmentSize);
  timings_.audioProcessing += secondsSince(windowStart);
  timings_.totalAudioProcessingRuns += 1;
  orvane::Task::checkCancellation();

  const auto melStart = Clock::now();
  const auto mel = extractFeatures(*featureExtractor_, *padded);
  if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
  timings_.logmels += secondsSince(melStart);
  timings_.totalLogmelRuns += 1;
  orvane::Task::checkCancellation();

  const auto encoderStart = Clock::now();
  const auto encoded = encodeFeatures(*audioEncoder_, *mel);
  if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");
  timings_.encoding += secondsSince(encoderStart);
  timings_.totalEncodingRuns += 1;

  Logging::info("Decoding " + formatted("%.2f", seekSeconds) + "s - " +
                formatted("%.2f", endSeconds) + "s");
  const auto windowId =
      static_cast<int64_t>(timings_.totalDecodingWindows - timings_.totalDecodingFallbacks);
  TranscriptionCallback windowCallback = [caller = state.callback,
                                          windowId](const TranscriptionProgress& progress) {
    if (!caller) return std::optional<bool>();
    TranscriptionProgress relabelled = progress;
    relabelled.windowId = windowId;
    return caller(relabelled);
  };
  orvane::Task::checkCancellation();

  const DecodingResult result = decodeWithFallback(*encoded, state.options, state.decoderInputs,
                                                   state.detectedLanguage, windowCallback);

  const auto windowingStart = Clock::now();
  const auto& special = tokenizer_->specialTokens();
  auto found = segmentSeeker_->findSeekPointAndSegments(
      result, state.options, static_cast<int64_t>(state.allSegments.size()), seek, segmentSize,
      sampleRate, special.timeTokenBegin, special.specialTokenBegin, *tokenizer_);
  nextSeek = std::max(seek, found.seek);
  auto segments = std::move(found.segments);

  const bool hasAlignment = result.cache && result.cache->alignmentWeights.has_value();
  if (state.options.wordTimestamps && hasAlignment) {
    segments = alignWords(state, result, std::move(segments), seek, segmentSize, nextSeek);
  }
  if (state.options.maxWindowSeek)
    nextSeek = std::min(nextSeek, seek + *state.options.maxWindowSeek);
  if (!segments) return;

  auto finalSegments = windowPostProcess(seek, segmentSize, std::move(*segments));
  if (state.options.verbose) {
    Logging::debug("Segments for window:");
    for (const auto& segment : finalSegments) {
      Logging::debug("[" + formatted("%.2f", segment.start) + " --> " +
                     formatted("%.2f", segment.end) + "] " + segment.text);
    }
  }
  if (segmentDiscoveryCallback_) segmentDiscoveryCallback_(finalSegments);
  for (auto& segment : finalSegments) {
    state.allTokens.insert(state.allTokens.end(), segment.tokens.begin(), segment.tokens.end());
    state.allSegments.push_back(std::move(segment));
  }
  timings_.decodingWindowing += secondsSince(windowingStart);
  timings_.totalDecodingWindows += 1;
  state.decoderInputs->reset(Constants::maxTokenContext);
  progress_->setCompletedUnitCount(clipBase + (std::min(nextSeek, clipEnd) - clipStart));
}

std::optional<std::vector<TranscriptionSegment>> TranscribeTask::alignWords(
    RunState& state, const DecodingResult& result,
    std::optional<std::vector<TranscriptionSegment>> segments, int64_t seek, int64_t segmentSize,
    int64_t& nextSeek) {
  const auto alignStart = Clock::now();
  auto aligned = segmentSeeker_->addWordTimestamps(
      segments.value_or(std::vector<TranscriptionSegment>{}), *result.cache->alignmentWeights,
      *tokenizer_, seek, segmentSize, Constants::defaultPrependPunctuations,
      Constants::defaultAppendPunctuations,
      static_cast<float>(seek) / static_cast<float>(sampleRate), state.options, timings_);
  timings_.decodingWordTimestamps += secondsSince(alignStart);
  timings_.totalTimestampAlignmentRuns += 1;
  if (!aligned) return std::nullopt;

  std::vector<TranscriptionSegment> kept;
  for (auto& segment : *aligned) {
    if (segment.start < segment.end) kept.push_back(std::move(segment));
  }
  if (!kept.empty()) {
    nextSeek =
        std::max(nextSeek, static_cast<int64_t>(kept.back().end * static_cast<float>(sampleRate)));
  }
  if (state.options.verbose) {
    Logging::debug("Word timestamps:");
    for (const auto& segment : kept) {
      for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
        Logging::debug("[" + formatted("%.3g", word.start) + " -> " + formatted("%.3g", word.end) +
                       "] prob: " + orvane::textForm(word.probability) + ", word: " + word.word);
      }
    }
  }
  return kept;
}

DecodingResult TranscribeTask::decodeWithFallback(
    const MLMultiArray& encoderSegment, const DecodingOptions& decodingOptions,
    std::shared_ptr<DecodingInputsType>& decoderInputs,
    std::optional<std::string>& detectedLanguage, const TranscriptionCallback& callback) {
  SignpostScope interval("Decode");
  const auto temperatures = fallbackTemperatures(decodingOptions);
  std::string listing = "[";
  for (size_t i = 0; i < temperatures.size(); ++i) {
    listing += (i > 0 ? ", " : "") + halfText(static_cast<Float16>(temperatures[i]));
  }
  Logging::debug("Decoding with temperatures " + listing + "]");

  std::optional<DecodingResult> last;
  const int64_t endToken = tokenizer_->specialTokens().endToken;
  for (size_t i = 0; i < temperatures.size(); ++i) {
    const Float16 temperature = static_cast<Float16>(temperatures[i]);
    Logging::info("Decoding Temperature: " + halfText(temperature));
    const auto passStart = Clock::now();
    GreedyTokenSampler sampler(temperature, endToken, decodingOptions);
    DecodingOptions passOptions = decodingOptions;

    if (textDecoder_->isModelMultilingual() && !decodingOptions.language &&
        decodingOptions.detectLanguage) {
      std::optional<DecodingResult> detection;
      try {
        detection = textDecoder_->detectLanguage(encoderSegment, *decoderInputs, sampler,
                                                 decodingOptions, temperature);
      } catch (const std::exception&) {
        detection.reset();  // decoded without a language, as if none was found
      }
      passOptions.language =
          detection ? std::optional<std::string>(detection->language) : std::nullopt;
      detectedLanguage = passOptions.language;
      if (passOptions.usePrefillPrompt) {
        decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, passOptions);
      }
      Logging::debug("Prefill prompt updated to: " + promptText(decoderInputs->initialPrompt()));
      if (detection && detection->timings) {
        timings_.decodingPredictions += detection->timings->decodingPredictions;
        timings_.decodingSampling += detection->timings->decodingSampling;
      }
    }

    DecodingResult result =
        textDecoder_->decodeText(encoderSegment, *decoderInputs, sampler, passOptions, callback);
    if (!detectedLanguage) detectedLanguage = result.language;
    if (result.timings) addDecoderTimings(timings_, *result.timings);

    const bool needsFallback = result.fallback && result.fallback->needsFallback;
    last = std::move(result);
    if (!needsFallback) break;
    timings_.decodingFallback += secondsSince(passStart);
    timings_.totalDecodingFallbacks = static_cast<double>(i);
    decoderInputs->reset(Constants::maxTokenContext);
    Logging::info("Fallback #" + std::to_string(i + 1) + " (" + last->fallback->fallbackReason +
                  ")");
  }
  if (!last) throw WhisperError::decodingFailed();
  return *std::move(last);
}

void TranscribeTask::windowPreprocess(const MLMultiArray&, int64_t, int64_t) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(
    int64_t, int64_t, std::vector<TranscriptionSegment> originalSegments) {
  return originalSegments;
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<int64_t>& tokens, std::vector<TranscriptionSegment> segments,
    const std::optional<std::string>& language, const TranscriptionTimings& timings) {
  std::vector<int64_t> textTokens;
  const int64_t specialBegin = tokenizer_->specialTokens().specialTokenBegin;
  std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(textTokens),
               [specialBegin](int64_t token) { return token < specialBegin; });
  std::string text = tokenizer_->decode(textTokens);
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t");
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  return TranscriptionResult::make(std::move(text), std::move(segments),
                                   language.value_or(std::string(Constants::defaultLanguageCode)),
                                   timings);
}

}  // namespace kestrune
