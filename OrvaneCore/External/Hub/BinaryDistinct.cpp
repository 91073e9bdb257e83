#include "OrvaneCore/External/Hub/BinaryDistinct.hpp"

#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace orvane {

BinaryDistinctString::BinaryDistinctString(std::string_view text) : value(unicode::toUTF16(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<uint16_t>& codeUnits)
    : value(codeUnits.begin(), codeUnits.end()) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
  for (const BinaryDistinctCharacter& character : characters) value += character.bytes;
}

std::string BinaryDistinctString::string() const {
  return unicode::fromUTF16(value);
}

size_t BinaryDistinctString::count() const {
  return unicode::characterCount(string());
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
  return BinaryDistinctString(unicode::lowercased(string()));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(std::string_view of,
                                                                std::string_view with) const {
  return BinaryDistinctString(unicode::replacingAll(string(), of, with));
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
  return value.size() >= prefix.value.size() &&
         value.compare(0, prefix.value.size(), prefix.value) == 0;
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
  return value.size() >= suffix.value.size() &&
         value.compare(value.size() - suffix.value.size(), suffix.value.size(), suffix.value) == 0;
}

}  // namespace orvane
