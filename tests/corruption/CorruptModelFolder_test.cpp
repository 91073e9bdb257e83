// Damaged and mismatched model folders: every damage either stops the engine
// at load with an error, or leaves models that still run within their
// declared shapes. Never a crash, never a failure deferred to the first
// transcription for something the load could have seen.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "OrvaneCore/TypedError.hpp"
#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/PlatformMLError.hpp"
#include "ZandrelANEHelper/KestruneHelperEngine.hpp"
#include "tests/Support/TemporaryFolder.hpp"
#include "tests/fuzz/ModelProbe.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace {

namespace fs = std::filesystem;
using kestrune::tools::TestModelDimensions;

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TestModelDimensions smallDimensions() {
  TestModelDimensions dims;
  dims.width = 32;
  dims.encoderLayers = 1;
  dims.decoderLayers = 1;
  dims.heads = 4;
  dims.sourcePositions = 50;
  dims.tokenizerFolder = std::string(KESTRUNE_SHARED_DIR) + "/tokenizers/multilingual";
  return dims;
}

fs::path makeModels(const fs::path& root, const std::string& name, TestModelDimensions dims) {
  kestrune::tools::writeTestCheckpoint(root / (name + "-checkpoint"), dims);
  kestrune::tools::convertCheckpoint(root / (name + "-checkpoint"), root / name);
  return root / name;
}

// What the engine made of a folder: the load error's text, or none when it
// loaded.
std::optional<std::string> loadError(const fs::path& folder) {
  zandrel::HelperConfiguration configuration;
  configuration.modelFolder = folder.string();
  try {
    (void)zandrel::KestruneHelperEngine::build(configuration);
  } catch (...) {
    return orvane::errorText(std::current_exception());
  }
  return std::nullopt;
}

class CorruptModelFolder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testsupport::TemporaryFolder();
    pristine_ = makeModels(scratch_->path(), "pristine", smallDimensions());
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  // A working copy of the pristine folder, remade for each test.
  void SetUp() override {
    folder_ = scratch_->path() / "work";
    fs::remove_all(folder_);
    fs::copy(pristine_, folder_, fs::copy_options::recursive);
  }

  // Puts `bytes` in place of `file` (relative to the folder), checks what
  // the runtime makes of the damaged model, and puts the original back. The
  // engine loads each model through the same call, so a model refused here
  // is a load error of the engine too (EngineReportsDamageAtLoad checks
  // that on one damage per file).
  void expectLoadsOrRefuses(const std::string& file, const std::string& bytes,
                            const std::string& damage) {
    SCOPED_TRACE(file + ": " + damage);
    const fs::path target = folder_ / file;
    writeBytes(target, bytes);
    std::shared_ptr<platform::ml::MLModel> model;
    try {
      model = platform::ml::MLModel::load(target.parent_path());
    } catch (const platform::ml::PlatformMLError& error) {
      EXPECT_NE(std::string(error.what()).find(target.parent_path().string()), std::string::npos)
          << "the error names the model: " << error.what();
      ++refused_;
    }
    if (model) {
      // It loaded: the damaged model must still honour its description.
      fuzzsupport::ProbeOutcome outcome;
      EXPECT_TRUE(fuzzsupport::probeModel(*model, outcome));
      EXPECT_NE(outcome, fuzzsupport::ProbeOutcome::refused)
          << "a model that loads must run on inputs of its declared shapes";
      ++loaded_;
    }
    writeBytes(target, readBytes(pristine_ / file));
  }

  static inline testsupport::TemporaryFolder* scratch_ = nullptr;
  static inline fs::path pristine_;
  fs::path folder_;
  int refused_ = 0;
  int loaded_ = 0;
};

const std::vector<std::string> modelFiles = {
    "MelSpectrogram.mlmodelc/model.json", "MelSpectrogram.mlmodelc/weights.safetensors",
    "AudioEncoder.mlmodelc/model.json",   "AudioEncoder.mlmodelc/weights.safetensors",
    "TextDecoder.mlmodelc/model.json",    "TextDecoder.mlmodelc/weights.safetensors"};

