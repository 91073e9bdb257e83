#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/Support/TemporaryFolder.hpp"
#include "Platform/ML/SafeTensors.hpp"

namespace platform::ml::testing {

using testsupport::TemporaryFolder;

inline void writeText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// model.json of an elementwise-affine model over `shape` (as JSON text),
// with input and output types as given.
inline std::string affineManifest(const std::string& shape = "[2, 3]",
                                  const std::string& inputType = "Float32",
                                  const std::string& outputType = "Float32") {
  return R"({"format": "kestrune-model", "formatVersion": 1, "kind": "elementwise-affine",
  "inputs": [{"name": "x", "dataType": ")" +
         inputType + R"(", "shape": )" + shape + R"(}],
  "outputs": [{"name": "y", "dataType": ")" +
         outputType + R"(", "shape": )" + shape + R"(}],
  "parameters": {}})";
}

// An elementwise-affine model folder: y = x * weight + bias along the last
// dimension of 3, with weight [1, 2, -1] and bias [0.5, 0, 10].
inline void writeAffineModel(const std::filesystem::path& folder,
                             const std::string& manifest = affineManifest()) {
  std::filesystem::create_directories(folder);
  writeText(folder / "model.json", manifest);
  writeSafeTensors(folder / "weights.safetensors",
                   {{"weight", TensorDType::f16, {3}, {1.0f, 2.0f, -1.0f}},
                    {"bias", TensorDType::f32, {3}, {0.5f, 0.0f, 10.0f}}});
}

}  // namespace platform::ml::testing
