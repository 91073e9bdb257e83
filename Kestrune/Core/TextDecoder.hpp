#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "Kestrune/Core/ProgressReporter.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "Kestrune/Core/WhisperMLModel.hpp"
#include "OrvaneCore/ConcurrencyUtilities.hpp"
#include "Platform/ML/MLModel.hpp"

namespace kestrune {

class LanguageLogitsFilter;

// The engine's text decoder: holds the decoder model and runs the decoding
// loop on it, one prediction per token, on the caller's thread. Progress
// callbacks run on the decoder's own low-priority worker; a callback that
// answers false stops its window through the early-stop registry.
class TextDecoder : public TextDecoding, public WhisperMLModel {
 public:
  TextDecoder() = default;
  ~TextDecoder() override = default;
  TextDecoder(const TextDecoder&) = delete;
  TextDecoder& operator=(const TextDecoder&) = delete;

  // MARK: WhisperMLModel
  std::shared_ptr<const platform::ml::MLModel> model() const override { return model_.get(); }
  // A new model (or none, on unload) also drops the cached language filter,
  // which was sized for the old one.
  void setModel(std::shared_ptr<const platform::ml::MLModel> model) override;

  // MARK: TextDecoding
  std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_.get(); }
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override {
    tokenizer_.set(std::move(tokenizer));
  }
  bool isModelMultilingual() const override { return isModelMultilingual_.get(); }
  void setIsModelMultilingual(bool multilingual) override {
    isModelMultilingual_.set(multilingual);
  }
  bool supportsWordTimestamps() const override;
  std::optional<int64_t> logitsSize() const override;
  std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters() const override {
    return logitsFilters_.get();
  }
  void setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>> filters) override {
    logitsFilters_.set(std::move(filters));
  }
  std::optional<int64_t> kvCacheEmbedDim() const override;
  std::optional<int64_t> kvCacheMaxSequenceLength() const override;
  std::optional<int64_t> windowSize() const override;
  std::optional<int64_t> embedSize() const override;

  // No model loaded gives an output without logits or cache. A model
  // output lacking "logits", "key_cache_updates" or "value_cache_updates"
  // throws WhisperError.decodingLogitsFailed "Invalid model output".
  TextDecoderMLMultiArrayOutputType predictLogits(const TextDecoderInputType& input) override;
  // The same from the seven arrays; none when no model is loaded.
  std::optional<std::pair<MLMultiArray, std::optional<DecodingCache>>> predictLogits(
      MLMultiArray inputIds, MLMultiArray cacheLength, MLMultiArray keyCache,
      MLMultiArray valueCache, MLMultiArray kvCacheUpdateMask, MLMultiArray encoderOutputEmbeds,
      MLMultiArray decoderKeyPaddingMask);

  // Throws WhisperError: tokenizerUnavailable without a tokenizer;
  // prepareDecoderInputsFailed for an empty prompt or inputs of another
  // kind; decodingFailed for a greedy sampler at a non-zero temperature with
  // topK below 1 (before any prediction); decodingLogitsFailed "Unable to
  // decode logits" when a prediction gives no logits, "Invalid model output"
  // when it gives no cache slices or slices that do not fit the caches.
  DecodingResult decodeText(const MLMultiArray& encoderOutput, DecodingInputsType& inputs,
                            TokenSampling& sampler, const DecodingOptions& options,
                            const TranscriptionCallback& callback) override;

  DecodingResult detectLanguage(const MLMultiArray& encoderOutput, DecodingInputsType& inputs,
                                TokenSampling& sampler, const DecodingOptions& options,
                                platform::ml::Float16 temperature) override;

  // The window's filter chain: the extra filters, then suppress-blank,
  // suppress-tokens and timestamp rules as the options ask.
  std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(
      const DecodingOptions& options, int64_t initialPromptIndex,
      const WhisperTokenizer& tokenizer) const;

  // Debug-level dump of the first four positions of the inputs.
  void debugCaches(const DecodingInputs& decoderInputs, int64_t tokenIndex) const;

  orvane::EarlyStopActor& earlyStopActor() noexcept { return earlyStopActor_; }
  // The cached language filter; null until detection first runs.
  std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter() const {
    return languageLogitsFilter_.get();
  }
  // Blocks until every progress report queued so far has been delivered.
  void waitForProgressReports() { progressReporter_.waitUntilIdle(); }

 private:
  struct WindowRegistration;
  std::shared_ptr<LanguageLogitsFilter> languageFilterFor(const WhisperTokenizer& tokenizer,
                                                          int64_t logitsDim);
  void reportProgress(const TranscriptionCallback& callback, TranscriptionProgress progress,
                      std::shared_ptr<WindowRegistration> window, bool mayStop);

  orvane::Protected<std::shared_ptr<const platform::ml::MLModel>> model_;
  orvane::Protected<std::shared_ptr<const WhisperTokenizer>> tokenizer_;
  orvane::Protected<bool> isModelMultilingual_{false};
  orvane::Protected<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_;
  orvane::EarlyStopActor earlyStopActor_;
  orvane::Protected<std::shared_ptr<LanguageLogitsFilter>> languageLogitsFilter_;
  // Last, so that it is destroyed first: queued reports may still reach the
  // registry above.
  ProgressReporter progressReporter_;
};

}  // namespace kestrune
