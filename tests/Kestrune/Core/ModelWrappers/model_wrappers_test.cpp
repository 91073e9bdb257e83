#include <gtest/gtest.h>

#include <cmath>

#include "Kestrune/Core/AudioEncoder.hpp"
#include "Kestrune/Core/FeatureExtractor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/TaskCancellation.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune {
namespace {

using platform::ml::MLComputeUnits;
using platform::ml::MLMultiArrayDataType;

class ModelWrappersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<platform::ml::testing::TemporaryFolder>();
    tools::TestModelDimensions dims;
    dims.width = 16, dims.heads = 2, dims.encoderLayers = 1, dims.decoderLayers = 1;
    dims.vocabulary = 40, dims.sourcePositions = 10;
    tools::writeTestCheckpoint(folder_->path() / "checkpoint", dims);
    tools::convertCheckpoint(folder_->path() / "checkpoint", folder_->path() / "models");
  }
  static void TearDownTestSuite() { folder_.reset(); }
  static std::filesystem::path model(const char* name) {
    return folder_->path() / "models" / (std::string(name) + ".mlmodelc");
  }
  static inline std::unique_ptr<platform::ml::testing::TemporaryFolder> folder_;
};

TEST_F(ModelWrappersTest, DimensionsFollowTheModelsLife) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  const auto dimensions = [&] {
    return std::vector<std::optional<int64_t>>{extractor.melCount(), extractor.windowSamples(),
                                               encoder.embedSize(), encoder.sequenceLength()};
  };
  const std::vector<std::optional<int64_t>> none(4, std::nullopt);
  EXPECT_EQ(dimensions(), none);
  extractor.loadModel(model("MelSpectrogram"), MLComputeUnits::cpuAndGPU, true);
  encoder.loadModel(model("AudioEncoder"), MLComputeUnits::cpuAndNeuralEngine, true);
  EXPECT_EQ(extractor.modelState(), orvane::ModelState::unloaded);  // a prewarm holds nothing
  EXPECT_EQ(dimensions(), none);
  extractor.loadModel(model("MelSpectrogram"), MLComputeUnits::cpuAndGPU);
  encoder.loadModel(model("AudioEncoder"), MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(extractor.modelState(), orvane::ModelState::loaded);
  EXPECT_EQ(dimensions(), (std::vector<std::optional<int64_t>>{80, 3200, 16, 10}));
  extractor.unloadModel();
  encoder.unloadModel();
  EXPECT_EQ(dimensions(), none);
  EXPECT_THROW(extractor.loadModel(model("Missing"), MLComputeUnits::cpuOnly),
               platform::ml::PlatformMLError);
}

TEST_F(ModelWrappersTest, RunsTheTwoModelsInTurn) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  extractor.loadModel(model("MelSpectrogram"), MLComputeUnits::cpuAndGPU);
  encoder.loadModel(model("AudioEncoder"), MLComputeUnits::cpuAndNeuralEngine);
  MLMultiArray audio({3200}, MLMultiArrayDataType::float32);
  for (int64_t i = 0; i < 3200; ++i) audio.setNumber(i, std::sin(0.05 * double(i)));
  const auto features = extractor.logMelSpectrogram(audio);
  ASSERT_TRUE(features);
  EXPECT_EQ(features->shape(), (std::vector<int64_t>{1, 80, 1, 20}));
  const auto embeds = encoder.encodeFeatures(*features);
  ASSERT_TRUE(embeds);
  EXPECT_EQ(embeds->shape(), (std::vector<int64_t>{1, 16, 1, 10}));
  EXPECT_EQ(AudioEncoderOutput(*embeds).encoder_output_embedsShapedArray().size(), 160u);
}

TEST_F(ModelWrappersTest, RefusesWithTheExactErrors) {
  FeatureExtractor extractor;
  AudioEncoder encoder;
  const MLMultiArray array({3200}, MLMultiArrayDataType::float32);
  const auto expectError = [](auto&& call, const WhisperError& expected) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
      EXPECT_EQ(error, expected);
    }
  };
  expectError([&] { extractor.logMelSpectrogram(std::any(3)); },
              WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray"));
  expectError([&] { encoder.encodeFeatures(std::any(std::string("x"))); },
              WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray"));
  expectError([&] { extractor.logMelSpectrogram(array); }, WhisperError::modelsUnavailable());
  expectError([&] { encoder.encodeFeatures(array); }, WhisperError::modelsUnavailable());
}

TEST_F(ModelWrappersTest, ACancelledTaskStopsBeforePredicting) {
  FeatureExtractor extractor;
  extractor.loadModel(model("MelSpectrogram"), MLComputeUnits::cpuOnly);
  orvane::CancellationToken token;
  token.cancel();
  const orvane::CancellationScope scope(token);
  EXPECT_THROW(extractor.logMelSpectrogram(MLMultiArray({3200}, MLMultiArrayDataType::float32)),
               orvane::CancellationError);
}

}  // namespace
}  // namespace kestrune
