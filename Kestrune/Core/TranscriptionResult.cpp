#include "Kestrune/Core/TranscriptionResult.hpp"

#include <algorithm>
#include <cstdio>

#include "Kestrune/Core/JSONReading.hpp"
#include "Kestrune/Core/ResultCoding.hpp"
#include "OrvaneCore/JSONWriter.hpp"
#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/TextForm.hpp"

namespace kestrune {

namespace {

template <typename... Arguments>
std::string format(const char* pattern, Arguments... arguments) {
  const int length = std::snprintf(nullptr, 0, pattern, arguments...);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, arguments...);
  return text;
}

std::string seconds(double value) {
  return format("%.2f", value) + " seconds";
}

}  // namespace

TranscriptionResult::TranscriptionResult(std::string text,
                                         std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

TranscriptionResult::TranscriptionResult(const TranscriptionResultStruct& plain)
    : TranscriptionResult(plain.text, plain.segments, plain.language, plain.timings,
                          plain.seekTime) {}

std::shared_ptr<TranscriptionResult> TranscriptionResult::make(
    std::string text, std::vector<TranscriptionSegment> segments, std::string language,
    TranscriptionTimings timings, std::optional<float> seekTime) {
  return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
                                               std::move(language), timings, seekTime);
}

std::vector<WordTiming> TranscriptionResult::allWords() const {
  return segments_.withLock([](const std::vector<TranscriptionSegment>& segments) {
    std::vector<WordTiming> words;
    for (const auto& segment : segments) {
      if (segment.words) words.insert(words.end(), segment.words->begin(), segment.words->end());
    }
    return words;
  });
}

void TranscriptionResult::logSegments() const {
  const auto all = segments();
  for (size_t i = 0; i < all.size(); ++i) {
    orvane::Logging::debug("[Segment " + std::to_string(i) + "] [" + format("%.2f", all[i].start) +
                           " --> " + format("%.2f", all[i].end) + "] " + all[i].text);
  }
}

void TranscriptionResult::logTimings() const {
  orvane::Logging::info(timingsReport());
}

std::string TranscriptionResult::timingsReport() const {
  const TranscriptionTimings t = timings();
  const int64_t totalTokens =
      segments_.withLock([](const std::vector<TranscriptionSegment>& segments) {
        int64_t count = 0;
        for (const auto& segment : segments) count += static_cast<int64_t>(segment.tokens.size());
        return count;
      });
  const double fullMilliseconds = std::max(t.decodingLoop, t.fullPipeline) * 1000.0;
  const double timeToFirstToken = t.firstTokenTime - t.pipelineStart;
  const auto stage = [&](const char* label, double time, double runs) {
    return std::string(label) +
           orvane::Logging::formatTimeWithPercentage(time, runs, fullMilliseconds);
  };
  const double realTimeFactor = t.fullPipeline / t.inputAudioSeconds;
  const std::vector<std::string> lines = {
      "---- Transcription Timings ----",
      stage("Audio Load:          ", t.audioLoading, 1),
      stage("Audio Processing:    ", t.audioProcessing, t.totalAudioProcessingRuns),
      stage("Mels:                ", t.logmels, t.totalLogmelRuns),
      stage("Encoding:            ", t.encoding, t.totalEncodingRuns),
      stage("Matrices Init:       ", t.decodingInit, 1),
      stage("Decoding:            ", t.decodingPredictions, t.totalDecodingLoops),
      stage("Non-inference:       ", t.decodingNonPrediction, t.totalDecodingLoops),
      stage("- Logit Filtering:   ", t.decodingFiltering, t.totalDecodingLoops),
      stage("- Sampling:          ", t.decodingSampling, t.totalDecodingLoops),
      stage("- Kv Caching:        ", t.decodingKvCaching, t.totalKVUpdateRuns),
      stage("- Word Timestamps:   ", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns),
      stage("- Windowing:         ", t.decodingWindowing - t.decodingWordTimestamps,
            t.totalDecodingWindows),
      stage("Fallbacks:           ", t.decodingFallback, t.totalDecodingFallbacks),
      stage("Decoding Full Loop:  ", t.decodingLoop, t.totalDecodingLoops),
      "-------------------------------",
      "Model Load Time:               " + seconds(t.modelLoading),
      "- Prewarm:                     " + seconds(t.prewarmLoadTime),
      "- Encoder:                     " + seconds(t.encoderLoadTime),
      "- Decoder:                     " + seconds(t.decoderLoadTime),
      "- Tokenizer:                   " + seconds(t.tokenizerLoadTime),
      "Inference Duration (Global):   " + seconds(t.fullPipeline),
      "- Decoding Loop (Avg/window):  " + seconds(t.decodingLoop / t.totalAudioProcessingRuns),
      "- Audio Windows:               " + format("%.2f", t.totalAudioProcessingRuns),
      "Time to first token:           " + seconds(timeToFirstToken),
      "Total Tokens:                  " + std::to_string(totalTokens),
      "Tokens per Second:             " + format("%.2f", t.tokensPerSecond()) + " tok/s",
      "Real Time Factor:              " + format("%.3f", realTimeFactor),
      "Speed Factor:                  " + format("%.3f", 1.0 / realTimeFactor),
      "Fallbacks:                     " + orvane::textForm(t.totalDecodingFallbacks),
  };
  std::string report;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) report += '\n';
    report += lines[i];
  }
  return report;
}

TranscriptionResultStruct TranscriptionResult::toStruct() const {
  return {text(), segments(), language(), timings(), seekTime()};
}

void TranscriptionResult::encode(orvane::JSONWriter& writer) const {
  detail::encodeResult(writer, toStruct(), /*alwaysWriteSeekTime=*/true);
}

std::string TranscriptionResult::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::decode(const nlohmann::json& json,
                                                                 const std::string& path) {
  return std::make_shared<TranscriptionResult>(
      detail::decodeResult(json, path, /*requireSeekTime=*/true));
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::fromJSON(std::string_view json) {
  return decode(json::parse(json));
}

}  // namespace kestrune
