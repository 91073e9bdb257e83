#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "Kestrune/Core/DecodingOptions.hpp"
#include "Kestrune/Core/DecodingResult.hpp"
#include "Kestrune/Core/Text/DynamicTimeWarping.hpp"
#include "Kestrune/Core/TranscriptionSegment.hpp"
#include "Kestrune/Core/TranscriptionTimings.hpp"
#include "Kestrune/Core/WordTiming.hpp"
#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

class WhisperTokenizer;

// Where the next window starts (a sample index into the whole audio) and
// the segments cut from this one; no segments when the window was skipped
// as silence.
struct SeekPointAndSegments {
  int64_t seek = 0;
  std::optional<std::vector<TranscriptionSegment>> segments{};

  bool operator==(const SeekPointAndSegments&) const = default;
};

// Bounds on word durations in seconds: the median positive duration capped
// at 0.7 s, and twice that.
struct WordDurationConstraints {
  float median = 0.0f;
  float max = 0.0f;

  bool operator==(const WordDurationConstraints&) const = default;
};

// The stage that turns a decoded window into timed segments and, when word
// timestamps are asked for, aligns their words to the audio. Replaceable
// through the engine configuration.
class SegmentSeeking {
 public:
  virtual ~SegmentSeeking() = default;

  // Cuts the window's tokens at its timestamp tokens and decides how far
  // the read position moves. Never throws. `specialToken` is part of the
  // stage's signature but the text filter uses the tokenizer's own
  // special-token boundary.
  virtual SeekPointAndSegments findSeekPointAndSegments(
      const DecodingResult& decodingResult, const DecodingOptions& options,
      int64_t allSegmentsCount, int64_t currentSeek, int64_t segmentSize, int64_t sampleRate,
      int64_t timeToken, int64_t specialToken, const WhisperTokenizer& tokenizer) const = 0;

  // The segments with their `words` filled from the decoder's alignment
  // weights (one row per token of the segments, one column per 20 ms
  // frame), word and segment edges adjusted against each other. Times are
  // absolute. Throws WhisperError.segmentingFailed for weights of an
  // unusable shape.
  virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments,
      const platform::ml::MLMultiArray& alignmentWeights, const WhisperTokenizer& tokenizer,
      int64_t seek, int64_t segmentSize, std::string_view prependPunctuations,
      std::string_view appendPunctuations, float lastSpeechTimestamp,
      const DecodingOptions& options, const TranscriptionTimings& timings) const = 0;
};

// The engine's segment seeker. It holds no state, so one instance serves
// every window and every thread.
class SegmentSeeker : public SegmentSeeking {
 public:
  SeekPointAndSegments findSeekPointAndSegments(const DecodingResult& decodingResult,
                                                const DecodingOptions& options,
                                                int64_t allSegmentsCount, int64_t currentSeek,
                                                int64_t segmentSize, int64_t sampleRate,
                                                int64_t timeToken, int64_t specialToken,
                                                const WhisperTokenizer& tokenizer) const override;

  std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments,
      const platform::ml::MLMultiArray& alignmentWeights, const WhisperTokenizer& tokenizer,
      int64_t seek, int64_t segmentSize, std::string_view prependPunctuations,
      std::string_view appendPunctuations, float lastSpeechTimestamp,
      const DecodingOptions& options, const TranscriptionTimings& timings) const override;

  // The steps of addWordTimestamps.

  // One entry per word of `wordTokenIds` (as the tokenizer groups them),
  // timed in seconds from the window start by warping over
  // `alignmentWeights` ([tokens, frames]); empty for fewer than two words.
  // Words whose tokens run past `tokenLogProbs` or past the warping path
  // are left out.
  std::vector<WordTiming> findAlignment(const std::vector<int64_t>& wordTokenIds,
                                        const platform::ml::MLMultiArray& alignmentWeights,
                                        const std::vector<float>& tokenLogProbs,
                                        const WhisperTokenizer& tokenizer,
                                        const TranscriptionTimings& timings) const;
  WarpingPath dynamicTimeWarping(const platform::ml::MLMultiArray& matrix) const;
  WarpingPath backtrace(const TraceMatrix& trace) const;
  WordDurationConstraints calculateWordDurationConstraints(
      const std::vector<WordTiming>& alignment) const;
  // Words longer than `maxDuration` next to a sentence end are cut down to
  // it: the end mark itself keeps its start, the word after it its end.
  std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(std::vector<WordTiming> alignment,
                                                                float maxDuration) const;
  // Glues opening marks to the following word and closing marks to the
  // preceding one; runs of marks all end up in the word they lean on. Marks
  // that cannot attach are dropped, unless set off by a leading space.
  std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment,
                                            std::string_view prepended,
                                            std::string_view appended) const;
  // Hands the words out to the segments in order, each segment taking words
  // until its text tokens are covered, with absolute times rounded to
  // 0.01 s.
  std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
      const std::vector<TranscriptionSegment>& segments,
      const std::vector<WordTiming>& mergedAlignment, int64_t seek, float lastSpeechTimestamp,
      float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer) const;
};

}  // namespace kestrune
