#include "Kestrune/Core/TextDecoder.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <numeric>
#include <string>

#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/Text/LogitsFilter.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Utilities/TextUtilities.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/MLModelExtensions.hpp"
#include "OrvaneCore/TaskCancellation.hpp"

namespace kestrune {

namespace {

using orvane::Logging;
using platform::ml::Float16;
using Clock = std::chrono::steady_clock;
namespace F = TextDecoderFeatures;

// The last position a window may write: the token context less the one
// position the first prediction reads.
constexpr int64_t maxDecodingSteps = Constants::maxTokenContext - 1;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds on the process's absolute (wall) clock.
double absoluteTimeNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string currentDateText() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char buffer[40];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return buffer;
}

bool debugEnabled() {
  return Logging::isLoggingEnabled(Logging::LogLevel::debug);
}

std::string tokenText(const WhisperTokenizer& tokenizer, int64_t token) {
  return tokenizer.decode({token});
}

std::vector<int64_t> textTokens(const std::vector<int64_t>& tokens, int64_t specialTokenBegin) {
  std::vector<int64_t> text;
  std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text),
               [&](int64_t token) { return token < specialTokenBegin; });
  return text;
}

std::string trimmedLanguage(const WhisperTokenizer& tokenizer, int64_t token) {
  return trimmingSpecialTokenCharacters(tokenizer.decode({token}));
}

float mean(const std::vector<float>& values) {
  if (values.empty()) return 0;
  return std::accumulate(values.begin(), values.end(), 0.0f) / static_cast<float>(values.size());
}

// The sums the loop keeps while it runs; the progress reports and the
// result carry them.
struct LoopTimings {
  double firstTokenTime = std::numeric_limits<double>::max();
  double predictions = 0;
  double filtering = 0;
  double sampling = 0;
  double kvCaching = 0;
  double nonPrediction = 0;
  double loop = 0;
  int64_t steps = 0;
  int64_t kvUpdates = 0;

  TranscriptionTimings record() const {
    return TranscriptionTimings{.firstTokenTime = firstTokenTime,
                                .decodingLoop = loop,
                                .decodingPredictions = predictions,
                                .decodingFiltering = filtering,
                                .decodingSampling = sampling,
                                .decodingKvCaching = kvCaching,
                                .decodingNonPrediction = nonPrediction,
                                .totalDecodingLoops = static_cast<double>(steps),
                                .totalKVUpdateRuns = static_cast<double>(kvUpdates)};
  }
};

void refuseUnusableSampler(const TokenSampling& sampler) {
  if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) greedy->validate();
}

DecodingInputs& decodingInputsOf(DecodingInputsType& inputs) {
  auto* decodingInputs = dynamic_cast<DecodingInputs*>(&inputs);
  if (decodingInputs == nullptr) {
    throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
  }
  return *decodingInputs;
}

TextDecoderMLMultiArrayInputType modelInputs(const DecodingInputs& inputs,
                                             const MLMultiArray& encoderOutput) {
  return TextDecoderMLMultiArrayInputType(
      inputs.inputIds(), inputs.cacheLength(), inputs.keyCache(), inputs.valueCache(),
      inputs.kvCacheUpdateMask(), encoderOutput, inputs.decoderKeyPaddingMask());
}

}  // namespace

// A window's entry in the early-stop registry. A progress report may
// answer after its window has finished; the lock and flag keep it from
// planting a stale entry after the window removed its own.
struct TextDecoder::WindowRegistration {
  orvane::UUID id;
  std::mutex mutex;
  bool open = true;
};

// MARK: - Model holder

void TextDecoder::setModel(std::shared_ptr<const platform::ml::MLModel> model) {
  model_.set(std::move(model));
  languageLogitsFilter_.set(nullptr);
}

// MARK: - Dimensions

