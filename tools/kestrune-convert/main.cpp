// kestrune-convert: turns a Whisper checkpoint folder into a model folder
// that the helper and the engine load.
#include <iostream>
#include <string>

#include "tools/kestrune-convert/WhisperConverter.hpp"

int main(int argc, char** argv) {
  constexpr const char* usage =
      "usage: kestrune-convert <checkpoint folder> <output folder> [--fp32] [--cache-length N]\n";
  if (argc < 3) {
    std::cerr << usage;
    return 2;
  }
  kestrune::tools::ConvertOptions options;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--fp32") {
      options.dtype = platform::ml::TensorDType::f32;
    } else if (option == "--fp16") {
      options.dtype = platform::ml::TensorDType::f16;
    } else if (option == "--cache-length" && i + 1 < argc) {
      try {
        options.cacheLength = std::stoll(argv[++i]);
      } catch (const std::exception&) {
        std::cerr << "--cache-length needs an integer\n";
        return 2;
      }
    } else {
      std::cerr << "unknown or incomplete option " << option << "\n" << usage;
      return 2;
    }
  }
  try {
    kestrune::tools::convertCheckpoint(argv[1], argv[2], options);
  } catch (const std::exception& error) {
    std::cerr << "kestrune-convert: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
