#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <optional>

#include "Kestrune/Core/Text/SegmentSeeker.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"

namespace kestrune {

namespace {

using platform::ml::MLMultiArray;

// Seconds per encoder frame, one column of the alignment weights.
constexpr float secondsPerFrame = 0.02f;
// The window length assumed when the warping path is empty.
constexpr float defaultWindowSeconds = 1500 * secondsPerFrame;
constexpr float medianDurationCap = 0.7f;
constexpr float samplesPerSecond = 16000.0f;

constexpr std::string_view sentenceEndMarks[] = {".", "\u3002", "!", "\uff01", "?", "\uff1f"};

bool isSentenceEnd(std::string_view word) {
  return std::find(std::begin(sentenceEndMarks), std::end(sentenceEndMarks), word) !=
         std::end(sentenceEndMarks);
}

// round(x * 100) / 100, halves away from zero.
float round2(float value) {
  return std::round(value * 100.0f) / 100.0f;
}

// The ids and log-probabilities of every token of the segments, in order. A
// position whose log-probability entry lacks its token adds no value.
struct GatheredTokens {
  std::vector<int64_t> ids;
  std::vector<float> logProbs;
};

GatheredTokens gatherTokens(const std::vector<TranscriptionSegment>& segments) {
  GatheredTokens gathered;
  for (const TranscriptionSegment& segment : segments) {
    for (size_t position = 0; position < segment.tokens.size(); ++position) {
      const int64_t token = segment.tokens[position];
      gathered.ids.push_back(token);
      if (position >= segment.tokenLogProbs.size()) continue;
      const auto entry = segment.tokenLogProbs[position].find(token);
      if (entry != segment.tokenLogProbs[position].end())
        gathered.logProbs.push_back(entry->second);
    }
  }
  return gathered;
}

// Byte offset of the element that starts row `row` of `array`, its leading
// dimensions taken together as the row index.
int64_t rowOffset(const MLMultiArray& array, int64_t row) {
  const std::vector<int64_t>& shape = array.shape();
  int64_t offset = 0;
  for (size_t d = shape.size() - 1; d-- > 0;) {
    offset += (row % shape[d]) * array.strides()[d];
    row /= shape[d];
  }
  return offset;
}

// A new zero-filled [rows, C] array of the same element type holding the
// first `rows` rows of `weights` (C is its last dimension); rows the
// weights do not have stay zero.
MLMultiArray leadingRows(const MLMultiArray& weights, int64_t rows) {
  const int64_t columns = weights.shape().back();
  MLMultiArray result({rows, columns}, weights.dataType());
  const size_t size = platform::ml::elementSize(weights.dataType());
  const int64_t available = std::min(rows, weights.count() / columns);
  const int64_t columnStride = weights.strides().back();
  const auto* source = static_cast<const std::byte*>(weights.dataPointer());
  auto* target = static_cast<std::byte*>(result.dataPointer());
  for (int64_t row = 0; row < available; ++row) {
    const std::byte* from = source + rowOffset(weights, row) * static_cast<int64_t>(size);
    std::byte* to = target + row * columns * static_cast<int64_t>(size);
    if (columnStride == 1) {
      std::memcpy(to, from, static_cast<size_t>(columns) * size);
      continue;
    }
    for (int64_t column = 0; column < columns; ++column) {
      std::memcpy(to + column * static_cast<int64_t>(size),
                  from + column * columnStride * static_cast<int64_t>(size), size);
    }
  }
  return result;
}

// Per-token start and end times (seconds from the window start) read off
// the path: a token starts at the frame where the path first reaches it.
struct TokenTimes {
  std::vector<float> starts;
  std::vector<float> ends;
};

TokenTimes tokenTimes(const WarpingPath& path) {
  TokenTimes times;
  times.starts.push_back(0.0f);
  for (size_t k = 1; k < path.textIndices.size(); ++k) {
    if (path.textIndices[k] == path.textIndices[k - 1]) continue;
    const float jump = static_cast<float>(path.timeIndices[k]) * secondsPerFrame;
    times.starts.push_back(jump);
    times.ends.push_back(jump);
  }
  times.ends.push_back(path.timeIndices.empty()
                           ? defaultWindowSeconds
                           : static_cast<float>(path.timeIndices.back()) * secondsPerFrame);
  return times;
}

// The tokenizer's words; a split whose two lists disagree in length is cut
// to the shorter, so that no word is read without its tokens.
WordTokens splitWords(const WhisperTokenizer& tokenizer, const std::vector<int64_t>& ids) {
  WordTokens split = tokenizer.splitToWordTokens(ids);
  const size_t count = std::min(split.words.size(), split.wordTokens.size());
  split.words.resize(count);
  split.wordTokens.resize(count);
  return split;
}

// The boundary adjustments between a segment and its words, in their fixed
// order, each seeing the values the one before left; `lastSpeech` is the end
// of the speech before the segment.
void adjustSegmentEdges(TranscriptionSegment& segment, std::vector<WordTiming>& words,
                        float lastSpeech, float median, float maxDuration) {
  WordTiming& first = words.front();
  const bool hasSecond = words.size() >= 2;
  // A first word that starts long after the previous speech and lasts too
  // long probably swallowed the pause before it.
  if (first.end - lastSpeech > 4.0f * median &&
      (first.end - first.start > maxDuration ||
       (hasSecond && words[1].end - first.start > 2.0f * maxDuration))) {
    if (hasSecond && words[1].end - words[1].start > maxDuration) {
      const float boundary = std::max(words[1].end / 2.0f, words[1].end - maxDuration);
      first.end = boundary;
      words[1].start = boundary;
    }
    first.start = std::max(lastSpeech, first.end - maxDuration);
  }
  if (segment.start < first.end && first.start < segment.start - 0.5f) {
    first.start = std::max(0.0f, std::min(segment.start, first.end - median));
  } else {
    segment.start = first.start;
  }
  WordTiming& last = words.back();
  if (last.start < segment.end && segment.end + 0.5f < last.end) {
    last.end = std::max(last.start + median, segment.end);
  } else {
    segment.end = last.end;
  }
}

}  // namespace

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const MLMultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, int64_t seek, int64_t /*segmentSize*/,
    std::string_view prependPunctuations, std::string_view appendPunctuations,
    float lastSpeechTimestamp, const DecodingOptions& /*options*/,
    const TranscriptionTimings& timings) const {
  const GatheredTokens gathered = gatherTokens(segments);
  if (alignmentWeights.shape().empty()) {
    throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
  }
  const int64_t rows = static_cast<int64_t>(gathered.ids.size());
  const int64_t columns = alignmentWeights.shape().back();
  if (orvane::Logging::isLoggingEnabled(orvane::Logging::LogLevel::debug)) {
    orvane::Logging::debug("Alignment weights shape: " +
                           platform::ml::shapeText(std::vector<int64_t>{rows, columns}));
  }

  // Without tokens there is nothing to warp (and no words to find).
  std::vector<WordTiming> alignment;
  if (rows > 0) {
    alignment = findAlignment(gathered.ids, leadingRows(alignmentWeights, rows), gathered.logProbs,
                              tokenizer, timings);
  }
  const WordDurationConstraints constraints = calculateWordDurationConstraints(alignment);
  alignment = truncateLongWordsAtSentenceBoundaries(std::move(alignment), constraints.max);
  if (!alignment.empty()) {
    alignment = mergePunctuations(alignment, prependPunctuations, appendPunctuations);
  }
  return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp,
                                       constraints.median, constraints.max, tokenizer);
}