bool TextDecoder::supportsWordTimestamps() const {
  return orvane::ModelUtilities::getModelOutputDimension(model().get(), F::alignmentHeadsWeights, 0)
      .has_value();
}
std::optional<int64_t> TextDecoder::logitsSize() const {
  return orvane::ModelUtilities::getModelOutputDimension(model().get(), F::logits, 2);
}
std::optional<int64_t> TextDecoder::kvCacheEmbedDim() const {
  return orvane::ModelUtilities::getModelInputDimension(model().get(), F::keyCache, 1);
}
std::optional<int64_t> TextDecoder::kvCacheMaxSequenceLength() const {
  return orvane::ModelUtilities::getModelInputDimension(model().get(), F::keyCache, 3);
}
std::optional<int64_t> TextDecoder::windowSize() const {
  return orvane::ModelUtilities::getModelInputDimension(model().get(), F::encoderOutputEmbeds, 3);
}
std::optional<int64_t> TextDecoder::embedSize() const {
  return orvane::ModelUtilities::getModelInputDimension(model().get(), F::encoderOutputEmbeds, 1);
}

// MARK: - Prediction

TextDecoderMLMultiArrayOutputType TextDecoder::predictLogits(const TextDecoderInputType& input) {
  const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&input);
  if (arrays == nullptr) {
    throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
  }
  const auto loaded = model();
  if (!loaded) return {};
  orvane::Task::checkCancellation();
  // The prediction runs on this thread: the loop needs its result before it
  // can go on, and a hop to the shared pool would only add latency (and
  // could starve the pool when every worker is itself decoding).
  const TextDecoderInput features(*arrays);
  const TextDecoderOutput output(loaded->prediction(features));
  auto logits = output.logits();
  auto keySlice = output.keyCacheUpdates();
  auto valueSlice = output.valueCacheUpdates();
  if (!logits || !keySlice || !valueSlice) {
    throw WhisperError::decodingLogitsFailed("Invalid model output");
  }
  TextDecoderMLMultiArrayOutputType result;
  result.logits = std::move(*logits);
  result.cache =
      DecodingCache{std::move(keySlice), std::move(valueSlice), output.alignmentHeadsWeights()};
  return result;
}

std::optional<std::pair<MLMultiArray, std::optional<DecodingCache>>> TextDecoder::predictLogits(
    MLMultiArray inputIds, MLMultiArray cacheLength, MLMultiArray keyCache, MLMultiArray valueCache,
    MLMultiArray kvCacheUpdateMask, MLMultiArray encoderOutputEmbeds,
    MLMultiArray decoderKeyPaddingMask) {
  const TextDecoderMLMultiArrayInputType input(
      std::move(inputIds), std::move(cacheLength), std::move(keyCache), std::move(valueCache),
      std::move(kvCacheUpdateMask), std::move(encoderOutputEmbeds),
      std::move(decoderKeyPaddingMask));
  auto output = predictLogits(input);
  if (!output.logits) return std::nullopt;
  return std::make_pair(std::move(*output.logits), std::move(output.cache));
}

// MARK: - Filters

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(
    const DecodingOptions& options, int64_t initialPromptIndex,
    const WhisperTokenizer& tokenizer) const {
  auto filters = logitsFilters();
  const SpecialTokens& special = tokenizer.specialTokens();
  if (options.suppressBlank) {
    filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
  }
  if (!options.suppressTokens.empty()) {
    filters.push_back(std::make_shared<SuppressTokensFilter>(
        textTokens(options.suppressTokens, special.specialTokenBegin)));
  }
  if (!options.withoutTimestamps) {
    std::optional<int64_t> maxInitialTimestampIndex;
    if (options.maxInitialTimestamp) {
      maxInitialTimestampIndex =
          static_cast<int64_t>(std::trunc(*options.maxInitialTimestamp / 0.02f));
    }
    filters.push_back(std::make_shared<TimestampRulesFilter>(
        special, initialPromptIndex, maxInitialTimestampIndex, isModelMultilingual()));
  }
  return filters;
}

// MARK: - Decoding loop

