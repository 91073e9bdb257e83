#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Kestrune/Core/AudioEncoder.hpp"
#include "Kestrune/Core/DecodingInputs.hpp"
#include "Kestrune/Core/FeatureExtractor.hpp"
#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune::testing {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// Text tokens decode to " w<id>"; special tokens to nothing.
class FakeTokenizer : public WhisperTokenizer {
 public:
  std::vector<int64_t> encode(std::string_view) const override { return {}; }
  std::string decode(const std::vector<int64_t>& tokens) const override {
    std::string text;
    for (auto token : tokens) {
      if (token < special_.specialTokenBegin) text += " w" + std::to_string(token);
    }
    return text;
  }
  std::optional<int64_t> convertTokenToId(std::string_view) const override { return std::nullopt; }
  std::optional<std::string> convertIdToToken(int64_t id) const override {
    return "t" + std::to_string(id);
  }
  const SpecialTokens& specialTokens() const override { return special_; }
  const std::unordered_set<int64_t>& allLanguageTokens() const override { return languages_; }
  WordTokens splitToWordTokens(const std::vector<int64_t>& ids) const override {
    WordTokens words;
    for (auto id : ids) {
      words.words.push_back(decode({id}));
      words.wordTokens.push_back({id});
    }
    return words;
  }

 private:
  SpecialTokens special_{};
  std::unordered_set<int64_t> languages_{};
};

// Records the first sample of every window it is given (tests fill the
// audio with sample indices, so that is the window's start).
class ScriptedFeatureExtractor : public FeatureExtracting {
 public:
  std::optional<int64_t> window = 480000;
  bool failMel = false;
  std::vector<float> firstSamples;

  std::optional<int64_t> melCount() const override { return 80; }
  std::optional<int64_t> windowSamples() const override { return window; }
  std::optional<MLMultiArray> logMelSpectrogram(const AudioProcessorOutputType& input) override {
    const auto& audio = std::any_cast<const MLMultiArray&>(input);
    std::lock_guard guard(mutex_);
    firstSamples.push_back(static_cast<float>(audio.number(0)));
    if (failMel) return std::nullopt;
    MLMultiArray mel({1}, MLMultiArrayDataType::float32);
    mel.setNumber(0, audio.number(0));
    return mel;
  }

 private:
  std::mutex mutex_;
};

class ScriptedAudioEncoder : public AudioEncoding {
 public:
  std::optional<int64_t> embed = 384;
  std::optional<int64_t> embedSize() const override { return embed; }
  // The features themselves: the decoder sees the window's first sample.
  std::optional<MLMultiArray> encodeFeatures(const FeatureExtractorOutputType& features) override {
    return std::any_cast<MLMultiArray>(features);
  }
};

inline std::shared_ptr<DecodingInputs> tinyDecodingInputs(std::vector<int64_t> prompt) {
  constexpr int64_t length = 8;
  return std::make_shared<DecodingInputs>(
      std::move(prompt), MLMultiArray({1}, MLMultiArrayDataType::int32),
      MLMultiArray({1}, MLMultiArrayDataType::int32),
      MLMultiArray({1, 1, 1, length}, MLMultiArrayDataType::float16),
      MLMultiArray({1, 1, 1, length}, MLMultiArrayDataType::float16),
      MLMultiArray({length, 4}, MLMultiArrayDataType::float16),
      MLMultiArray({1, length}, MLMultiArrayDataType::int32),
      MLMultiArray({1, length}, MLMultiArrayDataType::float16));
}

// One decoding pass as the script sees it.
struct DecodePass {
  int64_t call = 0;  // zero-based count of decodeText calls so far
  float temperature = 0;
  std::optional<std::string> language;
  float firstSample = 0;  // of the window being decoded
};

// A text decoder whose passes follow a script. By default every pass
// decodes the tokens [1, 2, 3] one by one, reporting progress after each
// and stopping early when the callback answers false.
class ScriptedTextDecoder : public TextDecoding {
 public:
  std::function<DecodingResult(const DecodePass&)> script;
  std::optional<std::string> detectedLanguage;  // none: detection throws
  std::optional<int64_t> logits = 51865;
  std::vector<DecodePass> passes;
  std::atomic<int> detections = 0;

