#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// The UTF-16 code units of one character.
struct BinaryDistinctCharacter {
  std::u16string bytes;
  bool operator==(const BinaryDistinctCharacter&) const = default;
};

// A text compared by its exact UTF-16 code units. Vocabularies hold entries
// that differ only in normalization form (a precomposed letter and the same
// letter with a combining accent), so no two spellings may collapse into one
// key the way canonically equal texts would.
class BinaryDistinctString {
 public:
  BinaryDistinctString() = default;
  BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}
  BinaryDistinctString(std::string_view text);
  BinaryDistinctString(const std::string& text) : BinaryDistinctString(std::string_view(text)) {}
  explicit BinaryDistinctString(std::u16string codeUnits) : value(std::move(codeUnits)) {}
  explicit BinaryDistinctString(const std::vector<uint16_t>& codeUnits);
  explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

  std::u16string value;

  // The text as UTF-8.
  std::string string() const;
  std::string description() const { return string(); }
  // The number of characters (grapheme clusters) of the text.
  size_t count() const;
  BinaryDistinctString lowercased() const;
  BinaryDistinctString replacingOccurrences(std::string_view of, std::string_view with) const;
  bool hasPrefix(const BinaryDistinctString& prefix) const;
  bool hasSuffix(const BinaryDistinctString& suffix) const;

  bool operator==(const BinaryDistinctString& other) const { return value == other.value; }
  // Lexicographic on code units; a proper prefix orders first.
  bool operator<(const BinaryDistinctString& other) const { return value < other.value; }
  BinaryDistinctString operator+(const BinaryDistinctString& other) const {
    return BinaryDistinctString(value + other.value);
  }
};

}  // namespace orvane

template <>
struct std::hash<orvane::BinaryDistinctString> {
  size_t operator()(const orvane::BinaryDistinctString& text) const noexcept {
    return std::hash<std::u16string>{}(text.value);
  }
};
