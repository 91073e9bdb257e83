#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <memory>
#include <stdexcept>

namespace orvane::unicode {

namespace {

// Length of the valid UTF-8 sequence at `offset`, or 0 when the bytes there
// are not one; `consumed` then tells how many bytes form the maximal invalid
// subpart to replace by one U+FFFD.
size_t validSequenceLength(std::string_view bytes, size_t offset, size_t& consumed) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(offset);
  consumed = 1;
  if (lead < 0x80) return 1;
  size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (offset + k >= bytes.size()) return 0;
    const unsigned char c = at(offset + k);
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (c < lo || c > hi) return 0;
    consumed = k + 1;
  }
  return need + 1;
}

icu::UnicodeString icuString(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toStd(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string normalized(std::string_view text, const icu::Normalizer2* (*instance)(UErrorCode&)) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = instance(status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode normalization data is unavailable");
  std::string out;
  icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(text.size()));
  normalizer->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) return std::string(text);
  return out;
}

// Below U+0300 no scalar joins its neighbour into one character, except a
// carriage return followed by a line feed, so such text needs no break
// iterator.
bool scalarsAreCharacters(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0xCC) return false;  // U+0300 and above start with 0xCC or higher
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') return false;
  }
  return true;
}

const icu::BreakIterator& characterBreakPrototype() {
  static const std::unique_ptr<icu::BreakIterator> prototype = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator)
      throw std::runtime_error("Character break data is unavailable");
    return iterator;
  }();
  return *prototype;
}

}  // namespace

void appendUTF8(std::string& out, char32_t scalar) {
  if (scalar < 0x80) {
    out += static_cast<char>(scalar);
  } else if (scalar < 0x800) {
    out += static_cast<char>(0xC0 | (scalar >> 6));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else if (scalar < 0x10000) {
    out += static_cast<char>(0xE0 | (scalar >> 12));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (scalar >> 18));
    out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  }
}

std::string utf8(char32_t scalar) {
  std::string out;
  appendUTF8(out, scalar);
  return out;
}

std::string decodeUTF8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t consumed = 0;
    const size_t length = validSequenceLength(bytes, i, consumed);
    if (length > 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      appendUTF8(out, replacementCharacter);
      i += consumed;
    }
  }
  return out;
}

bool isValidUTF8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t consumed = 0;
    const size_t length = validSequenceLength(bytes, i, consumed);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

size_t scalarLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

char32_t scalarAt(std::string_view text, size_t offset, size_t* length) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(offset);
  size_t n = std::min(scalarLength(lead), text.size() - offset);
  char32_t value = 0;
  switch (n) {
    case 1: value = lead; break;
    case 2: value = ((lead & 0x1F) << 6) | (at(offset + 1) & 0x3F); break;
    case 3:
      value = ((lead & 0x0F) << 12) | ((at(offset + 1) & 0x3F) << 6) | (at(offset + 2) & 0x3F);
      break;
    default:
      value = ((lead & 0x07) << 18) | ((at(offset + 1) & 0x3F) << 12) |
              ((at(offset + 2) & 0x3F) << 6) | (at(offset + 3) & 0x3F);
  }
  if (length) *length = n;
  return value;
}

std::vector<char32_t> scalars(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t length = 1;
    out.push_back(scalarAt(text, i, &length));
    i += length;
  }
  return out;
}

std::u16string toUTF16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t length = 1;
    const char32_t scalar = scalarAt(text, i, &length);
    i += length;
    if (scalar >= 0x10000) {
      const char32_t v = scalar - 0x10000;
      out += static_cast<char16_t>(0xD800 | (v >> 10));
      out += static_cast<char16_t>(0xDC00 | (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(scalar);
    }
  }
  return out;
}

std::string fromUTF16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      const char32_t scalar = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      appendUTF8(out, scalar);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      appendUTF8(out, replacementCharacter);  // a lone surrogate has no UTF-8 form
    } else {
      appendUTF8(out, unit);
    }
  }
  return out;
}

std::vector<std::string_view> characters(std::string_view text) {
  std::vector<std::string_view> out;
  if (scalarsAreCharacters(text)) {
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
      const size_t length =
          std::min(scalarLength(static_cast<unsigned char>(text[i])), text.size() - i);
      out.push_back(text.substr(i, length));
      i += length;
    }
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> iterator(characterBreakPrototype().clone());
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  iterator->setText(utext, status);
  if (U_FAILURE(status)) {
    utext_close(utext);
    throw std::runtime_error("Cannot split text into characters");
  }
  int32_t start = iterator->first();
  for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; end = iterator->next()) {
    out.push_back(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
    start = end;
  }
  utext_close(utext);
  return out;
}

size_t characterCount(std::string_view text) {
  if (scalarsAreCharacters(text)) {
    size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
  }
  return characters(text).size();
}

std::string lowercased(std::string_view text) {
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString value = icuString(text);
  value.toLower(icu::Locale::getRoot());
  return toStd(value);
}

std::string nfc(std::string_view text) {
  return normalized(text, &icu::Normalizer2::getNFCInstance);
}
std::string nfd(std::string_view text) {
  return normalized(text, &icu::Normalizer2::getNFDInstance);
}
std::string nfkc(std::string_view text) {
  return normalized(text, &icu::Normalizer2::getNFKCInstance);
}
std::string nfkd(std::string_view text) {
  return normalized(text, &icu::Normalizer2::getNFKDInstance);
}

std::string capitalized(std::string_view text) {
  icu::UnicodeString value = icuString(text);
  value.toTitle(nullptr, icu::Locale::getRoot());
  return toStd(value);
}

std::string removingDiacritics(std::string_view text) {
  std::string out;
  for (const char32_t scalar : scalars(nfd(text))) {
    if (u_charType(static_cast<UChar32>(scalar)) == U_NON_SPACING_MARK) continue;
    appendUTF8(out, scalar);
  }
  return nfc(out);
}

bool isPunctuation(char32_t scalar) {
  return u_ispunct(static_cast<UChar32>(scalar));
}
bool isWhitespace(char32_t scalar) {
  return u_isUWhiteSpace(static_cast<UChar32>(scalar));
}
bool isUppercase(char32_t scalar) {
  return u_isUUppercase(static_cast<UChar32>(scalar));
}
bool isSpaceSeparator(char32_t scalar) {
  return u_charType(static_cast<UChar32>(scalar)) == U_SPACE_SEPARATOR;
}

bool isChineseCharacter(char32_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x20000 && c <= 0x2A6DF) || (c >= 0x2A700 && c <= 0x2CEAF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

std::string replacingAll(std::string_view text, std::string_view pattern,
                         std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  std::string out;
  size_t start = 0;
  for (size_t found = text.find(pattern); found != std::string_view::npos;
       found = text.find(pattern, start)) {
    out.append(text.substr(start, found - start));
    out.append(replacement);
    start = found + pattern.size();
  }
  out.append(text.substr(start));
  return out;
}

std::string spacingChineseCharacters(std::string_view text) {
  std::string out;
  for (const std::string_view character : characters(text)) {
    if (isChineseCharacter(scalarAt(character, 0))) {
      out += ' ';
      out.append(character);
      out += ' ';
    } else {
      out.append(character);
    }
  }
  return out;
}

}  // namespace orvane::unicode