std::vector<WordTiming> SegmentSeeker::findAlignment(
    const std::vector<int64_t>& wordTokenIds, const MLMultiArray& alignmentWeights,
    const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer,
    const TranscriptionTimings& /*timings*/) const {
  const WarpingPath path = dynamicTimeWarping(alignmentWeights);
  const WordTokens split = splitWords(tokenizer, wordTokenIds);
  if (split.words.size() < 2) return {};

  const TokenTimes times = tokenTimes(path);
  std::vector<WordTiming> alignment;
  alignment.reserve(split.words.size());
  size_t first = 0;
  for (size_t w = 0; w < split.words.size(); ++w) {
    const std::vector<int64_t>& tokens = split.wordTokens[w];
    const size_t count = tokens.size();
    const size_t end = first + count;
    // A word past the known times or probabilities has no timing of its own.
    if (count > 0 && end <= times.ends.size() && end <= tokenLogProbs.size()) {
      float sum = 0.0f;
      for (size_t k = first; k < end; ++k) sum += tokenLogProbs[k];
      alignment.push_back(WordTiming{.word = split.words[w],
                                     .tokens = tokens,
                                     .start = times.starts[first],
                                     .end = times.ends[end - 1],
                                     .probability = std::exp(sum / static_cast<float>(count))});
    }
    first = end;
  }
  return alignment;
}