DecodingResult TextDecoder::decodeText(const MLMultiArray& encoderOutput,
                                       DecodingInputsType& inputs, TokenSampling& sampler,
                                       const DecodingOptions& options,
                                       const TranscriptionCallback& callback) {
  const auto tokenizerInstance = tokenizer();
  if (!tokenizerInstance) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  const WhisperTokenizer& tok = *tokenizerInstance;
  const SpecialTokens& special = tok.specialTokens();
  const std::vector<int64_t> prompt = inputs.initialPrompt();
  if (prompt.empty()) {
    throw WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty");
  }
  DecodingInputs& state = decodingInputsOf(inputs);
  refuseUnusableSampler(sampler);

  const auto n = static_cast<int64_t>(prompt.size());
  std::vector<int64_t> tokens = prompt;
  std::vector<float> logProbs(prompt.size(), 0.0f);
  int64_t nextToken = prompt.back();
  const auto filters = createLogitsFilters(options, n, tok);
  // A cache shorter than the token context bounds the window too.
  const int64_t cachePositions =
      state.keyCache().shape().empty() ? 0 : state.keyCache().shape().back();
  const int64_t loopCount =
      std::min({n + options.sampleLength - 1, maxDecodingSteps, cachePositions});
  Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) + " iterations");

  auto window = std::make_shared<WindowRegistration>();
  earlyStopActor_.set(false, window->id);

  LoopTimings timings;
  bool isFirstTokenLogProbTooLow = false;
  bool storedAlignment = false;
  for (int64_t t = 0; t < loopCount; ++t) {
    const auto stepStart = Clock::now();
    if (t < n) {
      const int64_t promptToken = prompt[t];
      const bool keepPredictedTimestamp = t == n - 1 && promptToken >= special.timeTokenBegin &&
                                          nextToken >= special.timeTokenBegin;
      if (keepPredictedTimestamp) {
        // The model already chose the opening timestamp; feeding it keeps the
        // first segment's start where the model put it.
        tokens[t] = nextToken;
      } else {
        nextToken = promptToken;
      }
      if (debugEnabled()) {
        Logging::debug(std::string(keepPredictedTimestamp ? "Skipping" : "Forcing") +
                       " prompt tokenIndex: " + std::to_string(t) + ", token: " +
                       std::to_string(nextToken) + ", text: " + tokenText(tok, nextToken));
      }
    }
    state.inputIds().data<int32_t>()[0] = static_cast<int32_t>(nextToken);
    state.cacheLength().data<int32_t>()[0] = static_cast<int32_t>(t);
    if (t <= 3) debugCaches(state, t);

    const auto predictionStart = Clock::now();
    const auto output = predictLogits(modelInputs(state, encoderOutput));
    const auto predictionEnd = Clock::now();
    timings.predictions += std::chrono::duration<double>(predictionEnd - predictionStart).count();
    timings.steps += 1;
    if (!output.logits) throw WhisperError::decodingLogitsFailed("Unable to decode logits");

    const auto filterStart = Clock::now();
    for (const auto& filter : filters) filter->filterLogits(*output.logits, tokens);
    timings.filtering += secondsSince(filterStart);

    const auto samplingStart = Clock::now();
    const SamplingResult sampled = sampler.update(tokens, *output.logits, logProbs);
    const int64_t chosenToken = sampled.tokens.back();
    const float chosenLogProb = sampled.logProbs.back();
    if (debugEnabled()) {
      Logging::debug("Predicted next tokenIndex: " + std::to_string(t + 1) + ", token: " +
                     std::to_string(chosenToken) + ", text: " + tokenText(tok, chosenToken));
    }
    timings.sampling += secondsSince(samplingStart);

    const bool isFirstSampledStep = t == n - 1;
    if (isFirstSampledStep && options.firstTokenLogProbThreshold &&
        chosenLogProb < *options.firstTokenLogProbThreshold) {
      isFirstTokenLogProbTooLow = true;
      break;
    }
    if (sampled.completed && t >= n - 1) break;
    if (static_cast<int64_t>(tokens.size()) >= maxDecodingSteps) break;

    if (t >= n - 1) {
      tokens.push_back(chosenToken);
      logProbs.push_back(chosenLogProb);
    }
    nextToken = chosenToken;

    const auto cacheStart = Clock::now();
    if (!output.cache || !output.cache->keyCache || !output.cache->valueCache) {
      throw WhisperError::decodingLogitsFailed("Invalid model output");
    }
    updateKVCache(state.keyCache(), *output.cache->keyCache, state.valueCache(),
                  *output.cache->valueCache, t);
    state.advanceMasks(t);
    if (output.cache->alignmentWeights) {
      updateAlignmentWeights(state.alignmentWeights(), *output.cache->alignmentWeights, t);
      storedAlignment = true;
    }
    timings.kvUpdates += 1;
    timings.kvCaching += secondsSince(cacheStart);

    if (callback) {
      // Sums as they stand with this step's end, which the report cannot
      // wait for.
      LoopTimings sofar = timings;
      sofar.nonPrediction += secondsSince(predictionEnd);
      sofar.loop += secondsSince(stepStart);
      if (t == 0) sofar.firstTokenTime = absoluteTimeNow();
      const auto shown =
          options.skipSpecialTokens ? textTokens(tokens, special.specialTokenBegin) : tokens;
      TranscriptionProgress progress{.timings = sofar.record(),
                                     .text = tok.decode(shown),
                                     .tokens = tokens,
                                     .temperature = std::nullopt,
                                     .avgLogprob = mean(logProbs),
                                     .compressionRatio = TextUtilities::compressionRatio(tokens),
                                     .windowId = 0};
      reportProgress(callback, std::move(progress), window, t >= n - 1);
    }

    timings.nonPrediction += secondsSince(predictionEnd);
    timings.loop += secondsSince(stepStart);
    if (t == 0) {
      timings.firstTokenTime = absoluteTimeNow();
      Logging::debug("Found first token at: " + currentDateText());
    }
    if (earlyStopActor_.get(window->id)) break;
  }

  {
    std::lock_guard guard(window->mutex);
    window->open = false;
    if (!earlyStopActor_.remove(window->id)) {
      Logging::error("Early stop flag not found for window: " + window->id.uuidString());
    }
  }

  auto cache = std::make_shared<DecodingCache>(DecodingCache{
      state.keyCache(), state.valueCache(),
      storedAlignment ? std::optional<MLMultiArray>(state.alignmentWeights()) : std::nullopt});
  const SamplingResult finished = sampler.finalize(tokens, logProbs);

  const auto& all = finished.tokens;
  const auto start = std::find(all.begin(), all.end(), special.startOfTranscriptToken);
  const auto begin = start == all.end() ? all.begin() : start;
  const auto endToken = std::find(begin, all.end(), special.endToken);
  const auto end = endToken == all.end() ? all.end() : endToken + 1;
  const std::vector<int64_t> segmentTokens(begin, end);
  const auto first = static_cast<size_t>(begin - all.begin());
  const std::vector<float> segmentLogProbs(
      finished.logProbs.begin() + first, finished.logProbs.begin() + first + segmentTokens.size());

  DecodingResult result;
  for (size_t i = 0; i < segmentTokens.size(); ++i) {
    result.tokenLogProbs.push_back({{segmentTokens[i], segmentLogProbs[i]}});
  }
  const float logProbSum = std::accumulate(segmentLogProbs.begin(), segmentLogProbs.end(), 0.0f);
  result.avgLogProb =
      segmentTokens.empty() ? 0 : logProbSum / static_cast<float>(segmentTokens.size());
  result.compressionRatio =
      TextUtilities::compressionRatio(textTokens(segmentTokens, special.specialTokenBegin));
  if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) {
    result.temperature = orvane::rounded(static_cast<float>(greedy->temperature()), 3);
  } else {
    result.temperature = options.temperature;
  }
  if (options.language) {
    result.language = *options.language;
    result.languageProbs = {{*options.language, 0.0f}};
  } else {
    const auto& languageTokens = tok.allLanguageTokens();
    const auto found = std::find_if(segmentTokens.begin(), segmentTokens.end(), [&](int64_t token) {
      return languageTokens.count(token) != 0;
    });
    if (found != segmentTokens.end()) {
      result.language = trimmedLanguage(tok, *found);
      result.languageProbs = {{result.language, segmentLogProbs[found - segmentTokens.begin()]}};
    } else {
      result.language = std::string(Constants::defaultLanguageCode);
      result.languageProbs = {{result.language, 0.0f}};
    }
  }
  result.text = tok.decode(segmentTokens);
  Logging::debug("Completed window: " + result.text);
  result.noSpeechProb = 0;
  result.tokens = segmentTokens;
  result.cache = std::move(cache);
  result.fallback = DecodingFallback::create(options, isFirstTokenLogProbTooLow, 0,
                                             result.compressionRatio, result.avgLogProb);
  result.timings = timings.record();
  return result;
}

