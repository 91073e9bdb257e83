#include "Kestrune/Core/DecodingInputs.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Kestrune/Core/Decoder/ScriptedDecoder.hpp"

namespace kestrune {
namespace {

using namespace kestrune::scripted;

std::vector<float> maskValues(const MLMultiArray& mask, int64_t count) {
  std::vector<float> values;
  for (int64_t i = 0; i < count; ++i) values.push_back(static_cast<float>(mask.number(i)));
  return values;
}

std::vector<float> freshUpdateMask(int64_t count) {
  std::vector<float> values(count, 0.0f);
  values[0] = 1;
  return values;
}

std::vector<float> freshPaddingMask(int64_t count) {
  std::vector<float> values(count, -10000.0f);
  values[0] = 0;
  return values;
}

void expectWhisperError(const std::function<void()>& call, WhisperError::Case kind,
                        const std::string& message) {
  try {
    call();
    FAIL() << "expected " << message;
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), kind);
    EXPECT_EQ(error.message(), message);
  }
}

TEST(DecodingInputsTest, FreshStateHasTheFirstPositionOpen) {
  ScriptedDecoder decoder;
  const auto inputs = decoder.prepareDecoderInputs({SOT});
  EXPECT_EQ(inputs->initialPrompt(), (std::vector<int64_t>{SOT}));
  EXPECT_EQ(inputs->keyCache().shape(), (std::vector<int64_t>{1, ScriptedDecoder::D, 1, 224}));
  EXPECT_EQ(inputs->valueCache().shape(), inputs->keyCache().shape());
  EXPECT_EQ(inputs->alignmentWeights().shape(), (std::vector<int64_t>{224, ScriptedDecoder::W}));
  EXPECT_EQ(inputs->keyCache().dataType(), MLMultiArrayDataType::float16);
  EXPECT_EQ(inputs->kvCacheUpdateMask().dataType(), MLMultiArrayDataType::int32);
  EXPECT_EQ(maskValues(inputs->kvCacheUpdateMask(), 224), freshUpdateMask(224));
  EXPECT_EQ(maskValues(inputs->decoderKeyPaddingMask(), 224), freshPaddingMask(224));
  EXPECT_EQ(inputs->inputIds().number(0), 0);
  EXPECT_EQ(inputs->cacheLength().number(0), 0);
}

