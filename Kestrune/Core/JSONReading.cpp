#include "Kestrune/Core/JSONReading.hpp"

#include <cmath>
#include <limits>

namespace kestrune {

std::string_view JSONDecodingError::caseName(Case kind) {
  switch (kind) {
    case Case::keyNotFound: return "keyNotFound";
    case Case::valueNotFound: return "valueNotFound";
    case Case::typeMismatch: return "typeMismatch";
    case Case::dataCorrupted: return "dataCorrupted";
  }
  return "unknown";
}

JSONDecodingError::JSONDecodingError(Case kind, std::string path, std::string message)
    : TypedError(std::string(caseName(kind)),
                 {"path: " + orvane::debugQuoted(path), orvane::debugQuoted(message)}),
      kind_(kind),
      path_(std::move(path)),
      message_(std::move(message)) {}

namespace json {

namespace {

[[noreturn]] void mismatch(const nlohmann::json& value, const std::string& path,
                           std::string_view expected) {
  throw JSONDecodingError::typeMismatch(path, "Expected to decode " + std::string(expected) +
                                                  " but found " + value.type_name() + " instead.");
}

}  // namespace

std::string childPath(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string elementPath(const std::string& path, size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

nlohmann::json parse(std::string_view text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw JSONDecodingError::dataCorrupted(
        "", std::string("The given data was not valid JSON: ") + error.what());
  }
}

const nlohmann::json& requireObject(const nlohmann::json& json, const std::string& path) {
  if (!json.is_object()) mismatch(json, path, "Dictionary");
  return json;
}

const nlohmann::json& require(const nlohmann::json& object, std::string_view key,
                              const std::string& path) {
  const auto found = object.find(key);
  if (found == object.end()) throw JSONDecodingError::keyNotFound(path, std::string(key));
  if (found->is_null()) {
    throw JSONDecodingError::valueNotFound(childPath(path, key),
                                           "Expected a value but found null instead.");
  }
  return *found;
}

const nlohmann::json* optional(const nlohmann::json& object, std::string_view key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

bool asBool(const nlohmann::json& value, const std::string& path) {
  if (!value.is_boolean()) mismatch(value, path, "Bool");
  return value.get<bool>();
}

int64_t asInt(const nlohmann::json& value, const std::string& path) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      throw JSONDecodingError::dataCorrupted(path, "Parsed JSON number does not fit in Int.");
    }
    return value.get<int64_t>();
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // A whole number written with a fraction or exponent still reads as an Int.
    if (std::isfinite(number) && number == std::trunc(number) && number >= -0x1p63 &&
        number < 0x1p63) {
      return static_cast<int64_t>(number);
    }
    throw JSONDecodingError::dataCorrupted(path, "Parsed JSON number does not fit in Int.");
  }
  mismatch(value, path, "Int");
}

double asDouble(const nlohmann::json& value, const std::string& path) {
  if (!value.is_number()) mismatch(value, path, "Double");
  return value.get<double>();
}

float asFloat(const nlohmann::json& value, const std::string& path) {
  if (!value.is_number()) mismatch(value, path, "Float");
  const double number = value.get<double>();
  // Magnitudes from halfway above the largest float round to infinity.
  if (std::isfinite(number) && std::fabs(number) >= 0x1.ffffffp127) {
    throw JSONDecodingError::dataCorrupted(path, "Parsed JSON number does not fit in Float.");
  }
  return static_cast<float>(number);
}

std::string asString(const nlohmann::json& value, const std::string& path) {
  if (!value.is_string()) mismatch(value, path, "String");
  return value.get<std::string>();
}

std::vector<int64_t> asIntList(const nlohmann::json& value, const std::string& path) {
  return asList<int64_t>(value, path, asInt);
}

std::vector<float> asFloatList(const nlohmann::json& value, const std::string& path) {
  return asList<float>(value, path, asFloat);
}

}  // namespace json
}  // namespace kestrune
