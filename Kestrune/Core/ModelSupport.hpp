#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

// The device catalogue: which models of the model repository each group of
// devices should use.
namespace kestrune {

// The models of one device group, by folder name in the model repository.
struct ModelSupport {
  std::string defaultModel;  // JSON "default"
  std::vector<std::string> supported;
  // The known models this group does not support; computed, never read.
  std::vector<std::string> disabled;

  bool operator==(const ModelSupport&) const = default;
};

// A group of devices: the identifiers are prefixes of hardware model
// identifiers ("Mac14" covers "Mac14,2").
struct DeviceSupport {
  std::optional<std::string> chips;  // readable, as in "M2, M3, M4"
  std::vector<std::string> identifiers;
  ModelSupport models;

  bool operator==(const DeviceSupport&) const = default;
};

struct ModelSupportConfig {
  std::string repoName;
  std::string repoVersion;
  std::vector<DeviceSupport> deviceSupports;
  // Computed: every supported name once, in order of first appearance.
  std::vector<std::string> knownModels;
  // Computed: for a device that no group names.
  DeviceSupport defaultSupport;

  ModelSupportConfig() : ModelSupportConfig("", "", {}, false) {}
  // With `includeFallback`, a catalogue of the built-in catalogue's family
  // (its name is part of the built-in one's) is merged with the built-in
  // groups.
  ModelSupportConfig(std::string repoName, std::string repoVersion,
                     std::vector<DeviceSupport> deviceSupports, bool includeFallback = true);

  // Fills every group's `disabled` list.
  void computeDisabledModels();
  // The group whose identifier is the longest prefix of `deviceIdentifier`,
  // else the default support.
  ModelSupport modelSupport(const std::string& deviceIdentifier) const;
};

// Remote groups first, each that shares an identifier with a fallback group
// also supporting that group's models; then the fallback groups no remote
// group covers.
std::vector<DeviceSupport> mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                              const std::vector<DeviceSupport>& fallback);

// The built-in catalogue.
const ModelSupportConfig& fallbackModelSupportConfig();
// The built-in catalogue's known models.
const std::vector<std::string>& knownModels();

// JSON: "repoName", "repoVersion", "deviceSupports"; "chips" (optional),
// "identifiers", "models"; "default", "supported". A required key missing
// throws nlohmann::json::exception. A config read this way includes the
// fallback as its constructor describes.
void to_json(nlohmann::json& json, const ModelSupport& support);
void from_json(const nlohmann::json& json, ModelSupport& support);
void to_json(nlohmann::json& json, const DeviceSupport& support);
void from_json(const nlohmann::json& json, DeviceSupport& support);
void to_json(nlohmann::json& json, const ModelSupportConfig& config);
void from_json(const nlohmann::json& json, ModelSupportConfig& config);

namespace ModelUtilities {

// The support of `deviceIdentifier` in `config`, else in the built-in
// catalogue.
ModelSupport modelSupport(const std::string& deviceIdentifier,
                          const std::optional<ModelSupportConfig>& config = std::nullopt);

// The model folder names among `names` (file paths of the repository or
// folder names) that end in a Whisper size or name a large model, each once,
// ordered by size (English-only models with their multilingual size, all
// large models together) and then by name.
std::vector<std::string> formatModelFiles(const std::vector<std::string>& names);

}  // namespace ModelUtilities

}  // namespace kestrune