TEST(DecodingInputsTest, MissingModelDimensionsAreNamed) {
  struct Case {
    bool embed, sequence, frames;
    const char* message;
  };
  const std::vector<Case> cases = {
      {false, true, true, "Unable to determine kvCacheEmbedDim"},
      {false, false, false, "Unable to determine kvCacheEmbedDim"},
      {true, false, true, "Unable to determine kvCacheMaxSequenceLength"},
      {true, true, false, "Unable to determine encoderOutputDim"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ScriptedDecoder decoder;
    if (!c.embed) decoder.embedDim.reset();
    if (!c.sequence) decoder.sequenceLength.reset();
    if (!c.frames) decoder.frames.reset();
    expectWhisperError([&] { decoder.prepareDecoderInputs({SOT}); },
                       WhisperError::Case::prepareDecoderInputsFailed, c.message);
  }
  // The real decoder without a model knows none of them.
  TextDecoder unloaded;
  expectWhisperError([&] { unloaded.prepareDecoderInputs({SOT}); },
                     WhisperError::Case::prepareDecoderInputsFailed,
                     "Unable to determine kvCacheEmbedDim");
}

TEST(DecodingInputsTest, ResetRestoresTheFreshMasksAndPosition) {
  ScriptedDecoder decoder;
  const auto inputs = decoder.prepareDecoderInputs({SOT});
  for (int64_t t = 0; t < 30; ++t) inputs->advanceMasks(t);
  inputs->cacheLength().data<int32_t>()[0] = 30;
  inputs->inputIds().data<int32_t>()[0] = 123;
  inputs->reset(224);
  EXPECT_EQ(maskValues(inputs->kvCacheUpdateMask(), 224), freshUpdateMask(224));
  EXPECT_EQ(maskValues(inputs->decoderKeyPaddingMask(), 224), freshPaddingMask(224));
  EXPECT_EQ(inputs->cacheLength().number(0), 0);
  EXPECT_EQ(inputs->inputIds().number(0), 123);  // left for the next window's prompt
}

TEST(DecodingInputsTest, AdvancingTouchesOnlyTheStepPositions) {
  ScriptedDecoder decoder;
  const auto inputs = decoder.prepareDecoderInputs({SOT});
  for (int64_t t = 0; t <= 3; ++t) inputs->advanceMasks(t);
  EXPECT_EQ(maskValues(inputs->kvCacheUpdateMask(), 8),
            (std::vector<float>{0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(maskValues(inputs->decoderKeyPaddingMask(), 8),
            (std::vector<float>{0, 0, 0, 0, 0, -10000, -10000, -10000}));
  // The last position has no successor to open.
  inputs->advanceMasks(223);
  EXPECT_EQ(inputs->kvCacheUpdateMask().number(223), 0);
}

struct PrefillCase {
  const char* name;
  bool multilingual;
  std::optional<DecodingOptions> options;
  std::vector<int64_t> expected;
};

std::vector<int64_t> range(int64_t first, int64_t count) {
  std::vector<int64_t> values(count);
  std::iota(values.begin(), values.end(), first);
  return values;
}

std::vector<int64_t> concat(std::vector<std::vector<int64_t>> parts) {
  std::vector<int64_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(PrefillDecoderInputsTest, BuildsThePromptTheOptionsAskFor) {
  // 150 prompt tokens with control ids mixed in: only the text ids among
  // the last 111 survive.
  std::vector<int64_t> longPrompt = range(1000, 150);
  longPrompt[140] = EOT;
  longPrompt[145] = T0 + 3;
  std::vector<int64_t> keptPrompt = range(1039, 111);
  keptPrompt.erase(std::remove_if(keptPrompt.begin(), keptPrompt.end(),
                                  [](int64_t t) { return t == 1140 || t == 1145; }),
                   keptPrompt.end());
  const std::vector<PrefillCase> cases = {
      {"no options", true, std::nullopt, {SOT}},
      {"multilingual defaults", true, DecodingOptions{}, {SOT, EN, TRANSCRIBE, T0}},
      {"english-only", false, DecodingOptions{}, {SOT, T0}},
      {"language and translate",
       true,
       DecodingOptions{.task = DecodingTask::translate, .language = "fr"},
       {SOT, FR, TRANSLATE, T0}},
      {"unknown language falls back to English",
       true,
       DecodingOptions{.language = "qq"},
       {SOT, EN, TRANSCRIBE, T0}},
      {"without timestamps",
       true,
       DecodingOptions{.withoutTimestamps = true},
       {SOT, EN, TRANSCRIBE, NO_TS}},
      {"prompt tokens cut to the last 111 text tokens", true,
       DecodingOptions{.promptTokens = longPrompt},
       concat({{SOP}, keptPrompt, {SOT, EN, TRANSCRIBE, T0}})},
      {"prompt of control tokens only adds nothing",
       true,
       DecodingOptions{.promptTokens = std::vector<int64_t>{SOT, T0}},
       {SOT, EN, TRANSCRIBE, T0}},
      {"prefix tokens",
       true,
       DecodingOptions{.prefixTokens = std::vector<int64_t>{7, EOT, 8}},
       {SOT, EN, TRANSCRIBE, T0, 7, 8}},
      {"prefix cut to 112", false, DecodingOptions{.prefixTokens = range(1, 200)},
       concat({{SOT, T0}, range(89, 112)})},
      // 116 prompt positions leave room for 106 prefix tokens.
      {"prompt and prefix share 222 positions", true,
       DecodingOptions{.promptTokens = range(1, 111), .prefixTokens = range(2000, 112)},
       concat({{SOP}, range(1, 111), {SOT, EN, TRANSCRIBE, T0}, range(2006, 106)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDecoder decoder;
    decoder.setTokenizer(std::make_shared<FakeTokenizer>(c.multilingual));
    decoder.setIsModelMultilingual(c.multilingual);
    std::shared_ptr<DecodingInputsType> inputs = decoder.prepareDecoderInputs({SOT});
    const auto filled = decoder.prefillDecoderInputs(inputs, c.options);
    EXPECT_EQ(filled.get(), inputs.get());
    EXPECT_EQ(filled->initialPrompt(), c.expected);
    EXPECT_LE(filled->initialPrompt().size(), 222u);
  }
}

class OtherInputs final : public DecodingInputsType {
 public:
  const std::vector<int64_t>& initialPrompt() const override { return prompt_; }
  void setInitialPrompt(std::vector<int64_t> prompt) override { prompt_ = std::move(prompt); }
  const MLMultiArray& inputIds() const override { return ids_; }
  void setInputIds(MLMultiArray ids) override { ids_ = std::move(ids); }
  const MLMultiArray& cacheLength() const override { return ids_; }
  void setCacheLength(MLMultiArray) override {}
  void reset(int64_t) override {}

 private:
  std::vector<int64_t> prompt_{SOT};
  MLMultiArray ids_{{1}, MLMultiArrayDataType::int32};
};

TEST(PrefillDecoderInputsTest, RefusesWithoutTokenizerOrForeignInputs) {
  ScriptedDecoder decoder;
  std::shared_ptr<DecodingInputsType> inputs = decoder.prepareDecoderInputs({SOT});
  expectWhisperError([&] { decoder.prefillDecoderInputs(inputs, DecodingOptions{}); },
                     WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
  decoder.setTokenizer(std::make_shared<FakeTokenizer>());
  expectWhisperError(
      [&] { decoder.prefillDecoderInputs(std::make_shared<OtherInputs>(), DecodingOptions{}); },
      WhisperError::Case::prepareDecoderInputsFailed,
      "Unable to cast decoderInputs to DecodingInputs");
}

MLMultiArray halfArray(std::vector<int64_t> shape, float start) {
  auto array = orvane::makeMultiArray(shape, MLMultiArrayDataType::float16, Float16(0));
  for (int64_t i = 0; i < array.count(); ++i) array.setNumber(i, start + static_cast<float>(i));
  return array;
}

TEST(UpdateKVCacheTest, WritesEachChannelAtTheInsertPositions) {
  // Pixel-buffer rows are padded, so cache and slices have non-trivial
  // strides.
  const auto keys =
      orvane::makeMultiArray({1, 3, 1, 10}, MLMultiArrayDataType::float16, Float16(0));
  const auto values =
      orvane::makeMultiArray({1, 3, 1, 10}, MLMultiArrayDataType::float16, Float16(0));
  const auto keySlice = halfArray({1, 3, 1, 2}, 1);      // channel e: 1+2e, 2+2e
  const auto valueSlice = halfArray({1, 3, 1, 2}, 101);  // channel e: 101+2e, 102+2e
  TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, 4);
  for (int64_t e = 0; e < 3; ++e) {
    for (int64_t p = 0; p < 10; ++p) {
      const bool written = p == 4 || p == 5;
      const double expectedKey = written ? 1 + 2 * e + (p - 4) : 0;
      EXPECT_EQ(keys.number(e * 10 + p), expectedKey) << e << "," << p;
      EXPECT_EQ(values.number(e * 10 + p), written ? expectedKey + 100 : 0) << e << "," << p;
    }
  }
}

TEST(UpdateKVCacheTest, LargeCopiesSplitOverChannelsGiveTheSameResult) {
  // Enough elements for the copy to run on the shared pool.
  const int64_t channels = 600, positions = 224;
  const auto keys = orvane::makeMultiArray({1, channels, 1, positions},
                                           MLMultiArrayDataType::float16, Float16(0));
  const auto values = orvane::makeMultiArray({1, channels, 1, positions},
                                             MLMultiArrayDataType::float16, Float16(0));
  auto slice = [&](float sign) {
    auto array = orvane::makeMultiArray({1, channels, 1, positions}, MLMultiArrayDataType::float16,
                                        Float16(0));
    for (int64_t i = 0; i < array.count(); ++i)
      array.setNumber(i, sign * static_cast<float>(i % 1000));
    return array;
  };
  const auto keySlice = slice(1);
  const auto valueSlice = slice(-1);
  TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, 0);
  EXPECT_EQ(keys.toFloatVector(), keySlice.toFloatVector());
  EXPECT_EQ(values.toFloatVector(), valueSlice.toFloatVector());
}

TEST(UpdateKVCacheTest, SlicesThatDoNotFitAreRejectedBeforeWriting) {
  const auto cache = [] {
    return orvane::makeMultiArray({1, 3, 1, 10}, MLMultiArrayDataType::float16, Float16(0));
  };
  struct Case {
    const char* name;
    MLMultiArray keySlice;
    MLMultiArray valueSlice;
    int64_t insertAt;
  };
  const std::vector<Case> cases = {
      {"past the cache end", halfArray({1, 3, 1, 2}, 1), halfArray({1, 3, 1, 2}, 1), 9},
      {"negative position", halfArray({1, 3, 1, 1}, 1), halfArray({1, 3, 1, 1}, 1), -1},
      {"too few channels", halfArray({1, 2, 1, 1}, 1), halfArray({1, 2, 1, 1}, 1), 0},
      {"slices differ", halfArray({1, 3, 1, 1}, 1), halfArray({1, 3, 1, 2}, 1), 0},
      {"wrong rank", halfArray({3, 1}, 1), halfArray({3, 1}, 1), 0},
      {"wrong type", MLMultiArray({1, 3, 1, 1}, MLMultiArrayDataType::float32),
       MLMultiArray({1, 3, 1, 1}, MLMultiArrayDataType::float32), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto keys = cache();
    const auto values = cache();
    expectWhisperError(
        [&] { TextDecoding::updateKVCache(keys, c.keySlice, values, c.valueSlice, c.insertAt); },
        WhisperError::Case::decodingLogitsFailed, "Invalid model output");
    EXPECT_EQ(keys.toFloatVector(), std::vector<float>(30, 0.0f));
  }
}

TEST(UpdateAlignmentWeightsTest, StoresTheRowAfterTheStepPosition) {
  const auto store = orvane::makeMultiArray({4, 5}, MLMultiArrayDataType::float16, Float16(0));
  TextDecoding::updateAlignmentWeights(store, halfArray({1, 5}, 10), 1);
  for (int64_t row = 0; row < 4; ++row) {
    for (int64_t i = 0; i < 5; ++i) {
      EXPECT_EQ(store.number(row * 5 + i), row == 2 ? 10 + i : 0) << row << "," << i;
    }
  }
  // The step at the last position has no row after it.
  TextDecoding::updateAlignmentWeights(store, halfArray({1, 5}, 50), 3);
  EXPECT_EQ(store.number(3 * 5), 0);
  expectWhisperError(
      [&] {
        TextDecoding::updateAlignmentWeights(store, halfArray({1, 4}, 1), 0);
      },
      WhisperError::Case::decodingLogitsFailed, "Invalid model output");
}

TEST(TextDecoderModelIOTest, ProvidersAnswerByTensorName) {
  ScriptedDecoder decoder;
  const auto inputs = decoder.prepareDecoderInputs({SOT});
  const MLMultiArray embeds({1, 8, 1, ScriptedDecoder::W}, MLMultiArrayDataType::float16);
  const TextDecoderInput provider(TextDecoderMLMultiArrayInputType(
      inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
      inputs->kvCacheUpdateMask(), embeds, inputs->decoderKeyPaddingMask()));
  EXPECT_EQ(provider.featureNames(),
            (std::set<std::string>{"input_ids", "cache_length", "key_cache", "value_cache",
                                   "kv_cache_update_mask", "encoder_output_embeds",
                                   "decoder_key_padding_mask"}));
  const auto keyCache = provider.featureValue("key_cache");
  ASSERT_TRUE(keyCache && keyCache->multiArrayValue());
  EXPECT_TRUE(keyCache->multiArrayValue()->sharesStorage(inputs->keyCache()));
  EXPECT_FALSE(provider.featureValue("logits"));

  const TextDecoderOutput output(halfArray({1, 1, 3}, 1), halfArray({1, 2, 1, 1}, 5),
                                 halfArray({1, 2, 1, 1}, 7));
  ASSERT_TRUE(output.logitsShapedArray());
  EXPECT_EQ(output.logitsShapedArray()->scalars,
            (std::vector<Float16>{Float16(1), Float16(2), Float16(3)}));
  EXPECT_EQ(output.valueCacheUpdates()->number(1), 8);
  EXPECT_FALSE(output.alignmentHeadsWeights());
  EXPECT_FALSE(output.alignmentHeadsWeightsShapedArray());
}

}  // namespace
}  // namespace kestrune