WarpingPath SegmentSeeker::dynamicTimeWarping(const MLMultiArray& matrix) const {
  return kestrune::dynamicTimeWarping(matrix);
}

WarpingPath SegmentSeeker::backtrace(const TraceMatrix& trace) const {
  return kestrune::backtrace(trace);
}

WordDurationConstraints SegmentSeeker::calculateWordDurationConstraints(
    const std::vector<WordTiming>& alignment) const {
  std::vector<float> durations;
  durations.reserve(alignment.size());
  for (const WordTiming& entry : alignment) {
    const float duration = entry.end - entry.start;
    if (duration > 0.0f) durations.push_back(duration);
  }
  float median = 0.0f;
  if (!durations.empty()) {
    const auto middle = durations.begin() + static_cast<std::ptrdiff_t>(durations.size() / 2);
    std::nth_element(durations.begin(), middle, durations.end());
    median = *middle;
  }
  const float constrained = std::min(median, medianDurationCap);
  return {.median = constrained, .max = 2.0f * constrained};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(
    std::vector<WordTiming> alignment, float maxDuration) const {
  for (size_t i = 1; i < alignment.size(); ++i) {
    WordTiming& entry = alignment[i];
    if (!(entry.end - entry.start > maxDuration)) continue;
    if (isSentenceEnd(entry.word)) {
      entry.end = entry.start + maxDuration;
    } else if (isSentenceEnd(alignment[i - 1].word)) {
      entry.start = entry.end - maxDuration;
    }
  }
  return alignment;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    const std::vector<TranscriptionSegment>& segments,
    const std::vector<WordTiming>& mergedAlignment, int64_t seek, float lastSpeechTimestamp,
    float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer) const {
  const int64_t specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
  const float seekTime = static_cast<float>(seek) / samplesPerSecond;
  const float m = constrainedMedianDuration;
  float lastSpeech = lastSpeechTimestamp;
  size_t wordIndex = 0;
  std::vector<TranscriptionSegment> output;
  output.reserve(segments.size());

  const auto isText = [&](int64_t token) { return token < specialTokenBegin; };
  for (const TranscriptionSegment& input : segments) {
    TranscriptionSegment segment = input;
    const size_t textTokenCount =
        static_cast<size_t>(std::count_if(segment.tokens.begin(), segment.tokens.end(), isText));
    size_t saved = 0;
    std::vector<WordTiming> words;
    while (wordIndex < mergedAlignment.size() && saved < textTokenCount) {
      const WordTiming& entry = mergedAlignment[wordIndex++];
      std::vector<int64_t> tokens;
      std::copy_if(entry.tokens.begin(), entry.tokens.end(), std::back_inserter(tokens), isText);
      if (tokens.empty()) continue;
      std::string text =
          tokens.size() == entry.tokens.size() ? entry.word : tokenizer.decode(tokens);
      float start = round2(seekTime + entry.start);
      const float end = round2(seekTime + entry.end);
      // A very short word right after a pause borrows a little of it.
      if (end - start < 0.25f * m) {
        std::optional<float> previousEnd;
        if (!words.empty()) {
          previousEnd = words.back().end;
        } else if (!output.empty()) {
          previousEnd = output.back().end;
        }
        if (previousEnd && *previousEnd < start) {
          start = round2(start - std::min(0.5f * m, start - *previousEnd));
        }
      }
      saved += tokens.size();
      words.push_back(WordTiming{.word = std::move(text),
                                 .tokens = std::move(tokens),
                                 .start = start,
                                 .end = end,
                                 .probability = round2(entry.probability)});
    }
    if (!words.empty()) {
      adjustSegmentEdges(segment, words, lastSpeech, m, maxDuration);
      lastSpeech = segment.end;
    }
    segment.words = std::move(words);
    output.push_back(std::move(segment));
  }
  return output;
}

}  // namespace kestrune
