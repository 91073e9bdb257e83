#include "Kestrune/Core/TranscriptionTimings.hpp"

#include <array>
#include <utility>

#include "Kestrune/Core/JSONReading.hpp"
#include "OrvaneCore/JSONWriter.hpp"

namespace kestrune {

namespace {

using Member = double TranscriptionTimings::*;

// The JSON keys in member order.
constexpr std::array<std::pair<std::string_view, Member>, 33> kMembers{{
    {"pipelineStart", &TranscriptionTimings::pipelineStart},
    {"firstTokenTime", &TranscriptionTimings::firstTokenTime},
    {"inputAudioSeconds", &TranscriptionTimings::inputAudioSeconds},
    {"modelLoading", &TranscriptionTimings::modelLoading},
    {"prewarmLoadTime", &TranscriptionTimings::prewarmLoadTime},
    {"encoderLoadTime", &TranscriptionTimings::encoderLoadTime},
    {"decoderLoadTime", &TranscriptionTimings::decoderLoadTime},
    {"encoderSpecializationTime", &TranscriptionTimings::encoderSpecializationTime},
    {"decoderSpecializationTime", &TranscriptionTimings::decoderSpecializationTime},
    {"tokenizerLoadTime", &TranscriptionTimings::tokenizerLoadTime},
    {"audioLoading", &TranscriptionTimings::audioLoading},
    {"audioProcessing", &TranscriptionTimings::audioProcessing},
    {"logmels", &TranscriptionTimings::logmels},
    {"encoding", &TranscriptionTimings::encoding},
    {"decodingInit", &TranscriptionTimings::decodingInit},
    {"decodingLoop", &TranscriptionTimings::decodingLoop},
    {"decodingPredictions", &TranscriptionTimings::decodingPredictions},
    {"decodingFiltering", &TranscriptionTimings::decodingFiltering},
    {"decodingSampling", &TranscriptionTimings::decodingSampling},
    {"decodingFallback", &TranscriptionTimings::decodingFallback},
    {"decodingWindowing", &TranscriptionTimings::decodingWindowing},
    {"decodingKvCaching", &TranscriptionTimings::decodingKvCaching},
    {"decodingWordTimestamps", &TranscriptionTimings::decodingWordTimestamps},
    {"decodingNonPrediction", &TranscriptionTimings::decodingNonPrediction},
    {"totalAudioProcessingRuns", &TranscriptionTimings::totalAudioProcessingRuns},
    {"totalLogmelRuns", &TranscriptionTimings::totalLogmelRuns},
    {"totalEncodingRuns", &TranscriptionTimings::totalEncodingRuns},
    {"totalDecodingLoops", &TranscriptionTimings::totalDecodingLoops},
    {"totalKVUpdateRuns", &TranscriptionTimings::totalKVUpdateRuns},
    {"totalTimestampAlignmentRuns", &TranscriptionTimings::totalTimestampAlignmentRuns},
    {"totalDecodingFallbacks", &TranscriptionTimings::totalDecodingFallbacks},
    {"totalDecodingWindows", &TranscriptionTimings::totalDecodingWindows},
    {"fullPipeline", &TranscriptionTimings::fullPipeline},
}};

}  // namespace

void TranscriptionTimings::encode(orvane::JSONWriter& writer) const {
  writer.beginObject();
  for (const auto& [key, member] : kMembers) writer.field(key, this->*member);
  writer.endObject();
}

std::string TranscriptionTimings::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

TranscriptionTimings TranscriptionTimings::decode(const nlohmann::json& json,
                                                  const std::string& path) {
  json::requireObject(json, path);
  TranscriptionTimings timings;
  for (const auto& [key, member] : kMembers) {
    timings.*member = json::asDouble(json::require(json, key, path), json::childPath(path, key));
  }
  return timings;
}

TranscriptionTimings TranscriptionTimings::fromJSON(std::string_view json) {
  return decode(json::parse(json));
}

}  // namespace kestrune
