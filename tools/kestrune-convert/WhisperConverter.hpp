#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "Platform/ML/SafeTensors.hpp"

namespace kestrune::tools {

class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ConvertOptions {
  platform::ml::TensorDType dtype = platform::ml::TensorDType::f16;
  int64_t cacheLength = 224;  // decoder key/value cache positions
};

// Converts a Whisper checkpoint folder (config.json, model.safetensors or a
// sharded model.safetensors.index.json, optional generation_config.json and
// tokenizer files) into `output`: MelSpectrogram.mlmodelc,
// AudioEncoder.mlmodelc, TextDecoder.mlmodelc and the tokenizer files.
// Throws ConversionError naming the file and the fault.
void convertCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& output,
                       const ConvertOptions& options = {});

}  // namespace kestrune::tools
