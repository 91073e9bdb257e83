#include <gtest/gtest.h>

#include <filesystem>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Core/TextDecoding.hpp"
#include "tests/Kestrune/Core/Engine/EngineFixture.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune::testing {
namespace {

// A model folder converted from a small generated checkpoint with the
// multilingual tokenizer: the whole pipeline runs, its text is meaningless.
class GeneratedModel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<ModelFolder>(std::vector<std::string>{});
    const auto checkpoint = root_->path() / "checkpoint";
    tools::TestModelDimensions spec;
    spec.tokenizerFolder = std::string(KESTRUNE_SHARED_DIR) + "/tokenizers/multilingual";
    tools::writeTestCheckpoint(checkpoint, spec);
    tools::convertCheckpoint(checkpoint, root_->path() / "model");
  }
  static void TearDownTestSuite() {
    root_.reset();
  }
  static std::string modelFolder() { return (root_->path() / "model").string(); }

  static std::unique_ptr<ModelFolder> root_;
};

std::unique_ptr<ModelFolder> GeneratedModel::root_;

TEST_F(GeneratedModel, BuildsLoadsAndSettlesTheVariantAndTokenizer) {
  KestruneConfig config;
  config.modelFolder = modelFolder();
  config.prewarm = true;
  const auto engine = Kestrune::create(config);
  EXPECT_EQ(engine->modelState(), ModelState::loaded);
  ASSERT_TRUE(engine->tokenizer());
  EXPECT_TRUE(engine->textDecoder()->isModelMultilingual());
  EXPECT_EQ(engine->textDecoder()->tokenizer(), engine->tokenizer());
  EXPECT_GT(engine->currentTimings().modelLoading, 0);
  EXPECT_GT(engine->currentTimings().prewarmLoadTime, 0);
}

TEST_F(GeneratedModel, TranscribesSpeechWithWordTimings) {
  KestruneConfig config;
  config.modelFolder = modelFolder();
  const auto engine = Kestrune::create(config);
  const auto audio =
      AudioProcessor::loadAudioAsFloatArray(std::string(KESTRUNE_SHARED_DIR) + "/audio/jfk.flac");
  DecodingOptions options{.language = "en", .wordTimestamps = true};
  options.temperatureFallbackCount = 0;
  const auto results = engine->transcribe(audio, options);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->language(), "en");
  for (const auto& segment : results[0]->segments()) {
    EXPECT_LE(segment.start, segment.end);
    EXPECT_LE(segment.end, static_cast<float>(audio.size()) / 16000.0f + 0.01f);
  }
}

TEST_F(GeneratedModel, DetectsALanguageFromTheFirstWindow) {
  KestruneConfig config;
  config.modelFolder = modelFolder();
  const auto engine = Kestrune::create(config);
  const auto detection =
      engine->detectLanguage(std::string(KESTRUNE_SHARED_DIR) + "/audio/jfk.flac");
  EXPECT_FALSE(detection.language.empty());
  EXPECT_TRUE(detection.langProbs.count(detection.language));
}

}  // namespace
}  // namespace kestrune::testing
