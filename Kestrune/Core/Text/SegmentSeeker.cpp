#include "Kestrune/Core/Text/SegmentSeeker.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Kestrune/Core/Text/WhisperTokenizer.hpp"

namespace kestrune {

namespace {

// Seconds per timestamp token: one step is 320 samples at 16 kHz.
constexpr float timePrecision = 0.02f;

struct TokenMarks {
  std::vector<bool> isTimestamp;
  bool singleTimestampEnding = false;
  bool noTimestampEnding = false;
  // Indices i >= 1 where tokens i - 1 and i are both timestamps.
  std::vector<size_t> consecutive;
};

TokenMarks markTokens(const std::vector<int64_t>& tokens, int64_t timeToken) {
  TokenMarks marks;
  marks.isTimestamp.reserve(tokens.size());
  for (const int64_t token : tokens) marks.isTimestamp.push_back(token >= timeToken);
  const size_t n = tokens.size();
  if (n >= 3) {
    const bool a = marks.isTimestamp[n - 3];
    const bool b = marks.isTimestamp[n - 2];
    const bool c = marks.isTimestamp[n - 1];
    marks.singleTimestampEnding = !a && b && !c;
    marks.noTimestampEnding = !a && !b && !c;
  }
  for (size_t i = 1; i < n; ++i) {
    if (marks.isTimestamp[i - 1] && marks.isTimestamp[i]) marks.consecutive.push_back(i);
  }
  return marks;
}

// Float seconds to whole samples, truncated toward zero; values no integer
// can hold are clamped so that a corrupt timestamp cannot overflow.
int64_t truncatedSamples(float samples) {
  if (std::isnan(samples)) return 0;
  constexpr float limit = static_cast<float>(std::numeric_limits<int64_t>::max() / 2);
  return static_cast<int64_t>(std::clamp(samples, -limit, limit));
}

float secondsOfSamples(int64_t samples, int64_t sampleRate) {
  return static_cast<float>(samples) / static_cast<float>(sampleRate);
}

float timestampSeconds(int64_t token, int64_t timeToken) {
  return static_cast<float>(token - timeToken) * timePrecision;
}

std::vector<int64_t> textTokens(const std::vector<int64_t>& tokens, bool skipSpecialTokens,
                                int64_t specialTokenBegin) {
  if (!skipSpecialTokens) return tokens;
  std::vector<int64_t> text;
  text.reserve(tokens.size());
  for (const int64_t token : tokens)
    if (token < specialTokenBegin) text.push_back(token);
  return text;
}

// The fields every segment of a window shares with its decoding result.
TranscriptionSegment segmentOf(const DecodingResult& result, int64_t id, int64_t seek, float start,
                               float end) {
  TranscriptionSegment segment;
  segment.id = id;
  segment.seek = seek;
  segment.start = start;
  segment.end = end;
  segment.temperature = result.temperature;
  segment.avgLogprob = result.avgLogProb;
  segment.compressionRatio = result.compressionRatio;
  segment.noSpeechProb = result.noSpeechProb;
  return segment;
}

bool isSilent(const DecodingResult& result, const DecodingOptions& options) {
  if (!options.noSpeechThreshold || !(result.noSpeechProb > *options.noSpeechThreshold)) {
    return false;
  }
  const bool confident = options.logProbThreshold && result.avgLogProb > *options.logProbThreshold;
  return !confident;
}

// What every segment of one window is cut with.
struct WindowContext {
  const DecodingResult& result;
  const WhisperTokenizer& tokenizer;
  bool skipSpecialTokens;
  int64_t allSegmentsCount;
  int64_t currentSeek;
  int64_t timeToken;
  float timeOffset;
};

// A segment over tokens [begin, end) of the window, timed from `start` to
// `stop` seconds.
TranscriptionSegment cutSegment(const WindowContext& window, int64_t id, size_t begin, size_t end,
                                float start, float stop) {
  const std::vector<int64_t>& tokens = window.result.tokens;
  const TokenLogProbs& logProbs = window.result.tokenLogProbs;
  TranscriptionSegment segment = segmentOf(window.result, id, window.currentSeek, start, stop);
  segment.tokens.assign(tokens.begin() + begin, tokens.begin() + end);
  segment.text =
      window.tokenizer.decode(textTokens(segment.tokens, window.skipSpecialTokens,
                                         window.tokenizer.specialTokens().specialTokenBegin));
  // Log-probabilities may be fewer than tokens; take what there is.
  const size_t probsEnd = std::min(end, logProbs.size());
  if (begin < probsEnd) {
    segment.tokenLogProbs.assign(logProbs.begin() + begin, logProbs.begin() + probsEnd);
  }
  return segment;
}

// No closing timestamp is followed by an opening one: the whole window is
// one segment, ending at its last timestamp after 0.00 if it has one.
TranscriptionSegment wholeWindowSegment(const WindowContext& window, int64_t segmentSize,
                                        int64_t sampleRate) {
  const std::vector<int64_t>& tokens = window.result.tokens;
  float duration = secondsOfSamples(segmentSize, sampleRate);
  const auto last = std::find_if(tokens.rbegin(), tokens.rend(),
                                 [&](int64_t token) { return token > window.timeToken; });
  if (last != tokens.rend()) duration = timestampSeconds(*last, window.timeToken);
  TranscriptionSegment segment = cutSegment(window, window.allSegmentsCount, 0, tokens.size(),
                                            window.timeOffset, window.timeOffset + duration);
  segment.tokenLogProbs = window.result.tokenLogProbs;
  return segment;
}

// One segment per slice, each timed by its first and last timestamp.
std::vector<TranscriptionSegment> slicedSegments(const WindowContext& window,
                                                 const std::vector<size_t>& sliceEnds) {
  const std::vector<int64_t>& tokens = window.result.tokens;
  const auto isTimestamp = [&](int64_t token) { return token >= window.timeToken; };
  std::vector<TranscriptionSegment> segments;
  segments.reserve(sliceEnds.size());
  size_t sliceStart = 0;
  for (const size_t sliceEnd : sliceEnds) {
    const auto begin = tokens.begin() + static_cast<std::ptrdiff_t>(sliceStart);
    const auto end = tokens.begin() + static_cast<std::ptrdiff_t>(sliceEnd);
    float start = window.timeOffset;
    float stop = window.timeOffset;
    // Every slice holds a timestamp by construction; the test keeps a
    // malformed one from being read past.
    if (const auto first = std::find_if(begin, end, isTimestamp); first != end) {
      const auto last = std::find_if(std::make_reverse_iterator(end),
                                     std::make_reverse_iterator(begin), isTimestamp);
      start += timestampSeconds(*first, window.timeToken);
      stop += timestampSeconds(*last, window.timeToken);
    }
    const int64_t id = window.allSegmentsCount + static_cast<int64_t>(segments.size());
    segments.push_back(cutSegment(window, id, sliceStart, sliceEnd, start, stop));
    sliceStart = sliceEnd;
  }
  return segments;
}

}  // namespace

SeekPointAndSegments SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& decodingResult, const DecodingOptions& options, int64_t allSegmentsCount,
    int64_t currentSeek, int64_t segmentSize, int64_t sampleRate, int64_t timeToken,
    int64_t /*specialToken*/, const WhisperTokenizer& tokenizer) const {
  if (isSilent(decodingResult, options)) return {currentSeek + segmentSize, std::nullopt};

  const std::vector<int64_t>& tokens = decodingResult.tokens;
  const TokenMarks marks = markTokens(tokens, timeToken);
  const WindowContext window{decodingResult,
                             tokenizer,
                             options.skipSpecialTokens,
                             allSegmentsCount,
                             currentSeek,
                             timeToken,
                             secondsOfSamples(currentSeek, sampleRate)};
  if (marks.consecutive.empty()) {
    return {currentSeek + segmentSize,
            std::vector<TranscriptionSegment>{wholeWindowSegment(window, segmentSize, sampleRate)}};
  }

  std::vector<size_t> sliceEnds = marks.consecutive;
  if (marks.singleTimestampEnding) {
    // The end-of-text token after the last closing timestamp stays out.
    sliceEnds.push_back(tokens.size() - 1);
  } else if (marks.noTimestampEnding) {
    sliceEnds.push_back(tokens.size());
  }
  std::vector<TranscriptionSegment> segments = slicedSegments(window, sliceEnds);
  if (marks.noTimestampEnding) return {currentSeek + segmentSize, std::move(segments)};

  // Resume at the last closing timestamp, or at the opening timestamp of the
  // unfinished tail so that the next window decodes it again.
  const size_t lastEnd = sliceEnds.back();
  const int64_t resumeToken = marks.singleTimestampEnding ? tokens[lastEnd - 1] : tokens[lastEnd];
  const float resumeSamples =
      timestampSeconds(resumeToken, timeToken) * static_cast<float>(sampleRate);
  return {currentSeek + truncatedSamples(resumeSamples), std::move(segments)};
}

}  // namespace kestrune
