#include "Platform/Accessibility/GraphemeClusters.hpp"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>

namespace platform::accessibility {
namespace {

struct UTextCloser {
  void operator()(UText* text) const { utext_close(text); }
};
struct BreakIteratorCloser {
  void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};

bool isContinuationByte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::vector<std::size_t> graphemeClusterBoundaries(std::string_view utf8) {
  std::vector<std::size_t> boundaries{0};
  if (utf8.empty()) return boundaries;
  UErrorCode status = U_ZERO_ERROR;
  // A UTF-8 UText reports its break positions as byte offsets into the text.
  const std::unique_ptr<UText, UTextCloser> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status));
  const std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator(
      ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_SUCCESS(status)) ubrk_setUText(iterator.get(), text.get(), &status);
  if (U_FAILURE(status)) {
    // Without segmentation data the whole text counts as one character: a
    // coarse answer, but never one that splits a character.
    boundaries.push_back(utf8.size());
    return boundaries;
  }
  for (int32_t position = ubrk_next(iterator.get()); position != UBRK_DONE;
       position = ubrk_next(iterator.get())) {
    boundaries.push_back(static_cast<std::size_t>(position));
  }
  if (boundaries.back() != utf8.size()) boundaries.push_back(utf8.size());
  return boundaries;
}

std::int64_t graphemeClustersBeforeCodePoint(std::string_view utf8, std::int64_t codePointOffset) {
  if (codePointOffset <= 0) return 0;
  const std::vector<std::size_t> boundaries = graphemeClusterBoundaries(utf8);
  std::int64_t clusters = 0;
  std::int64_t codePoints = 0;  // code points before boundaries[clusters]
  std::size_t byte = 0;
  for (std::size_t index = 0; index + 1 < boundaries.size(); ++index) {
    if (codePoints >= codePointOffset) return clusters;
    ++clusters;
    for (; byte < boundaries[index + 1]; ++byte) {
      if (!isContinuationByte(utf8[byte])) ++codePoints;
    }
  }
  return clusters + std::max<std::int64_t>(0, codePointOffset - codePoints);
}

}  // namespace platform::accessibility
