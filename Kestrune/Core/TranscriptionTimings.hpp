#pragma once

#include <limits>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace orvane {
class JSONWriter;
}

namespace kestrune {

// Stage timings of one transcription in seconds; the members named total…
// are counts kept as doubles. The two absolute times start at the greatest
// finite double so that taking the minimum with a real time works, and the
// audio length starts just above zero so that ratios never divide by zero.
// Build it with designated initialisers; `decodingWordTimestamps` is the
// word-timestamp alignment time.
struct TranscriptionTimings {
  double pipelineStart = std::numeric_limits<double>::max();
  double firstTokenTime = std::numeric_limits<double>::max();
  double inputAudioSeconds = 0.001;
  double modelLoading = 0;
  double prewarmLoadTime = 0;
  double encoderLoadTime = 0;
  double decoderLoadTime = 0;
  double encoderSpecializationTime = 0;
  double decoderSpecializationTime = 0;
  double tokenizerLoadTime = 0;
  double audioLoading = 0;
  double audioProcessing = 0;
  double logmels = 0;
  double encoding = 0;
  double decodingInit = 0;
  double decodingLoop = 0;
  double decodingPredictions = 0;
  double decodingFiltering = 0;
  double decodingSampling = 0;
  double decodingFallback = 0;
  double decodingWindowing = 0;
  double decodingKvCaching = 0;
  double decodingWordTimestamps = 0;
  double decodingNonPrediction = 0;
  double totalAudioProcessingRuns = 0;
  double totalLogmelRuns = 0;
  double totalEncodingRuns = 0;
  double totalDecodingLoops = 0;
  double totalKVUpdateRuns = 0;
  double totalTimestampAlignmentRuns = 0;
  double totalDecodingFallbacks = 0;
  double totalDecodingWindows = 0;
  double fullPipeline = 0;

  double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
  double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
  double speedFactor() const { return inputAudioSeconds / fullPipeline; }

  bool operator==(const TranscriptionTimings&) const = default;

  // All 33 keys are written and required. Throws orvane::JSONEncodingError
  // for a value without a JSON form (infinite or NaN).
  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  static TranscriptionTimings decode(const nlohmann::json& json, const std::string& path = "");
  static TranscriptionTimings fromJSON(std::string_view json);
};

}  // namespace kestrune