// Cut points: every one of the first 64 bytes (the safetensors length
// prefix, the start of the header, the start of the JSON), then a sample
// spread over the rest.
std::vector<size_t> cutPoints(size_t size, std::mt19937& random) {
  std::vector<size_t> cuts;
  for (size_t i = 0; i < std::min<size_t>(size, 64); ++i) cuts.push_back(i);
  cuts.push_back(size - 1);
  std::uniform_int_distribution<size_t> anywhere(64, size > 65 ? size - 1 : 64);
  for (int i = 0; i < 24 && size > 65; ++i) cuts.push_back(anywhere(random));
  return cuts;
}

TEST_F(CorruptModelFolder, TruncatedFilesLoadOrAreRefused) {
  std::mt19937 random(7);
  for (const auto& file : modelFiles) {
    const std::string bytes = readBytes(pristine_ / file);
    for (const size_t cut : cutPoints(bytes.size(), random)) {
      expectLoadsOrRefuses(file, bytes.substr(0, cut), "cut at " + std::to_string(cut));
    }
  }
  EXPECT_GT(refused_, 0);
}

TEST_F(CorruptModelFolder, FlippedBitsLoadOrAreRefused) {
  std::mt19937 random(11);
  for (const auto& file : modelFiles) {
    const std::string bytes = readBytes(pristine_ / file);
    // Half of the flips land in the first 4 KiB, where the structure is.
    std::uniform_int_distribution<size_t> head(0, std::min<size_t>(bytes.size(), 4096) - 1);
    std::uniform_int_distribution<size_t> anywhere(0, bytes.size() - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    for (int i = 0; i < 32; ++i) {
      const size_t at = i % 2 == 0 ? head(random) : anywhere(random);
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit(random)));
      expectLoadsOrRefuses(file, damaged, "bit flip at " + std::to_string(at));
    }
  }
}

TEST_F(CorruptModelFolder, EngineReportsDamageAtLoad) {
  for (const auto& file : modelFiles) {
    SCOPED_TRACE(file);
    const std::string bytes = readBytes(pristine_ / file);
    writeBytes(folder_ / file, bytes.substr(0, bytes.size() / 2));
    const auto error = loadError(folder_);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->empty());
    writeBytes(folder_ / file, bytes);
  }
  EXPECT_EQ(loadError(folder_), std::nullopt) << "the pristine folder loads";
}

// Each model on its own is sound, but they were made for different models:
// the engine must see that when it loads them, not when it first predicts.
TEST_F(CorruptModelFolder, ModelsThatDisagreeAreRefusedAtLoad) {
  struct Case {
    std::string name;
    void (*change)(TestModelDimensions&);
    std::vector<std::string> replaced;  // models taken from the other folder
  };
  const std::vector<Case> cases = {
      {"wider encoder", [](TestModelDimensions& d) { d.width = 48; }, {"AudioEncoder"}},
      {"more mel bins", [](TestModelDimensions& d) { d.melBins = 128; }, {"MelSpectrogram"}},
      {"longer encoder window",
       [](TestModelDimensions& d) { d.sourcePositions = 100; },
       {"AudioEncoder"}},
      {"decoder for another vocabulary",
       [](TestModelDimensions& d) {
         d.tokenizerFolder.clear();
         d.vocabulary = 300;
       },
       {"TextDecoder"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestModelDimensions dims = smallDimensions();
    c.change(dims);
    const fs::path other = makeModels(scratch_->path(), "other", dims);
    for (const auto& model : c.replaced) {
      fs::remove_all(folder_ / (model + ".mlmodelc"));
      fs::copy(other / (model + ".mlmodelc"), folder_ / (model + ".mlmodelc"),
               fs::copy_options::recursive);
    }
    const auto error = loadError(folder_);
    EXPECT_TRUE(error.has_value()) << "loaded models that cannot work together";
    SetUp();
    fs::remove_all(other);
  }
}

}  // namespace
