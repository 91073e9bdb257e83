#include "ZandrelANEHelper/TranscriptAssembly.hpp"

#include <optional>

namespace zandrel {

namespace {

// Space separators, tab and the line-break characters.
bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

struct Scalar {
  char32_t value;
  size_t length;
};

// The scalar that starts at `text[i]`, when a well-formed sequence does.
std::optional<Scalar> scalarAt(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return Scalar{lead, 1};
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || i + length > text.size()) return std::nullopt;
  char32_t value = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (next & 0x3F);
  }
  return Scalar{value, length};
}

// Start of the scalar that ends just before `end`.
size_t previousScalarStart(std::string_view text, size_t end) {
  size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  return start;
}

}  // namespace

std::string_view trimmedWhitespace(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const auto scalar = scalarAt(text, begin);
    if (!scalar || !isWhitespaceOrNewline(scalar->value)) break;
    begin += scalar->length;
  }
  size_t end = text.size();
  while (end > begin) {
    const size_t start = previousScalarStart(text, end);
    const auto scalar = scalarAt(text, start);
    if (!scalar || start + scalar->length != end || !isWhitespaceOrNewline(scalar->value)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string joinedText(const std::vector<EngineResult>& results) {
  std::string joined;
  for (size_t i = 0; i < results.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += results[i].text;
  }
  return std::string(trimmedWhitespace(joined));
}

std::vector<WordResponse> collectedWords(const std::vector<EngineResult>& results) {
  std::vector<WordResponse> words;
  for (const EngineResult& result : results) {
    for (const EngineSegment& segment : result.segments) {
      if (!segment.words) continue;
      for (const EngineWordTiming& timing : *segment.words) {
        words.push_back({timing.word, timing.start, timing.end, timing.probability});
      }
    }
  }
  return words;
}

}  // namespace zandrel
