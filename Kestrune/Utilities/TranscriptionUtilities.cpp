#include "Kestrune/Utilities/TranscriptionUtilities.hpp"

#include <algorithm>
#include <cstdio>

#include "Kestrune/Utilities/TextUtilities.hpp"

namespace kestrune {

namespace {

constexpr float kSampleRate = 16000.0f;

std::string twoDecimals(float value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

std::string mergedText(const std::vector<std::shared_ptr<TranscriptionResult>>& results,
                       const std::optional<std::vector<WordTiming>>& confirmedWords) {
  std::string text;
  if (confirmedWords) {
    for (const auto& word : *confirmedWords) text += word.word;
    return text;
  }
  for (size_t i = 0; i < results.size(); ++i) {
    if (i > 0) text += ' ';
    if (results[i]) text += results[i]->text();
  }
  return text;
}

TranscriptionTimings mergedTimings(const std::vector<TranscriptionTimings>& all) {
  using T = TranscriptionTimings;
  TranscriptionTimings merged;
  for (double T::*member : {&T::pipelineStart, &T::firstTokenTime, &T::inputAudioSeconds,
                            &T::encoderSpecializationTime, &T::decoderSpecializationTime}) {
    merged.*member = 0;
  }
  if (all.empty()) return merged;

  const auto minimum = [&](double T::*member) {
    double value = all.front().*member;
    for (const auto& t : all) value = std::min(value, t.*member);
    return value;
  };
  const auto maximum = [&](double T::*member) {
    double value = all.front().*member;
    for (const auto& t : all) value = std::max(value, t.*member);
    return value;
  };
  const auto sum = [&](double T::*member) {
    double value = 0;
    for (const auto& t : all) value += t.*member;
    return value;
  };

  merged.pipelineStart = minimum(&T::pipelineStart);
  merged.firstTokenTime = minimum(&T::firstTokenTime);
  for (double T::*member : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime,
                            &T::decoderLoadTime, &T::tokenizerLoadTime}) {
    merged.*member = maximum(member);
  }
  for (double T::*member : {&T::inputAudioSeconds,
                            &T::audioLoading,
                            &T::audioProcessing,
                            &T::logmels,
                            &T::encoding,
                            &T::decodingInit,
                            &T::decodingLoop,
                            &T::decodingPredictions,
                            &T::decodingFiltering,
                            &T::decodingSampling,
                            &T::decodingFallback,
                            &T::decodingWindowing,
                            &T::decodingKvCaching,
                            &T::decodingWordTimestamps,
                            &T::decodingNonPrediction,
                            &T::totalAudioProcessingRuns,
                            &T::totalLogmelRuns,
                            &T::totalEncodingRuns,
                            &T::totalDecodingLoops,
                            &T::totalKVUpdateRuns,
                            &T::totalTimestampAlignmentRuns,
                            &T::totalDecodingFallbacks,
                            &T::totalDecodingWindows}) {
    merged.*member = sum(member);
  }
  // Chunks that ran in parallel report the span from the first start to the
  // last end; chunks that ran one after another no more than their sum.
  double latestEnd = all.front().pipelineStart + all.front().fullPipeline;
  for (const auto& t : all) latestEnd = std::max(latestEnd, t.pipelineStart + t.fullPipeline);
  merged.fullPipeline = std::min(latestEnd - merged.pipelineStart, sum(&T::fullPipeline));
  return merged;
}

}  // namespace

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
  std::vector<TranscriptionSegment> segments;
  std::vector<TranscriptionTimings> timings;
  std::optional<std::string> language;
  int64_t validIndex = 0;
  for (const auto& result : results) {
    if (!result) continue;
    std::vector<TranscriptionSegment> own = result->segments();
    for (size_t j = 0; j < own.size(); ++j) {
      own[j].id = validIndex + static_cast<int64_t>(j);
      segments.push_back(std::move(own[j]));
    }
    timings.push_back(result->timings());
    if (!language) language = result->language();
    ++validIndex;
  }
  return TranscriptionResult::make(mergedText(results, confirmedWords), std::move(segments),
                                   language.value_or("en"), mergedTimings(timings), std::nullopt);
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(
    const TranscriptionSegment& segment, float seekTime) {
  TranscriptionSegment moved = segment;
  moved.seek += static_cast<int64_t>(seekTime * kSampleRate);
  moved.start += seekTime;
  moved.end += seekTime;
  if (moved.words) {
    for (auto& word : *moved.words) {
      word.start += seekTime;
      word.end += seekTime;
    }
  }
  return moved;
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(
    const TranscriptionSegment& segment, int64_t seekOffsetIndex) {
  const float seconds = static_cast<float>(seekOffsetIndex) / kSampleRate;
  TranscriptionSegment moved = segment;
  moved.seek += seekOffsetIndex;
  moved.start += seconds;
  moved.end += seconds;
  if (moved.words) {
    for (auto& word : *moved.words) {
      word.start += seconds;
      word.end += seconds;
    }
  }
  return moved;
}

std::vector<std::string> TranscriptionUtilities::formatSegments(
    const std::vector<TranscriptionSegment>& segments, bool withTimestamps) {
  std::vector<std::string> lines;
  lines.reserve(segments.size());
  for (const auto& segment : segments) {
    if (withTimestamps) {
      lines.push_back("[" + twoDecimals(segment.start) + " --> " + twoDecimals(segment.end) + "] " +
                      segment.text);
    } else {
      lines.push_back(segment.text);
    }
  }
  return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(
    const std::vector<WordTiming>& a, const std::vector<WordTiming>& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && normalized(a[n].word) == normalized(b[n].word)) ++n;
  return {b.begin(), b.begin() + static_cast<ptrdiff_t>(n)};
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(
    const std::vector<WordTiming>& a, const std::vector<WordTiming>& b) {
  const size_t n = findLongestCommonPrefix(a, b).size();
  return {b.begin() + static_cast<ptrdiff_t>(n), b.end()};
}

bool contains(const std::vector<TranscriptionSegment>& segments,
              const TranscriptionSegment& segment) {
  return std::any_of(segments.begin(), segments.end(),
                     [&](const TranscriptionSegment& s) { return s.start == segment.start; });
}

}  // namespace kestrune
