#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/JSONDecodingError.hpp"

namespace kestrune::json {

// Reading helpers shared by the engine's JSON forms. Each throws
// JSONDecodingError naming the coding path of the value it rejects.

std::string childPath(const std::string& path, std::string_view key);
std::string elementPath(const std::string& path, size_t index);

// Parses a whole document; a syntax error is dataCorrupted.
nlohmann::json parse(std::string_view text);

const nlohmann::json& requireObject(const nlohmann::json& json, const std::string& path);
// The value under `key`; a missing key is keyNotFound, null is valueNotFound.
const nlohmann::json& require(const nlohmann::json& object, std::string_view key,
                              const std::string& path);
// The value under `key`, or null when the key is missing or its value is null.
const nlohmann::json* optional(const nlohmann::json& object, std::string_view key);

bool asBool(const nlohmann::json& value, const std::string& path);
int64_t asInt(const nlohmann::json& value, const std::string& path);
float asFloat(const nlohmann::json& value, const std::string& path);
double asDouble(const nlohmann::json& value, const std::string& path);
std::string asString(const nlohmann::json& value, const std::string& path);
std::vector<int64_t> asIntList(const nlohmann::json& value, const std::string& path);
std::vector<float> asFloatList(const nlohmann::json& value, const std::string& path);

template <typename Element, typename Read>
std::vector<Element> asList(const nlohmann::json& value, const std::string& path, Read&& read) {
  if (!value.is_array()) {
    throw JSONDecodingError::typeMismatch(
        path, "Expected to decode Array but found " + std::string(value.type_name()) + " instead.");
  }
  std::vector<Element> elements;
  elements.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i)
    elements.push_back(read(value[i], elementPath(path, i)));
  return elements;
}

}  // namespace kestrune::json
