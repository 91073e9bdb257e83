// The decoder on a real (generated, converted) decoder model: dimensions
// from the model description, predictions through the runtime, a whole
// window, cancellation and unloading.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "Kestrune/Core/Constants.hpp"
#include "Kestrune/Core/Text/TokenSampler.hpp"
#include "Kestrune/Core/Text/WhisperTokenizerWrapper.hpp"
#include "Kestrune/Core/TextDecoder.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/MLMultiArrayExtensions.hpp"
#include "OrvaneCore/TaskCancellation.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using platform::ml::Float16;
using platform::ml::MLComputeUnits;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

constexpr int64_t width = 16;
constexpr int64_t layers = 2;
constexpr int64_t frames = 10;

class GeneratedModelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<platform::ml::testing::TemporaryFolder>();
    tools::TestModelDimensions checkpoint;
    checkpoint.width = width, checkpoint.heads = 2, checkpoint.encoderLayers = 1;
    checkpoint.decoderLayers = layers;
    checkpoint.sourcePositions = frames;  // the full multilingual vocabulary
    tools::writeTestCheckpoint(folder_->path() / "checkpoint", checkpoint);
    tools::convertCheckpoint(folder_->path() / "checkpoint", folder_->path() / "models");
    const fs::path tokenizerFolder = fs::path(KESTRUNE_SHARED_DIR) / "tokenizers" / "multilingual";
    tokenizer_ = std::make_shared<WhisperTokenizerWrapper>(
        orvane::AutoTokenizerWrapper::from(tokenizerFolder), tokenizerFolder);
  }
  static void TearDownTestSuite() {
    folder_.reset();
    tokenizer_.reset();
  }

  static void load(TextDecoder& decoder) {
    decoder.loadModel(folder_->path() / "models" / "TextDecoder.mlmodelc", MLComputeUnits::cpuOnly);
    decoder.setTokenizer(tokenizer_);
    decoder.setIsModelMultilingual(true);
  }
  static MLMultiArray encoderOutput() {
    auto embeds =
        orvane::makeMultiArray({1, width, 1, frames}, MLMultiArrayDataType::float16, Float16(0));
    for (int64_t i = 0; i < embeds.count(); ++i) embeds.setNumber(i, 0.1 * (i % 7) - 0.3);
    return embeds;
  }

  static inline std::unique_ptr<platform::ml::testing::TemporaryFolder> folder_;
  static inline std::shared_ptr<const WhisperTokenizer> tokenizer_;
};

TEST_F(GeneratedModelTest, DimensionsComeFromTheLoadedModel) {
  TextDecoder decoder;
  const auto dimensions = [&] {
    return std::vector<std::optional<int64_t>>{decoder.logitsSize(), decoder.kvCacheEmbedDim(),
                                               decoder.kvCacheMaxSequenceLength(),
                                               decoder.windowSize(), decoder.embedSize()};
  };
  EXPECT_EQ(dimensions(), std::vector<std::optional<int64_t>>(5, std::nullopt));
  load(decoder);
  EXPECT_EQ(dimensions(),
            (std::vector<std::optional<int64_t>>{51865, width * layers, 224, frames, width}));
  EXPECT_TRUE(decoder.supportsWordTimestamps());
  decoder.unloadModel();
  EXPECT_FALSE(decoder.logitsSize());
  EXPECT_FALSE(decoder.supportsWordTimestamps());
}

TEST_F(GeneratedModelTest, DecodesAWindowAndDetectsALanguage) {
  TextDecoder decoder;
  load(decoder);
  const auto inputs = decoder.prepareDecoderInputs({50258});
  decoder.prefillDecoderInputs(inputs, DecodingOptions{});
  const auto embeds = encoderOutput();
  const DecodingOptions options{.sampleLength = 12};
  GreedyTokenSampler sampler(Float16(0), 50257, options);
  const auto result = decoder.decodeText(embeds, *inputs, sampler, options, nullptr);

  ASSERT_GE(result.tokens.size(), 5u);
  EXPECT_EQ(std::vector<int64_t>(result.tokens.begin(), result.tokens.begin() + 3),
            (std::vector<int64_t>{50258, 50259, 50359}));
  // The prompt's opening timestamp, or the one the model chose in its place.
  EXPECT_GE(result.tokens[3], 50364);
  EXPECT_EQ(result.tokens.back(), 50257);
  EXPECT_LE(result.tokens.size(), 4u + 12u);
  // The no-timestamps token is never sampled while timestamps are on.
  EXPECT_EQ(std::count(result.tokens.begin(), result.tokens.end(), 50363), 0);
  ASSERT_TRUE(result.cache && result.cache->alignmentWeights);
  EXPECT_EQ(result.timings->totalKVUpdateRuns + 1, result.timings->totalDecodingLoops);
  // Something was written at position 0 of the key cache.
  const auto keys = result.cache->keyCache->toFloatVector();
  EXPECT_TRUE(std::any_of(keys.begin(), keys.end(), [](float v) { return v != 0; }));

  inputs->reset(224);
  const auto detected = decoder.detectLanguage(embeds, *inputs, sampler, options, Float16(0));
  EXPECT_TRUE(Constants::isLanguageCode(detected.language));
  ASSERT_EQ(detected.languageProbs.size(), 1u);
  EXPECT_LE(detected.languageProbs.begin()->second, 0.0f);
}

TEST_F(GeneratedModelTest, ACancelledTaskStopsBeforePredicting) {
  TextDecoder decoder;
  load(decoder);
  const auto inputs = decoder.prepareDecoderInputs({50258});
  decoder.prefillDecoderInputs(inputs, DecodingOptions{});
  orvane::CancellationToken token;
  token.cancel();
  orvane::CancellationScope scope(token);
  GreedyTokenSampler sampler(Float16(0), 50257, {});
  EXPECT_THROW(decoder.decodeText(encoderOutput(), *inputs, sampler, {}, nullptr),
               orvane::CancellationError);
}

}  // namespace
}  // namespace kestrune
