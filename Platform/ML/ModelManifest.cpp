#include "Platform/ML/ModelManifest.hpp"

#include <fstream>
#include <set>
#include <sstream>

#include "Platform/ML/PlatformMLError.hpp"

namespace platform::ml {

namespace {

using Json = nlohmann::json;

struct ManifestReader {
  std::string label;

  [[noreturn]] void fail(const std::string& problem) const {
    throw PlatformMLError(PlatformMLError::Code::modelLoadFailed, label + ": " + problem);
  }

  const Json& member(const Json& object, const char* key, const std::string& where) const {
    const auto found = object.find(key);
    if (found == object.end()) fail(where + "the field \"" + key + "\" is missing");
    return *found;
  }

  MLFeatureDescription feature(const Json& entry, const std::string& where) const {
    if (!entry.is_object()) fail(where + "is not an object");
    const Json& name = member(entry, "name", where);
    if (!name.is_string() || name.get<std::string>().empty()) {
      fail(where + "\"name\" is not a non-empty string");
    }
    const std::string named = where + "(\"" + name.get<std::string>() + "\") ";
    const Json& dataType = member(entry, "dataType", named);
    if (!dataType.is_string()) fail(named + "\"dataType\" is not a string");
    const auto type = dataTypeFromName(dataType.get<std::string>());
    if (!type) fail(named + "unknown dataType \"" + dataType.get<std::string>() + "\"");
    const Json& shape = member(entry, "shape", named);
    if (!shape.is_array() || shape.empty()) fail(named + "\"shape\" is not a non-empty list");
    MLMultiArrayConstraint constraint{{}, *type};
    for (const Json& dimension : shape) {
      if (!dimension.is_number_integer() || dimension.get<int64_t>() <= 0 ||
          dimension.get<int64_t>() > (int64_t{1} << 32)) {
        fail(named + "\"shape\" holds " + dimension.dump() + ", not a positive integer");
      }
      constraint.shape.push_back(dimension.get<int64_t>());
    }
    return {name.get<std::string>(), MLFeatureType::multiArray, std::move(constraint)};
  }

  std::vector<MLFeatureDescription> features(const Json& root, const char* key) const {
    const Json& list = member(root, key, "");
    if (!list.is_array()) fail(std::string("\"") + key + "\" is not a list");
    std::vector<MLFeatureDescription> result;
    std::set<std::string> names;
    for (size_t i = 0; i < list.size(); ++i) {
      result.push_back(feature(list[i], std::string(key) + "[" + std::to_string(i) + "] "));
      if (!names.insert(result.back().name).second) {
        fail(std::string(key) + " names \"" + result.back().name + "\" twice");
      }
    }
    return result;
  }
};

Json featureJson(const MLFeatureDescription& feature) {
  const auto& constraint = *feature.multiArrayConstraint;
  return {{"name", feature.name},
          {"dataType", dataTypeName(constraint.dataType)},
          {"shape", constraint.shape}};
}

}  // namespace

ModelManifest ModelManifest::read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw PlatformMLError(PlatformMLError::Code::modelLoadFailed,
                          file.string() + ": the file is missing or unreadable");
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str(), file.string());
}

ModelManifest ModelManifest::parse(std::string_view text, const std::string& fileLabel) {
  const ManifestReader reader{fileLabel};
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::exception& error) {
    reader.fail(std::string("not valid JSON: ") + error.what());
  }
  if (!root.is_object()) reader.fail("the top level is not an object");
  const Json& formatName = reader.member(root, "format", "");
  if (!formatName.is_string() || formatName.get<std::string>() != format) {
    reader.fail("unknown format " + formatName.dump() + " (expected \"kestrune-model\")");
  }
  const Json& version = reader.member(root, "formatVersion", "");
  if (!version.is_number_integer() || version.get<int64_t>() < 1) {
    reader.fail("\"formatVersion\" " + version.dump() + " is not a positive integer");
  }
  if (version.get<int64_t>() > formatVersion) {
    reader.fail("formatVersion " + version.dump() + " is newer than this runtime reads (" +
                std::to_string(formatVersion) + ")");
  }
  ModelManifest manifest;
  const Json& kind = reader.member(root, "kind", "");
  if (!kind.is_string() || kind.get<std::string>().empty()) {
    reader.fail("\"kind\" is not a non-empty string");
  }
  manifest.kind = kind.get<std::string>();
  manifest.inputs = reader.features(root, "inputs");
  manifest.outputs = reader.features(root, "outputs");
  const Json& parameters = reader.member(root, "parameters", "");
  if (!parameters.is_object()) reader.fail("\"parameters\" is not an object");
  manifest.parameters = parameters;
  return manifest;
}

std::string ModelManifest::serialized() const {
  Json root = {{"format", format}, {"formatVersion", formatVersion}, {"kind", kind}};
  root["inputs"] = Json::array();
  for (const auto& feature : inputs) root["inputs"].push_back(featureJson(feature));
  root["outputs"] = Json::array();
  for (const auto& feature : outputs) root["outputs"].push_back(featureJson(feature));
  root["parameters"] = parameters;
  return root.dump(2) + "\n";
}

const MLFeatureDescription* ModelManifest::findInput(std::string_view name) const {
  for (const auto& feature : inputs) {
    if (feature.name == name) return &feature;
  }
  return nullptr;
}

const MLFeatureDescription* ModelManifest::findOutput(std::string_view name) const {
  for (const auto& feature : outputs) {
    if (feature.name == name) return &feature;
  }
  return nullptr;
}

}  // namespace platform::ml
