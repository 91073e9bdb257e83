#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "OrvaneCore/External/Tokenizers/UnicodeText.hpp"

namespace kestrune {

namespace {

bool isHorizontalWhitespace(char32_t scalar) {
  return scalar == U'\t' || orvane::unicode::isSpaceSeparator(scalar);
}

std::string_view trimmingHorizontalWhitespace(std::string_view text) {
  size_t begin = 0;
  size_t end = 0;  // one past the last byte of the last kept scalar
  bool found = false;
  for (size_t offset = 0; offset < text.size();) {
    size_t length = 1;
    const char32_t scalar = orvane::unicode::scalarAt(text, offset, &length);
    if (!isHorizontalWhitespace(scalar)) {
      if (!found) begin = offset;
      found = true;
      end = offset + length;
    }
    offset += length;
  }
  return found ? text.substr(begin, end - begin) : std::string_view{};
}

bool startsWithHorizontalWhitespace(std::string_view text) {
  return !text.empty() && isHorizontalWhitespace(orvane::unicode::scalarAt(text, 0));
}

// The mark sets are plain strings: a word belongs to one when it occurs in
// it. An empty word is no mark.
bool containsMark(std::string_view marks, std::string_view word) {
  return !word.empty() && marks.find(word) != std::string_view::npos;
}

WordTiming joined(const WordTiming& first, const WordTiming& second, const WordTiming& timing) {
  WordTiming result{.word = first.word + second.word,
                    .tokens = first.tokens,
                    .start = timing.start,
                    .end = timing.end,
                    .probability = timing.probability};
  result.tokens.insert(result.tokens.end(), second.tokens.begin(), second.tokens.end());
  return result;
}

// Opening marks with a leading space join the word after them, which keeps
// its own times. A run of them accumulates, so none is lost.
std::vector<WordTiming> prependPass(const std::vector<WordTiming>& alignment,
                                    std::string_view prepended) {
  std::vector<WordTiming> result;
  result.reserve(alignment.size());
  if (!containsMark(prepended, trimmingHorizontalWhitespace(alignment.front().word))) {
    result.push_back(alignment.front());
  }
  for (size_t i = 1; i < alignment.size(); ++i) {
    const WordTiming& previous = alignment[i - 1];
    const WordTiming& current = alignment[i];
    const bool attaches = startsWithHorizontalWhitespace(previous.word) &&
                          containsMark(prepended, trimmingHorizontalWhitespace(previous.word));
    if (!attaches) {
      result.push_back(current);
    } else if (result.empty()) {
      result.push_back(joined(previous, current, current));
    } else {
      result.back() = joined(result.back(), current, current);
    }
  }
  return result;
}

// Closing marks join the word before them unless it ends in a space; the
// word keeps its times and probability.
std::vector<WordTiming> appendPass(const std::vector<WordTiming>& words,
                                   std::string_view appended) {
  std::vector<WordTiming> result;
  result.reserve(words.size());
  result.push_back(words.front());
  for (size_t i = 1; i < words.size(); ++i) {
    const WordTiming& current = words[i];
    WordTiming& last = result.back();
    const bool attaches = !last.word.ends_with(' ') &&
                          containsMark(appended, trimmingHorizontalWhitespace(current.word));
    if (attaches) {
      last = joined(last, current, last);
    } else {
      result.push_back(current);
    }
  }
  return result;
}

}  // namespace

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         std::string_view prepended,
                                                         std::string_view appended) const {
  if (alignment.empty()) return {};
  const std::vector<WordTiming> prependMerged = prependPass(alignment, prepended);
  // Nothing but opening marks: there is no word left to attach anything to.
  if (prependMerged.empty()) return {};
  std::vector<WordTiming> merged = appendPass(prependMerged, appended);
  std::erase_if(merged, [&](const WordTiming& entry) {
    return entry.word.empty() || containsMark(appended, entry.word) ||
           containsMark(prepended, entry.word);
  });
  return merged;
}

}  // namespace kestrune