void TextDecoder::reportProgress(const TranscriptionCallback& callback,
                                 TranscriptionProgress progress,
                                 std::shared_ptr<WindowRegistration> window, bool mayStop) {
  progressReporter_.submit(
      [this, callback, progress = std::move(progress), window = std::move(window), mayStop] {
        const std::optional<bool> answer = callback(progress);
        if (!answer || *answer || !mayStop) return;
        Logging::debug("Early stopping");
        std::lock_guard guard(window->mutex);
        if (window->open) earlyStopActor_.set(true, window->id);
      });
}

// MARK: - Language detection

std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageFilterFor(
    const WhisperTokenizer& tokenizer, int64_t logitsDim) {
  return languageLogitsFilter_.withLock([&](std::shared_ptr<LanguageLogitsFilter>& cached) {
    if (!cached) {
      cached = std::make_shared<LanguageLogitsFilter>(tokenizer.allLanguageTokens(), logitsDim, 0);
    }
    return cached;
  });
}

DecodingResult TextDecoder::detectLanguage(const MLMultiArray& encoderOutput,
                                           DecodingInputsType& inputs, TokenSampling& sampler,
                                           const DecodingOptions&, Float16) {
  const auto tokenizerInstance = tokenizer();
  if (!tokenizerInstance) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  const WhisperTokenizer& tok = *tokenizerInstance;
  const auto logitsDim = logitsSize();
  if (!logitsDim) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
  refuseUnusableSampler(sampler);
  const int64_t startOfTranscript = tok.specialTokens().startOfTranscriptToken;
  const std::vector<int64_t> tokens{startOfTranscript};
  const std::vector<float> logProbs{0.0f};
  const auto filter = languageFilterFor(tok, *logitsDim);

  inputs.inputIds().data<int32_t>()[0] = static_cast<int32_t>(startOfTranscript);
  inputs.cacheLength().data<int32_t>()[0] = 0;
  Logging::debug("Detecting language...");
  const DecodingInputs& state = decodingInputsOf(inputs);

  const auto predictionStart = Clock::now();
  const auto output = predictLogits(modelInputs(state, encoderOutput));
  const double predictionTime = secondsSince(predictionStart);
  if (!output.logits) {
    Logging::error("Unable to decode logits");
    throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
  }
  const auto samplingStart = Clock::now();
  filter->filterLogits(*output.logits, tokens);
  const SamplingResult sampled = sampler.update(tokens, *output.logits, logProbs);
  const double samplingTime = secondsSince(samplingStart);

  DecodingResult result;
  const auto& languageTokens = tok.allLanguageTokens();
  for (size_t i = 0; i < sampled.tokens.size(); ++i) {
    if (languageTokens.count(sampled.tokens[i]) != 0) {
      result.languageProbs[trimmedLanguage(tok, sampled.tokens[i])] = sampled.logProbs[i];
    }
  }
  const std::string detected = trimmedLanguage(tok, sampled.tokens.back());
  if (Constants::isLanguageCode(detected)) {
    Logging::debug("Detected language: " + detected);
    result.language = detected;
  } else {
    Logging::error("Detected language " + detected + " is not supported, defaulting to " +
                   std::string(Constants::defaultLanguageCode));
    result.language = std::string(Constants::defaultLanguageCode);
  }
  result.timings =
      TranscriptionTimings{.decodingPredictions = predictionTime, .decodingSampling = samplingTime};
  return result;
}

// MARK: - Debugging

void TextDecoder::debugCaches(const DecodingInputs& decoderInputs, int64_t) const {
  if (!debugEnabled()) return;
  const auto element = [](const MLMultiArray& array, int64_t index) {
    return index < array.count() ? array.number(index) : 0.0;
  };
  char line[160];
  Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
  std::snprintf(line, sizeof line, "Cache Length: %2.0f Input Token: %4.0f",
                element(decoderInputs.cacheLength(), 0), element(decoderInputs.inputIds(), 0));
  Logging::debug(std::string(line));
  Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
  for (int64_t i = 0; i < 4; ++i) {
    std::snprintf(line, sizeof line, "%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d",
                  element(decoderInputs.keyCache(), i), element(decoderInputs.valueCache(), i),
                  element(decoderInputs.alignmentWeights(), i * 1500),
                  element(decoderInputs.kvCacheUpdateMask(), i),
                  element(decoderInputs.decoderKeyPaddingMask(), i), static_cast<int>(i));
    Logging::debug(std::string(line));
  }
}

}  // namespace kestrune
