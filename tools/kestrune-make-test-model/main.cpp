// kestrune-make-test-model: writes a seeded Whisper checkpoint of chosen size.
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace {

constexpr const char* usage =
    "usage: kestrune-make-test-model <output folder> [--preset unit|tiny|base]\n"
    "         [--width N] [--encoder-layers N] [--decoder-layers N] [--heads N] [--mels N]\n"
    "         [--vocab N] [--source-positions N] [--target-positions N] [--seed N]\n"
    "         [--fp16] [--tokenizer <folder with tokenizer.json>]\n";

int64_t number(const std::string& option, const char* text) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0) {
    throw std::runtime_error(option + " needs a positive integer, not \"" + text + "\"");
  }
  return value;
}

void applyPreset(kestrune::tools::TestModelDimensions& dims, const std::string& name) {
  if (name == "unit") {
    dims.width = 32, dims.encoderLayers = 2, dims.decoderLayers = 2, dims.heads = 4;
    dims.vocabulary = 300, dims.sourcePositions = 50, dims.targetPositions = 448;
  } else if (name == "tiny") {
    dims.width = 384, dims.encoderLayers = 4, dims.decoderLayers = 4, dims.heads = 6;
  } else if (name == "base") {
    dims.width = 512, dims.encoderLayers = 6, dims.decoderLayers = 6, dims.heads = 8;
  } else {
    throw std::runtime_error("unknown preset \"" + name + "\"");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << usage;
    return 2;
  }
  const std::string folder = argv[1];
  if (folder == "--help" || folder == "-h") {
    std::cout << usage;
    return 0;
  }
  // An option in the folder's place is a mistake, not a folder to create.
  if (folder.starts_with("-")) {
    std::cerr << "the output folder comes first, not " << folder << "\n" << usage;
    return 2;
  }
  try {
    kestrune::tools::TestModelDimensions dims;
    const std::map<std::string, int64_t*> numbers{{"--width", &dims.width},
                                                  {"--encoder-layers", &dims.encoderLayers},
                                                  {"--decoder-layers", &dims.decoderLayers},
                                                  {"--heads", &dims.heads},
                                                  {"--mels", &dims.melBins},
                                                  {"--vocab", &dims.vocabulary},
                                                  {"--source-positions", &dims.sourcePositions},
                                                  {"--target-positions", &dims.targetPositions}};
    for (int i = 2; i < argc; ++i) {
      const std::string option = argv[i];
      const bool hasValue = i + 1 < argc;
      if (option == "--fp16") {
        dims.dtype = platform::ml::TensorDType::f16;
      } else if (option == "--preset" && hasValue) {
        applyPreset(dims, argv[++i]);
      } else if (option == "--seed" && hasValue) {
        dims.seed = static_cast<uint64_t>(number(option, argv[++i]));
      } else if (option == "--tokenizer" && hasValue) {
        dims.tokenizerFolder = argv[++i];
      } else if (numbers.count(option) && hasValue) {
        *numbers.at(option) = number(option, argv[++i]);
      } else {
        std::cerr << "unknown or incomplete option " << option << "\n" << usage;
        return 2;
      }
    }
    kestrune::tools::writeTestCheckpoint(folder, dims);
  } catch (const std::exception& error) {
    std::cerr << "kestrune-make-test-model: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
