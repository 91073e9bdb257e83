#pragma once

// Test stand-ins for the decoder's collaborators: a small tokenizer with the
// multilingual control ids, and a text decoder whose "model" returns logits
// chosen per step and records what each prediction was fed.

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"

namespace kestrune::scripted {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

inline constexpr int64_t V = 51865;
inline constexpr int64_t EOT = 50257;
inline constexpr int64_t SOT = 50258;
inline constexpr int64_t EN = 50259;
inline constexpr int64_t ZH = 50260;
inline constexpr int64_t DE = 50261;
inline constexpr int64_t FR = 50265;
// A language slot whose code the engine's table does not know.
inline constexpr int64_t XX = 50357;
inline constexpr int64_t TRANSLATE = 50358;
inline constexpr int64_t TRANSCRIBE = 50359;
inline constexpr int64_t SOP = 50361;
inline constexpr int64_t NO_TS = 50363;
inline constexpr int64_t T0 = 50364;

// Text token k reads " w<k>"; control tokens read as their "<|...|>" texts.
class FakeTokenizer final : public WhisperTokenizer {
 public:
  explicit FakeTokenizer(bool multilingual = true) {
    add(EOT, "<|endoftext|>");
    add(SOT, "<|startoftranscript|>");
    add(TRANSLATE, "<|translate|>");
    add(TRANSCRIBE, "<|transcribe|>");
    add(SOP, "<|startofprev|>");
    add(NO_TS, "<|notimestamps|>");
    if (multilingual) {
      for (const auto& [id, code] : std::map<int64_t, std::string>{
               {EN, "en"}, {ZH, "zh"}, {DE, "de"}, {FR, "fr"}, {XX, "xx"}}) {
        add(id, "<|" + code + "|>");
        languages_.insert(id);
      }
    }
    for (int64_t i = 0; i <= 1500; ++i) {
      char text[16];
      std::snprintf(text, sizeof text, "<|%.2f|>", static_cast<double>(i) * 0.02);
      add(T0 + i, text);
    }
  }

  std::vector<int64_t> encode(std::string_view) const override { return {}; }
  std::string decode(const std::vector<int64_t>& tokens) const override {
    std::string text;
    for (const int64_t token : tokens) text += convertIdToToken(token).value_or("");
    return text;
  }
  std::optional<int64_t> convertTokenToId(std::string_view token) const override {
    const auto found = ids_.find(std::string(token));
    if (found == ids_.end()) return std::nullopt;
    return found->second;
  }
  std::optional<std::string> convertIdToToken(int64_t id) const override {
    if (id == 220) return " ";
    if (id >= 0 && id < EOT) return " w" + std::to_string(id);
    const auto found = texts_.find(id);
    if (found == texts_.end()) return std::nullopt;
    return found->second;
  }
  const SpecialTokens& specialTokens() const override { return special_; }
  const std::unordered_set<int64_t>& allLanguageTokens() const override { return languages_; }
  WordTokens splitToWordTokens(const std::vector<int64_t>&) const override { return {}; }

 private:
  void add(int64_t id, const std::string& text) {
    texts_[id] = text;
    ids_[text] = id;
  }

  SpecialTokens special_{};
  std::unordered_set<int64_t> languages_;
  std::map<int64_t, std::string> texts_;
  std::map<std::string, int64_t> ids_;
};

// What one prediction was fed.
struct FedStep {
  int64_t token = 0;
  int64_t position = 0;
  std::vector<int32_t> updateMask;  // the first eight positions
  std::vector<float> paddingMask;   // the first eight positions
};

// Logit scores for one step: the listed tokens get their values, every
// other token `background`.
struct StepLogits {
  std::map<int64_t, float> scores;
  float background = -std::numeric_limits<float>::infinity();
};

// A text decoder whose model is a script: step t returns script(t). Each
// step's key slice holds t + e/8 for channel e, the value slice its
// negation, and the alignment slice (when enabled) t + 1 everywhere.
class ScriptedDecoder : public TextDecoder {
 public:
  static constexpr int64_t D = 4;
  static constexpr int64_t S = 224;
  static constexpr int64_t W = 6;

  std::function<StepLogits(int64_t step)> script = [](int64_t) {
    return StepLogits{{{400, 1.0f}}};
  };
  // Runs at the start of each prediction (before anything is recorded).
  std::function<void(int64_t step)> beforePrediction;
  bool giveLogits = true;
  bool giveCache = true;
  bool giveAlignment = false;
  std::optional<int64_t> embedDim = D;
  std::optional<int64_t> sequenceLength = S;
  std::optional<int64_t> frames = W;
  std::vector<FedStep> fed;

  std::optional<int64_t> kvCacheEmbedDim() const override { return embedDim; }
  std::optional<int64_t> kvCacheMaxSequenceLength() const override { return sequenceLength; }
  std::optional<int64_t> windowSize() const override { return frames; }
  std::optional<int64_t> embedSize() const override { return 8; }
  std::optional<int64_t> logitsSize() const override { return V; }
  bool supportsWordTimestamps() const override { return giveAlignment; }

  TextDecoderMLMultiArrayOutputType predictLogits(const TextDecoderInputType& input) override {
    const auto& arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType&>(input);
    const auto step = static_cast<int64_t>(fed.size());
    if (beforePrediction) beforePrediction(step);
    FedStep record;
    record.token = arrays.inputIds.data<int32_t>()[0];
    record.position = arrays.cacheLength.data<int32_t>()[0];
    for (int64_t i = 0; i < 8; ++i) {
      record.updateMask.push_back(static_cast<int32_t>(arrays.kvCacheUpdateMask.number(i)));
      record.paddingMask.push_back(static_cast<float>(arrays.decoderKeyPaddingMask.number(i)));
    }
    fed.push_back(std::move(record));

    TextDecoderMLMultiArrayOutputType output;
    if (giveLogits) output.logits = logitsFor(script(step));
    if (giveCache) {
      DecodingCache cache;
      cache.keyCache = slice(static_cast<float>(step), 1);
      cache.valueCache = slice(static_cast<float>(step), -1);
      if (giveAlignment) {
        cache.alignmentWeights =
            orvane::makeMultiArray({1, W}, MLMultiArrayDataType::float16, Float16(step + 1));
      }
      output.cache = std::move(cache);
    }
    return output;
  }

  static MLMultiArray logitsFor(const StepLogits& step) {
    auto logits =
        orvane::makeMultiArray({1, 1, V}, MLMultiArrayDataType::float16, Float16(step.background));
    for (const auto& [token, score] : step.scores) logits.data<Float16>()[token] = Float16(score);
    return logits;
  }

  static float keyValue(int64_t step, int64_t channel) {
    return static_cast<float>(step) + static_cast<float>(channel) / 8.0f;
  }

 private:
  static MLMultiArray slice(float step, float sign) {
    auto array = orvane::makeMultiArray({1, D, 1, 1}, MLMultiArrayDataType::float16, Float16(0));
    for (int64_t e = 0; e < D; ++e) {
      array.data<Float16>()[e * array.strides()[1]] =
          Float16(sign * keyValue(static_cast<int64_t>(step), e));
    }
    return array;
  }
};

}  // namespace kestrune::scripted
