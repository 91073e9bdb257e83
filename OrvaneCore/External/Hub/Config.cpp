#include "OrvaneCore/External/Hub/Config.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"
#include "OrvaneCore/TextForm.hpp"

namespace orvane {

namespace {

std::optional<double> numericValue(const Config& config) {
  if (const auto* integer = std::get_if<int64_t>(&config.value))
    return static_cast<double>(*integer);
  if (const auto* floating = std::get_if<float>(&config.value))
    return static_cast<double>(*floating);
  return std::nullopt;
}

bool sameKindEqual(const Config& a, const Config& b) {
  switch (a.kind()) {
    case Config::Kind::dictionary: {
      const Config::Dictionary& left = *a.dictionary();
      const Config::Dictionary& right = *b.dictionary();
      if (left.size() != right.size()) return false;
      for (const auto& [key, value] : left) {
        const auto found = right.find(key);
        if (found == right.end() || !(found->second == value)) return false;
      }
      return true;
    }
    case Config::Kind::array: return *a.array() == *b.array();
    default: return a.value == b.value;
  }
}

std::string quoted(const BinaryDistinctString& text) {
  return "\"" + text.string() + "\"";
}

}  // namespace

std::string uncamelCase(std::string_view key) {
  std::string out;
  out.reserve(key.size() + 4);
  bool previousExists = false;
  bool previousUppercase = false;
  for (const char32_t scalar : unicode::scalars(key)) {
    const bool uppercase = unicode::isUppercase(scalar);
    if (uppercase) {
      if (previousExists && !previousUppercase) out += '_';
      out += unicode::lowercased(unicode::utf8(scalar));
    } else {
      unicode::appendUTF8(out, scalar);
    }
    previousExists = true;
    previousUppercase = uppercase;
  }
  return out;
}

Config Config::dictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
  Dictionary dictionary;
  for (const auto& [key, value] : entries) dictionary.insert_or_assign(key, value);
  return Config(std::move(dictionary));
}

Config Config::array(std::initializer_list<Config> elements) {
  return Config(Array(elements));
}

const Config* Config::find(const BinaryDistinctString& key) const {
  const Dictionary* entries = dictionary();
  if (!entries) return nullptr;
  if (const auto found = entries->find(key); found != entries->end()) return &found->second;
  const BinaryDistinctString snake(uncamelCase(key.string()));
  if (snake == key) return nullptr;
  if (const auto found = entries->find(snake); found != entries->end()) return &found->second;
  return nullptr;
}

Config Config::operator[](const BinaryDistinctString& key) const {
  const Config* found = find(key);
  return found ? *found : Config();
}

std::optional<Config> Config::member(const BinaryDistinctString& key) const {
  const Config* found = find(key);
  if (!found) return std::nullopt;
  return *found;
}

std::optional<std::string> Config::string() const {
  if (const auto* text = binaryDistinctString()) return text->string();
  return std::nullopt;
}

const BinaryDistinctString* Config::binaryDistinctString() const {
  return std::get_if<BinaryDistinctString>(&value);
}

std::optional<int64_t> Config::integer() const {
  if (const auto* number = std::get_if<int64_t>(&value)) return *number;
  return std::nullopt;
}

std::optional<float> Config::floating() const {
  if (const auto* number = std::get_if<float>(&value)) return *number;
  return std::nullopt;
}

std::optional<bool> Config::boolean() const {
  if (const auto* number = std::get_if<int64_t>(&value)) return *number == 1;
  if (const auto* flag = std::get_if<bool>(&value)) return *flag;
  if (const auto* text = std::get_if<BinaryDistinctString>(&value)) {
    const std::string lowered = unicode::lowercased(text->string());
    if (lowered == "true" || lowered == "t" || lowered == "1") return true;
    if (lowered == "false" || lowered == "f" || lowered == "0") return false;
  }
  return std::nullopt;
}

const Config::Dictionary* Config::dictionary() const {
  if (const auto* entries = std::get_if<std::shared_ptr<const Dictionary>>(&value)) {
    return entries->get();
  }
  return nullptr;
}

const Config::Array* Config::array() const {
  if (const auto* elements = std::get_if<std::shared_ptr<const Array>>(&value)) {
    return elements->get();
  }
  return nullptr;
}

std::optional<std::pair<uint64_t, BinaryDistinctString>> Config::token() const {
  if (const auto* token = std::get_if<Token>(&value)) return std::pair(token->id, token->text);
  const Array* elements = array();
  if (!elements || elements->size() != 2) return std::nullopt;
  const BinaryDistinctString* text = (*elements)[0].binaryDistinctString();
  const std::optional<int64_t> id = (*elements)[1].integer();
  if (!text || !id || *id < 0) return std::nullopt;
  return std::pair(static_cast<uint64_t>(*id), *text);
}

