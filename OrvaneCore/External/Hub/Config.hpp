#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "OrvaneCore/External/Hub/BinaryDistinct.hpp"

namespace orvane {

// The immutable tree of one JSON configuration file. Keys are exact
// (BinaryDistinctString); member lookup also finds snake_case keys under their
// camelCase spelling, so `config["addedTokens"]` finds "added_tokens".
// Dictionaries and arrays are shared between copies, so copying out a
// subtree is cheap.
class Config {
 public:
  using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
  using Array = std::vector<Config>;
  struct Token {
    uint64_t id = 0;
    BinaryDistinctString text;
    bool operator==(const Token&) const = default;
  };
  struct Null {
    bool operator==(const Null&) const = default;
  };
  enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };
  using Data =
      std::variant<BinaryDistinctString, int64_t, bool, float, std::shared_ptr<const Dictionary>,
                   std::shared_ptr<const Array>, Token, Null>;

  Config() : value(Null{}) {}
  Config(const char* text) : value(BinaryDistinctString(text)) {}
  Config(std::string_view text) : value(BinaryDistinctString(text)) {}
  Config(const std::string& text) : value(BinaryDistinctString(text)) {}
  Config(BinaryDistinctString text) : value(std::move(text)) {}
  Config(int64_t number) : value(number) {}
  Config(int number) : value(static_cast<int64_t>(number)) {}
  Config(bool flag) : value(flag) {}
  Config(float number) : value(number) {}
  Config(double number) : value(static_cast<float>(number)) {}
  Config(Dictionary dictionary)
      : value(std::make_shared<const Dictionary>(std::move(dictionary))) {}
  Config(Array array) : value(std::make_shared<const Array>(std::move(array))) {}
  Config(Token token) : value(std::move(token)) {}
  Config(uint64_t id, BinaryDistinctString text) : value(Token{id, std::move(text)}) {}

  // A dictionary literal; a repeated key keeps its last value.
  static Config dictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);
  static Config array(std::initializer_list<Config> elements);

  Data value;

  Kind kind() const noexcept { return static_cast<Kind>(value.index()); }
  bool isNull() const noexcept { return kind() == Kind::null; }

  // The value at `key` (exact, then in snake_case); null when this is no
  // dictionary or neither spelling is present.
  Config operator[](const BinaryDistinctString& key) const;
  // The same lookup, giving no value instead of null.
  std::optional<Config> member(const BinaryDistinctString& key) const;
  // The stored node itself, or nullptr; valid while this Config lives.
  const Config* find(const BinaryDistinctString& key) const;

  std::optional<std::string> string() const;
  const BinaryDistinctString* binaryDistinctString() const;
  std::optional<int64_t> integer() const;
  std::optional<float> floating() const;
  // 1 and 0, "true"/"t"/"1" and "false"/"f"/"0" (any case) count as booleans.
  std::optional<bool> boolean() const;
  const Dictionary* dictionary() const;
  const Array* array() const;
  // A token, or a two-element array [text, non-negative id].
  std::optional<std::pair<uint64_t, BinaryDistinctString>> token() const;
  // The texts of the string elements of an array.
  std::optional<std::vector<std::string>> get() const;

  std::string description() const;
  bool operator==(const Config& other) const;

  // JSON forms, for a Config travelling inside another JSON record.
  nlohmann::json toJSON() const;
  static Config fromJSON(const nlohmann::json& json);
  // The Config of a parsed JSON value: objects, arrays, strings, integral
  // numbers as integers, other numbers as 32-bit floats, booleans, null.
  static Config convertToBinaryDistinctKeys(const nlohmann::json& json);
};

// "addedTokens" -> "added_tokens": an uppercase letter is lowercased and gets
// a "_" before it unless the scalar before it is uppercase too.
std::string uncamelCase(std::string_view key);

void to_json(nlohmann::json& json, const Config& config);
void from_json(const nlohmann::json& json, Config& config);

}  // namespace orvane
