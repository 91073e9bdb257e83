#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/SafeTensors.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune::tools {
namespace {

using platform::ml::SafeTensors;
using platform::ml::TensorDType;
using platform::ml::testing::TemporaryFolder;

TestModelDimensions smallDimensions() {
  TestModelDimensions dims;
  dims.width = 16, dims.heads = 2, dims.encoderLayers = 1, dims.decoderLayers = 2;
  dims.vocabulary = 50, dims.sourcePositions = 10, dims.targetPositions = 448;
  return dims;
}

TEST(ConverterTest, RoundTripsAGeneratedCheckpoint) {
  for (const auto dtype : {TensorDType::f32, TensorDType::f16}) {
    SCOPED_TRACE(platform::ml::tensorDTypeName(dtype));
    TemporaryFolder folder;
    TestModelDimensions dims = smallDimensions();
    dims.tokenizerFolder = std::string(KESTRUNE_SHARED_DIR) + "/tokenizers/english";
    writeTestCheckpoint(folder.path() / "checkpoint", dims);
    ConvertOptions options;
    options.dtype = dtype;
    convertCheckpoint(folder.path() / "checkpoint", folder.path() / "out", options);
    const auto source = SafeTensors::open(folder.path() / "checkpoint" / "model.safetensors");
    const auto decoder =
        SafeTensors::open(folder.path() / "out" / "TextDecoder.mlmodelc" / "weights.safetensors");
    const auto encoder =
        SafeTensors::open(folder.path() / "out" / "AudioEncoder.mlmodelc" / "weights.safetensors");
    size_t compared = 0;
    for (const auto& [name, info] : source->tensors()) {
      const std::string stripped = name.substr(6);  // "model."
      const SafeTensors& target = stripped.rfind("encoder.", 0) == 0 ? *encoder : *decoder;
      ASSERT_NE(target.find(stripped), nullptr) << stripped;
      EXPECT_EQ(target.tensor(stripped).dtype, dtype);
      const auto original = source->floats(name), converted = target.floats(stripped);
      for (size_t i = 0; i < original.size(); ++i) {
        ASSERT_NEAR(converted[i], original[i],
                    dtype == TensorDType::f32 ? 0.0f : 1e-3f * (1 + std::fabs(original[i])));
      }
      ++compared;
    }
    EXPECT_EQ(compared, source->tensors().size());
    // The vocabulary follows the tokenizer, and the tokenizer files travel along.
    EXPECT_EQ(decoder->tensor("decoder.embed_tokens.weight").shape[0], 51864);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "out" / "tokenizer.json"));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "out" / "tokenizer_config.json"));
    for (const char* model : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
      EXPECT_NO_THROW(
          platform::ml::MLModel::load(folder.path() / "out" / (std::string(model) + ".mlmodelc")));
    }
  }
}

TEST(ConverterTest, DefaultsAlignmentHeadsToTheUpperHalf) {
  TemporaryFolder folder;
  TestModelDimensions dims = smallDimensions();
  dims.decoderLayers = 4;
  dims.writeAlignmentHeads = false;
  writeTestCheckpoint(folder.path() / "checkpoint", dims);
  convertCheckpoint(folder.path() / "checkpoint", folder.path() / "out");
  std::ifstream in(folder.path() / "out" / "TextDecoder.mlmodelc" / "model.json");
  const auto manifest = nlohmann::json::parse(in);
  EXPECT_EQ(manifest["parameters"]["alignment_heads"],
            nlohmann::json::parse("[[2, 0], [2, 1], [3, 0], [3, 1]]"));
}

TEST(ConverterTest, RefusesMalformedCheckpoints) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> breakCheckpoint;
    const char* expectedProblem;
  };
  const auto editConfig = [](const char* key, nlohmann::json value) {
    return [=](const std::filesystem::path& folder) {
      std::ifstream in(folder / "config.json");
      auto config = nlohmann::json::parse(in);
      in.close();
      if (value.is_null())
        config.erase(key);
      else
        config[key] = value;
      std::ofstream(folder / "config.json") << config.dump();
    };
  };
  const std::vector<Case> cases{
      {"no config", [](const auto& f) { std::filesystem::remove(f / "config.json"); },
       "config.json: the file is missing"},
      {"no d_model", editConfig("d_model", nullptr), "\"d_model\" is missing"},
      {"odd heads", editConfig("decoder_attention_heads", 3), "does not split"},
      {"ffn", editConfig("encoder_ffn_dim", 10), "must be 4 x d_model"},
      {"vocabulary larger than stored", editConfig("vocab_size", 60), "has the shape"},
      {"no weights", [](const auto& f) { std::filesystem::remove(f / "model.safetensors"); },
       "no model.safetensors"},
      {"truncated weights",
       [](const auto& f) { std::filesystem::resize_file(f / "model.safetensors", 100); },
       "model.safetensors"},
      {"missing tensor",
       [](const auto& f) {
         const auto source = SafeTensors::open(f / "model.safetensors");
         std::vector<platform::ml::TensorToWrite> kept;
         for (const auto& [name, info] : source->tensors()) {
           if (name != "model.decoder.layer_norm.bias")
             kept.push_back({name, TensorDType::f32, info.shape, source->floats(name)});
         }
         platform::ml::writeSafeTensors(f / "model.safetensors", kept);
       },
       "lacks the tensor \"model.decoder.layer_norm.bias\""},
      {"bad alignment heads",
       [](const auto& f) {
         std::ofstream(f / "generation_config.json") << R"({"alignment_heads": [[9, 0]]})";
       },
       "bad \"alignment_heads\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryFolder folder;
    writeTestCheckpoint(folder.path() / "checkpoint", smallDimensions());
    c.breakCheckpoint(folder.path() / "checkpoint");
    try {
      convertCheckpoint(folder.path() / "checkpoint", folder.path() / "out");
      ADD_FAILURE() << "converted";
    } catch (const ConversionError& error) {
      EXPECT_NE(std::string(error.what()).find(c.expectedProblem), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
}  // namespace kestrune::tools
