#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ML/MLModelDescription.hpp"

namespace platform::ml {

// The model.json of a compiled model folder:
// {"format": "kestrune-model", "formatVersion": 1, "kind": "...",
//  "inputs": [{"name", "dataType", "shape"}...], "outputs": [...], "parameters": {...}}
struct ModelManifest {
  static constexpr std::string_view format = "kestrune-model";
  static constexpr int64_t formatVersion = 1;
  static constexpr std::string_view fileName = "model.json";
  static constexpr std::string_view weightsFileName = "weights.safetensors";

  std::string kind;
  std::vector<MLFeatureDescription> inputs;
  std::vector<MLFeatureDescription> outputs;
  nlohmann::json parameters = nlohmann::json::object();

  // Reads and checks the structure; throws PlatformMLError (modelLoadFailed)
  // naming the file and the field.
  static ModelManifest read(const std::filesystem::path& file);
  static ModelManifest parse(std::string_view text, const std::string& fileLabel);
  // The JSON text of this manifest, as read() accepts it.
  std::string serialized() const;

  const MLFeatureDescription* findInput(std::string_view name) const;
  const MLFeatureDescription* findOutput(std::string_view name) const;
};

}  // namespace platform::ml
