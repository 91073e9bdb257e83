#include "Kestrune/Utilities/ModelUtilities.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "OrvaneCore/Logging.hpp"

namespace {

namespace fs = std::filesystem;
using kestrune::ModelVariant;
using kestrune::ModelUtilities::detectModelURL;
using kestrune::ModelUtilities::detectVariant;
using orvane::Logging;

TEST(DetectVariant, ByVocabularyAndEncoderWidth) {
  struct Case {
    int logits, encoder;
    ModelVariant variant;
  };
  const Case cases[] = {
      // English-only vocabulary.
      {51864, 384, ModelVariant::tinyEn},
      {51864, 512, ModelVariant::baseEn},
      {51864, 640, ModelVariant::baseEn},
      {51864, 768, ModelVariant::smallEn},
      {51864, 896, ModelVariant::baseEn},
      {51864, 1024, ModelVariant::mediumEn},
      {51864, 1280, ModelVariant::baseEn},
      {51864, 256, ModelVariant::baseEn},
      {51864, 500, ModelVariant::baseEn},
      // Multilingual vocabulary.
      {51865, 384, ModelVariant::tiny},
      {51865, 512, ModelVariant::base},
      {51865, 768, ModelVariant::small},
      {51865, 1024, ModelVariant::medium},
      {51865, 1152, ModelVariant::base},
      {51865, 1280, ModelVariant::largev2},
      {51865, 1408, ModelVariant::base},
      {51865, 500, ModelVariant::base},
      {51865, 0, ModelVariant::base},
      // large-v3 vocabulary, whatever the encoder.
      {51866, 1280, ModelVariant::largev3},
      {51866, 384, ModelVariant::largev3},
      {51866, 7, ModelVariant::largev3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.logits) + " " + std::to_string(c.encoder));
    EXPECT_EQ(detectVariant(c.logits, c.encoder), c.variant);
  }
}

TEST(DetectVariant, UnknownVocabularyLogsAndGivesBase) {
  std::vector<std::string> lines;
  Logging::updateLogLevel(Logging::LogLevel::error);
  Logging::updateCallback([&](const std::string& line) { lines.push_back(line); });
  const ModelVariant unknown = detectVariant(50000, 512);
  const ModelVariant known = detectVariant(51865, 512);
  Logging::updateCallback(nullptr);
  Logging::updateLogLevel(Logging::LogLevel::none);
  EXPECT_EQ(unknown, ModelVariant::base);
  EXPECT_EQ(known, ModelVariant::base);
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Unrecognized vocabulary size: 50000, defaulting to base variant"});
}

class DetectModelURL : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("variant-models-" + std::to_string(::getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }
  void makePackage(const std::string& name, bool withModelFile) {
    const fs::path inner = folder / (name + ".mlpackage") / "Data" / "com.apple.CoreML";
    fs::create_directories(inner);
    if (withModelFile) std::ofstream(inner / "model.mlmodel") << "m";
  }
  fs::path folder;
};

TEST_F(DetectModelURL, CompiledModelFirstThenPackageFile) {
  const fs::path compiled = folder / "TextDecoder.mlmodelc";
  const fs::path packaged =
      folder / "TextDecoder.mlpackage" / "Data" / "com.apple.CoreML" / "model.mlmodel";
  // Neither exists: the compiled candidate, for the caller to report.
  EXPECT_EQ(detectModelURL(folder, "TextDecoder"), compiled);
  // A package without its model file does not count.
  makePackage("TextDecoder", false);
  EXPECT_EQ(detectModelURL(folder, "TextDecoder"), compiled);
  makePackage("TextDecoder", true);
  EXPECT_EQ(detectModelURL(folder, "TextDecoder"), packaged);
  fs::create_directories(compiled);
  EXPECT_EQ(detectModelURL(folder, "TextDecoder"), compiled);
  // Names are looked up exactly.
  EXPECT_EQ(detectModelURL(folder, "AudioEncoder"), folder / "AudioEncoder.mlmodelc");
}

}  // namespace