std::optional<std::vector<std::string>> Config::get() const {
  const Array* elements = array();
  if (!elements) return std::nullopt;
  std::vector<std::string> texts;
  for (const Config& element : *elements) {
    if (auto text = element.string()) texts.push_back(std::move(*text));
  }
  return texts;
}

std::string Config::description() const {
  switch (kind()) {
    case Kind::string: return quoted(*binaryDistinctString());
    case Kind::integer: return std::to_string(*integer());
    case Kind::boolean: return std::get<bool>(value) ? "true" : "false";
    case Kind::floating: return textForm(*floating());
    case Kind::dictionary: {
      std::string out = "{";
      bool first = true;
      for (const auto& [key, element] : *dictionary()) {
        if (!first) out += ", ";
        first = false;
        out += quoted(key) + ": " + element.description();
      }
      return out + "}";
    }
    case Kind::array: {
      std::string out = "[";
      bool first = true;
      for (const Config& element : *array()) {
        if (!first) out += ", ";
        first = false;
        out += element.description();
      }
      return out + "]";
    }
    case Kind::token: {
      const Token& token = std::get<Token>(value);
      return "(" + std::to_string(token.id) + ", " + token.text.string() + ")";
    }
    case Kind::null: return "null";
  }
  return "null";
}

bool Config::operator==(const Config& other) const {
  if (kind() == other.kind()) return sameKindEqual(*this, other);
  if (kind() == Kind::boolean || other.kind() == Kind::boolean) {
    const std::optional<bool> left = boolean();
    const std::optional<bool> right = other.boolean();
    return left && right && *left == *right;
  }
  const std::optional<double> left = numericValue(*this);
  const std::optional<double> right = numericValue(other);
  return left && right && *left == *right;
}

nlohmann::json Config::toJSON() const {
  switch (kind()) {
    case Kind::string: return binaryDistinctString()->string();
    case Kind::integer: return *integer();
    case Kind::boolean: return std::get<bool>(value);
    case Kind::floating: return *floating();
    case Kind::dictionary: {
      nlohmann::json object = nlohmann::json::object();
      for (const auto& [key, element] : *dictionary()) object[key.string()] = element.toJSON();
      return object;
    }
    case Kind::array: {
      nlohmann::json elements = nlohmann::json::array();
      for (const Config& element : *array()) elements.push_back(element.toJSON());
      return elements;
    }
    case Kind::token: {
      const Token& token = std::get<Token>(value);
      return nlohmann::json::array({token.id, token.text.string()});
    }
    case Kind::null: return nullptr;
  }
  return nullptr;
}

Config Config::fromJSON(const nlohmann::json& json) {
  if (json.is_null()) return Config();
  if (json.is_number_integer()) {
    if (json.is_number_unsigned() &&
        json.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return Config(json.get<double>());
    }
    return Config(json.get<int64_t>());
  }
  if (json.is_number_float()) return Config(json.get<double>());
  if (json.is_boolean()) return Config(json.get<bool>());
  if (json.is_string()) return Config(json.get_ref<const std::string&>());
  if (json.is_array()) {
    if (json.size() == 2 && json[0].is_number_unsigned() && json[1].is_string()) {
      return Config(json[0].get<uint64_t>(),
                    BinaryDistinctString(json[1].get_ref<const std::string&>()));
    }
    Array elements;
    elements.reserve(json.size());
    for (const auto& element : json) elements.push_back(fromJSON(element));
    return Config(std::move(elements));
  }
  if (json.is_object()) {
    Dictionary entries;
    for (const auto& [key, element] : json.items()) entries.emplace(key, fromJSON(element));
    return Config(std::move(entries));
  }
  return Config();
}

Config Config::convertToBinaryDistinctKeys(const nlohmann::json& json) {
  if (json.is_object()) {
    Dictionary entries;
    entries.reserve(json.size());
    for (const auto& [key, element] : json.items()) {
      entries.insert_or_assign(BinaryDistinctString(key), convertToBinaryDistinctKeys(element));
    }
    return Config(std::move(entries));
  }
  if (json.is_array()) {
    Array elements;
    elements.reserve(json.size());
    for (const auto& element : json) elements.push_back(convertToBinaryDistinctKeys(element));
    return Config(std::move(elements));
  }
  if (json.is_string()) return Config(json.get_ref<const std::string&>());
  if (json.is_number_integer()) {
    if (json.is_number_unsigned() &&
        json.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return Config(json.get<double>());
    }
    return Config(json.get<int64_t>());
  }
  if (json.is_number_float()) {
    const double number = json.get<double>();
    if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18) {
      return Config(static_cast<int64_t>(number));
    }
    return Config(number);
  }
  if (json.is_boolean()) return Config(json.get<bool>());
  return Config();
}

void to_json(nlohmann::json& json, const Config& config) {
  json = config.toJSON();
}
void from_json(const nlohmann::json& json, Config& config) {
  config = Config::fromJSON(json);
}

}  // namespace orvane