  std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_; }
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> value) override { tokenizer_ = value; }
  bool isModelMultilingual() const override { return multilingual_; }
  void setIsModelMultilingual(bool value) override { multilingual_ = value; }
  bool supportsWordTimestamps() const override { return true; }
  std::optional<int64_t> logitsSize() const override { return logits; }
  std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters() const override { return filters_; }
  void setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>> filters) override {
    filters_ = std::move(filters);
  }
  std::optional<int64_t> kvCacheEmbedDim() const override { return std::nullopt; }
  std::optional<int64_t> kvCacheMaxSequenceLength() const override { return std::nullopt; }
  std::optional<int64_t> windowSize() const override { return std::nullopt; }
  std::optional<int64_t> embedSize() const override { return std::nullopt; }
  TextDecoderMLMultiArrayOutputType predictLogits(const TextDecoderInputType&) override {
    throw std::logic_error("not scripted");
  }
  std::shared_ptr<DecodingInputs> prepareDecoderInputs(
      const std::vector<int64_t>& prompt) override {
    return tinyDecodingInputs(prompt);
  }
  std::shared_ptr<DecodingInputsType> prefillDecoderInputs(
      std::shared_ptr<DecodingInputsType> inputs, const std::optional<DecodingOptions>&) override {
    return inputs;
  }

  DecodingResult decodeText(const MLMultiArray& encoded, DecodingInputsType&,
                            TokenSampling& sampler, const DecodingOptions& options,
                            const TranscriptionCallback& callback) override {
    DecodePass pass;
    {
      std::lock_guard guard(mutex_);
      pass.call = static_cast<int64_t>(passes.size());
      pass.temperature =
          static_cast<float>(dynamic_cast<GreedyTokenSampler&>(sampler).temperature());
      pass.language = options.language;
      pass.firstSample = static_cast<float>(encoded.number(0));
      passes.push_back(pass);
    }
    if (script) return script(pass);
    DecodingResult result;
    result.language = options.language.value_or("en");
    for (int64_t token : {1, 2, 3}) {
      result.tokens.push_back(token);
      TranscriptionProgress progress;
      progress.tokens = result.tokens;
      progress.windowId = -1;
      if (callback && callback(progress) == std::optional<bool>(false)) break;
    }
    return result;
  }

  DecodingResult detectLanguage(const MLMultiArray&, DecodingInputsType&, TokenSampling&,
                                const DecodingOptions&, platform::ml::Float16) override {
    ++detections;
    if (!detectedLanguage) throw std::runtime_error("no language");
    DecodingResult result;
    result.language = *detectedLanguage;
    result.languageProbs = {{*detectedLanguage, 0.9f}};
    return result;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  bool multilingual_ = true;
  std::vector<std::shared_ptr<LogitsFiltering>> filters_;
};

// Turns each window into one segment over the whole window holding the
// decoded tokens, and moves on by the window; `silent` windows (by call
// number) give no segments.
class ScriptedSegmentSeeker : public SegmentSeeking {
 public:
  std::function<bool(int64_t seek)> silentAt = [](int64_t) { return false; };
  std::function<std::optional<std::vector<TranscriptionSegment>>(
      const std::vector<TranscriptionSegment>&)>
      align;

  SeekPointAndSegments findSeekPointAndSegments(const DecodingResult& result,
                                                const DecodingOptions&, int64_t allSegmentsCount,
                                                int64_t currentSeek, int64_t segmentSize,
                                                int64_t sampleRate, int64_t, int64_t,
                                                const WhisperTokenizer& tokenizer) const override {
    const int64_t next = currentSeek + segmentSize;
    if (silentAt(currentSeek)) return {next, std::nullopt};
    TranscriptionSegment segment;
    segment.id = allSegmentsCount;
    segment.seek = currentSeek;
    segment.start = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
    segment.end = static_cast<float>(next) / static_cast<float>(sampleRate);
    segment.tokens = result.tokens;
    segment.text = tokenizer.decode(result.tokens);
    segment.words = std::vector<WordTiming>{{.word = segment.text,
                                             .tokens = result.tokens,
                                             .start = segment.start,
                                             .end = segment.end,
                                             .probability = 0.5f}};
    return {next, std::vector<TranscriptionSegment>{segment}};
  }

  std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const MLMultiArray&,
      const WhisperTokenizer&, int64_t, int64_t, std::string_view, std::string_view, float,
      const DecodingOptions&, const TranscriptionTimings&) const override {
    if (align) return align(segments);
    return segments;
  }
};

// Samples whose value is their own index, so a window's first sample tells
// where it starts.
inline std::vector<float> indexedAudio(size_t count) {
  std::vector<float> audio(count);
  for (size_t i = 0; i < count; ++i) audio[i] = static_cast<float>(i);
  return audio;
}

}  // namespace kestrune::testing
