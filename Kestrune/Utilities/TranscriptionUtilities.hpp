#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Kestrune/Core/TranscriptionResult.hpp"
#include "Kestrune/Core/TranscriptionSegment.hpp"
#include "Kestrune/Core/WordTiming.hpp"

namespace kestrune {

namespace TranscriptionUtilities {

// One result from the results of consecutive chunks, in audio order; a null
// entry is a chunk without a result and leaves only a gap in the text.
// Segment ids become positions (index of the result among the present ones
// plus the index within it). Timings add up, except the absolute times (the
// earliest), the load times (the longest) and the full duration (the
// wall-clock span of the chunks, at most the sum of their durations).
std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);

// The segment moved later by `seekTime` seconds (words included).
TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
// The segment moved later by `seekOffsetIndex` samples (words included).
TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment,
                                          int64_t seekOffsetIndex);

// One line per segment: "[start --> end] text" with timestamps, else the text.
std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments,
                                        bool withTimestamps);

// The leading words of `b` that match `a` word for word after normalisation
// (b's timings are kept).
std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& a,
                                                const std::vector<WordTiming>& b);
// `b` without that common prefix.
std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& a,
                                                   const std::vector<WordTiming>& b);

}  // namespace TranscriptionUtilities

// Whether some segment starts at exactly `segment`'s start; nothing else is
// compared.
bool contains(const std::vector<TranscriptionSegment>& segments,
              const TranscriptionSegment& segment);

using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;

// Per-chunk outcomes as optional result lists: a failure becomes absent;
// order and length are kept.
template <typename Error>
std::vector<std::optional<TranscriptionResults>> toOptionalArrays(
    const std::vector<std::variant<TranscriptionResults, Error>>& outcomes) {
  std::vector<std::optional<TranscriptionResults>> lists;
  lists.reserve(outcomes.size());
  for (const auto& outcome : outcomes) {
    if (const auto* results = std::get_if<TranscriptionResults>(&outcome)) {
      lists.emplace_back(*results);
    } else {
      lists.emplace_back(std::nullopt);
    }
  }
  return lists;
}

}  // namespace kestrune
