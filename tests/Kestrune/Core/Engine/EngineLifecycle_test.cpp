#include <gtest/gtest.h>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tests/Kestrune/Core/Engine/EngineFixture.hpp"

namespace kestrune::testing {
namespace {

using orvane::Logging;

TEST(ModelComputeOptionsTest, AbsentEncoderChoiceTakesTheNeuralEngine) {
  const ModelComputeOptions options(MLComputeUnits::cpuOnly, std::nullopt, MLComputeUnits::all);
  EXPECT_EQ(options.melCompute, MLComputeUnits::cpuOnly);
  EXPECT_EQ(options.audioEncoderCompute, MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(options.textDecoderCompute, MLComputeUnits::all);
  const ModelComputeOptions engineDefault;
  EXPECT_EQ(engineDefault.melCompute, MLComputeUnits::cpuAndGPU);
  EXPECT_EQ(engineDefault.textDecoderCompute, MLComputeUnits::cpuAndNeuralEngine);
}

TEST(ModelStateTest, DescriptionsAndBusyStates) {
  const std::vector<std::tuple<ModelState, std::string, bool>> table = {
      {ModelState::unloading, "Unloading", true},     {ModelState::unloaded, "Unloaded", false},
      {ModelState::loading, "Loading", true},         {ModelState::loaded, "Loaded", false},
      {ModelState::prewarming, "Specializing", true}, {ModelState::prewarmed, "Specialized", false},
      {ModelState::downloading, "Downloading", true}, {ModelState::downloaded, "Downloaded", false},
  };
  for (const auto& [state, text, busy] : table) {
    EXPECT_EQ(orvane::description(state), text);
    EXPECT_EQ(orvane::isBusy(state), busy) << text;
  }
}

struct FolderCase {
  const char* name;
  std::vector<std::string> present;
  std::string missing;  // the model the error names
};

class EngineModelFolderTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(EngineModelFolderTest, FirstMissingModelIsNamedWithItsPath) {
  const auto& param = GetParam();
  EngineParts parts;
  const ModelFolder folder(param.present);
  auto config = parts.config();
  config.modelFolder = folder.path().string();
  const auto expected = "modelsUnavailable(\"Model file not found at " +
                        (folder.path() / (param.missing + ".mlmodelc")).string() + "\")";
  EXPECT_EQ(errorTextOf([&] { Kestrune::create<ScriptedEngine>(config); }), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, EngineModelFolderTest,
    ::testing::Values(FolderCase{"noDecoder", {"MelSpectrogram", "AudioEncoder"}, "TextDecoder"},
                      FolderCase{"noEncoder", {"MelSpectrogram", "TextDecoder"}, "AudioEncoder"},
                      FolderCase{"empty", {}, "MelSpectrogram"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EngineLifecycleTest, WithoutFolderOrDownloadLoadingFails) {
  KestruneConfig config;
  config.download = false;
  config.load = true;
  EXPECT_EQ(errorTextOf([&] { Kestrune::create(config); }),
            "modelsUnavailable(\"Model folder is not set.\")");
}

TEST(EngineLifecycleTest, DownloadFailureBecomesModelNotFound) {
  KestruneConfig config;
  config.download = true;
  config.modelEndpoint = "http://127.0.0.1:1";  // nothing listens there
  try {
    Kestrune::create(config);
    FAIL() << "expected an error";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), WhisperError::Case::modelsUnavailable);
    EXPECT_EQ(
        error.message().rfind(
            "Model not found. Please check the model or repo name and try again.\nError: ", 0),
        0u)
        << error.message();
  }
}

TEST(EngineLifecycleTest, PrewarmAndLoadGoThroughTheStatesInOrder) {
  EngineParts parts;
  auto config = parts.config();
  config.prewarm = true;
  config.load = true;
  const auto engine = Kestrune::create<ScriptedEngine>(config);
  using S = ModelState;
  const std::vector<std::pair<std::optional<S>, S>> expected = {{S::unloaded, S::prewarming},
                                                                {S::prewarming, S::prewarmed},
                                                                {S::prewarmed, S::loading},
                                                                {S::loading, S::loaded}};
  EXPECT_EQ(engine->states, expected);
  EXPECT_EQ(engine->modelState(), S::loaded);
}

TEST(EngineLifecycleTest, LoadFollowsTheFolderUnlessSaidOtherwise) {
  const std::vector<std::pair<std::optional<bool>, ModelState>> table = {
      {std::nullopt, ModelState::loaded},
      {false, ModelState::unloaded},
      {true, ModelState::loaded}};
  for (const auto& [load, expected] : table) {
    EngineParts parts;
    auto config = parts.config();
    config.load = load;
    EXPECT_EQ(Kestrune::create<ScriptedEngine>(config)->modelState(), expected);
  }
}

TEST(EngineLifecycleTest, UnloadKeepsTheTokenizerForTheNextLoad) {
  EngineParts parts;
  const auto engine = parts.engine();
  const auto tokenizer = engine->tokenizer();
  ASSERT_TRUE(tokenizer);
  engine->unloadModels();
  EXPECT_EQ(engine->modelState(), ModelState::unloaded);
  EXPECT_EQ(engine->tokenizer(), tokenizer);
  engine->loadModels();
  EXPECT_EQ(engine->tokenizer(), tokenizer);
  EXPECT_EQ(engine->modelState(), ModelState::loaded);
}

TEST(EngineLifecycleTest, UnknownEncoderSizeLeavesTheTokenizerUnavailable) {
  EngineParts parts;
  parts.encoder->embed = std::nullopt;
  EXPECT_EQ(errorTextOf([&] { Kestrune::create(parts.config()); }),
            "tokenizerUnavailable(\"Tokenizer is unavailable\")");
}

TEST(EngineLifecycleTest, ClearStateRestoresTheInitialTimings) {
  EngineParts parts;
  const auto engine = parts.engine();
  engine->setCurrentTimings({.pipelineStart = 5, .firstTokenTime = 6, .inputAudioSeconds = 7});
  engine->clearState();
  EXPECT_EQ(engine->currentTimings(), TranscriptionTimings{});
  EXPECT_EQ(engine->currentTimings().inputAudioSeconds, 0.001);
}

TEST(EngineLifecycleTest, LoggingIsSilentUnlessVerbose) {
  const auto previous = Logging::shared().logLevel();
  for (const bool verbose : {false, true}) {
    EngineParts parts;
    auto config = parts.config();
    config.verbose = verbose;
    config.logLevel = Logging::LogLevel::debug;
    Kestrune::create<ScriptedEngine>(config);
    EXPECT_EQ(Logging::shared().logLevel(),
              verbose ? Logging::LogLevel::debug : Logging::LogLevel::none);
  }
  Logging::updateLogLevel(previous);
}

TEST(EngineLifecycleTest, TokenizerFolderFallsBackToTheDownloadBase) {
  EngineParts parts;
  auto config = parts.config();
  config.downloadBase = "/tmp/downloads";
  EXPECT_EQ(Kestrune::create<ScriptedEngine>(config)->tokenizerFolder(),
            std::filesystem::path("/tmp/downloads"));
  config.tokenizerFolder = "/tmp/tokenizers";
  EXPECT_EQ(Kestrune::create<ScriptedEngine>(config)->tokenizerFolder(),
            std::filesystem::path("/tmp/tokenizers"));
}

}  // namespace
}  // namespace kestrune::testing
