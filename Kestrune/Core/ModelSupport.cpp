#include "Kestrune/Core/ModelSupport.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "Kestrune/Core/ModelVariant.hpp"
#include "OrvaneCore/Logging.hpp"

namespace kestrune {

using orvane::Logging;

namespace {

void appendDistinct(std::vector<std::string>& into, const std::vector<std::string>& names) {
  for (const auto& name : names)
    if (std::find(into.begin(), into.end(), name) == into.end()) into.push_back(name);
}

bool sharesIdentifier(const DeviceSupport& first, const DeviceSupport& second) {
  return std::any_of(first.identifiers.begin(), first.identifiers.end(), [&](const auto& id) {
    return std::find(second.identifiers.begin(), second.identifiers.end(), id) !=
           second.identifiers.end();
  });
}

// ["a", "b"]
std::string listNotation(const std::vector<std::string>& items) {
  std::string text = "[";
  for (size_t index = 0; index < items.size(); ++index) {
    if (index > 0) text += ", ";
    text += "\"" + items[index] + "\"";
  }
  return text + "]";
}

std::vector<std::string> whisper(std::initializer_list<const char*> sizes) {
  std::vector<std::string> names;
  for (const char* size : sizes) names.push_back(std::string("openai_whisper-") + size);
  return names;
}

// The built-in groups. Older and smaller chips get the tiny, base and small
// models; the newest phones add the distilled large model, and the M-series
// Macs and iPads get every large model.
std::vector<DeviceSupport> builtInGroups() {
  const auto phoneSizes = whisper({"tiny", "tiny.en", "base", "base.en", "small", "small.en"});
  auto newPhoneSizes = phoneSizes;
  newPhoneSizes.push_back("openai_whisper-large-v3_turbo");
  auto desktopSizes = phoneSizes;
  appendDistinct(desktopSizes, whisper({"large-v2", "large-v3", "large-v3_turbo"}));
  return {
      {"A12, A13, S9, S10",
       {"iPhone11", "iPhone12", "iPad12,1", "iPad12,2", "Watch7", "Watch8"},
       {"openai_whisper-base", whisper({"tiny", "tiny.en", "base", "base.en"}), {}}},
      {"A16, A17 Pro, A18",
       {"iPhone15", "iPhone16", "iPhone17", "iPad15,7", "iPad15,8", "iPad16,1", "iPad16,2"},
       {"openai_whisper-small", newPhoneSizes, {}}},
      {"M1",
       {"MacBookPro17,1", "MacBookPro18,1", "MacBookPro18,2", "MacBookPro18,3", "MacBookPro18,4",
        "MacBookAir10,1", "Macmini9,1",     "iMac21,1",       "iMac21,2",       "Mac13",
        "iPad13,4",       "iPad13,5",       "iPad13,6",       "iPad13,7",       "iPad13,8",
        "iPad13,9",       "iPad13,10",      "iPad13,11",      "iPad13,16",      "iPad13,17"},
       {"openai_whisper-large-v3_turbo", desktopSizes, {}}},
      {"M2, M3, M4",
       {"Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6", "iPad14,8",
        "iPad14,9", "iPad14,10", "iPad14,11", "iPad15", "iPad16"},
       {"openai_whisper-large-v3", desktopSizes, {}}},
      {"A14",
       {"iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"},
       {"openai_whisper-base", phoneSizes, {}}},
      {"A15", {"iPhone14", "iPad14,1", "iPad14,2"}, {"openai_whisper-small", phoneSizes, {}}},
  };
}

}  // namespace

ModelSupportConfig::ModelSupportConfig(std::string name, std::string version,
                                       std::vector<DeviceSupport> groups, bool includeFallback)
    : repoName(std::move(name)), repoVersion(std::move(version)) {
  const ModelSupportConfig* fallback = includeFallback ? &fallbackModelSupportConfig() : nullptr;
  if (fallback && fallback->repoName.find(repoName) != std::string::npos)
    deviceSupports = mergeDeviceSupport(groups, fallback->deviceSupports);
  else
    deviceSupports = std::move(groups);
  for (const auto& group : deviceSupports) appendDistinct(knownModels, group.models.supported);
  defaultSupport = DeviceSupport{std::nullopt, {}, {"openai_whisper-base", knownModels, {}}};
  computeDisabledModels();
}

void ModelSupportConfig::computeDisabledModels() {
  for (auto& group : deviceSupports) {
    const auto& supported = group.models.supported;
    group.models.disabled.clear();
    for (const auto& model : knownModels)
      if (std::find(supported.begin(), supported.end(), model) == supported.end())
        group.models.disabled.push_back(model);
  }
}

ModelSupport ModelSupportConfig::modelSupport(const std::string& deviceIdentifier) const {
  const DeviceSupport* best = nullptr;
  size_t bestLength = 0;
  for (const auto& group : deviceSupports)
    for (const auto& identifier : group.identifiers)
      if (deviceIdentifier.starts_with(identifier) && (!best || identifier.size() > bestLength)) {
        best = &group;
        bestLength = identifier.size();
      }
  if (best) {
    Logging::debug("Matched " + deviceIdentifier +
                   " to devices: " + listNotation(best->identifiers));
    return best->models;
  }
  Logging::info("No device support found for " + deviceIdentifier + ", using default");
  return defaultSupport.models;
}

std::vector<DeviceSupport> mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                              const std::vector<DeviceSupport>& fallback) {
  std::vector<DeviceSupport> merged;
  for (const auto& group : remote) {
    const auto match = std::find_if(fallback.begin(), fallback.end(), [&](const auto& candidate) {
      return sharesIdentifier(group, candidate);
    });
    DeviceSupport result = group;
    if (match != fallback.end()) {
      result.models.supported.clear();
      appendDistinct(result.models.supported, group.models.supported);
      appendDistinct(result.models.supported, match->models.supported);
      result.models.disabled.clear();
    }
    merged.push_back(std::move(result));
  }
  for (const auto& group : fallback) {
    const bool covered = std::any_of(remote.begin(), remote.end(), [&](const auto& candidate) {
      return sharesIdentifier(group, candidate);
    });
    if (!covered) merged.push_back(group);
  }
  return merged;
}

