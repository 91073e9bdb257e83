#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "Platform/ML/SafeTensors.hpp"

namespace kestrune::tools {

// The dimensions of a generated Whisper checkpoint.
struct TestModelDimensions {
  int64_t width = 64;  // d_model
  int64_t encoderLayers = 2;
  int64_t decoderLayers = 2;
  int64_t heads = 4;
  int64_t melBins = 80;
  int64_t vocabulary = 51865;
  int64_t sourcePositions = 1500;  // encoder frames (audio window / 320 samples)
  int64_t targetPositions = 448;
  uint64_t seed = 1;
  platform::ml::TensorDType dtype = platform::ml::TensorDType::f32;
  // A folder with tokenizer.json, tokenizer_config.json and config.json to
  // copy, or empty for none; its vocabulary size then sets `vocabulary`.
  std::filesystem::path tokenizerFolder;
  bool writeAlignmentHeads = true;
};

// Writes config.json, generation_config.json (with alignment heads),
// model.safetensors and the tokenizer files into `folder`, in the layout of
// the common Whisper checkpoints. Weights are drawn from a seeded generator,
// scaled so that activations stay near unit size through every layer.
// Throws std::runtime_error on bad dimensions or a write failure.
void writeTestCheckpoint(const std::filesystem::path& folder, TestModelDimensions dims);

}  // namespace kestrune::tools