const ModelSupportConfig& fallbackModelSupportConfig() {
  static const ModelSupportConfig config("kestrune-coreml-fallback", "0.4", builtInGroups(), false);
  return config;
}

const std::vector<std::string>& knownModels() {
  return fallbackModelSupportConfig().knownModels;
}

void to_json(nlohmann::json& json, const ModelSupport& support) {
  json = {{"default", support.defaultModel}, {"supported", support.supported}};
}

void from_json(const nlohmann::json& json, ModelSupport& support) {
  support.defaultModel = json.at("default").get<std::string>();
  support.supported = json.at("supported").get<std::vector<std::string>>();
  support.disabled.clear();
}

void to_json(nlohmann::json& json, const DeviceSupport& support) {
  json = nlohmann::json::object();
  if (support.chips) json["chips"] = *support.chips;
  json["identifiers"] = support.identifiers;
  json["models"] = support.models;
}

void from_json(const nlohmann::json& json, DeviceSupport& support) {
  const auto chips = json.find("chips");
  support.chips = chips == json.end() || chips->is_null()
                      ? std::nullopt
                      : std::optional<std::string>(chips->get<std::string>());
  support.identifiers = json.at("identifiers").get<std::vector<std::string>>();
  support.models = json.at("models").get<ModelSupport>();
}

void to_json(nlohmann::json& json, const ModelSupportConfig& config) {
  json = {{"repoName", config.repoName},
          {"repoVersion", config.repoVersion},
          {"deviceSupports", config.deviceSupports}};
}

void from_json(const nlohmann::json& json, ModelSupportConfig& config) {
  config = ModelSupportConfig(json.at("repoName").get<std::string>(),
                              json.at("repoVersion").get<std::string>(),
                              json.at("deviceSupports").get<std::vector<DeviceSupport>>(), true);
}

namespace ModelUtilities {

ModelSupport modelSupport(const std::string& deviceIdentifier,
                          const std::optional<ModelSupportConfig>& config) {
  return (config ? *config : fallbackModelSupportConfig()).modelSupport(deviceIdentifier);
}

std::vector<std::string> formatModelFiles(const std::vector<std::string>& names) {
  // Small sizes must end the folder name; every large name counts.
  std::vector<std::string> markers;
  for (const ModelVariant variant : model_variant::allCases) {
    std::string marker(model_variant::description(variant));
    if (marker.find("large") == std::string::npos) marker += "/";
    markers.push_back(std::move(marker));
  }
  std::vector<std::string> folders;
  std::unordered_set<std::string> seen;
  for (const auto& name : names) {
    const std::string folder = name.substr(0, name.find('/')) + "/";
    const bool sized = std::any_of(markers.begin(), markers.end(), [&](const auto& marker) {
      return folder.find(marker) != std::string::npos;
    });
    if (sized && seen.insert(folder).second) folders.push_back(folder.substr(0, folder.size() - 1));
  }
  const auto group = [](const std::string& name) {
    size_t index = 0;
    for (const ModelVariant variant : model_variant::allCases) {
      if (name.find(model_variant::description(variant)) != std::string::npos) return index;
      ++index;
    }
    return index;
  };
  std::stable_sort(folders.begin(), folders.end(), [&](const auto& left, const auto& right) {
    const size_t leftGroup = group(left), rightGroup = group(right);
    return leftGroup != rightGroup ? leftGroup < rightGroup : left < right;
  });
  return folders;
}

}  // namespace ModelUtilities

}  // namespace kestrune
