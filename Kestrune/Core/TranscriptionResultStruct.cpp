#include "Kestrune/Core/TranscriptionResultStruct.hpp"

#include "Kestrune/Core/JSONReading.hpp"
#include "Kestrune/Core/ResultCoding.hpp"
#include "OrvaneCore/JSONWriter.hpp"

namespace kestrune {

void TranscriptionResultStruct::encode(orvane::JSONWriter& writer) const {
  detail::encodeResult(writer, *this, /*alwaysWriteSeekTime=*/false);
}

std::string TranscriptionResultStruct::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

TranscriptionResultStruct TranscriptionResultStruct::decode(const nlohmann::json& json,
                                                            const std::string& path) {
  return detail::decodeResult(json, path, /*requireSeekTime=*/false);
}

TranscriptionResultStruct TranscriptionResultStruct::fromJSON(std::string_view json) {
  return decode(json::parse(json));
}

namespace detail {

void encodeResult(orvane::JSONWriter& writer, const TranscriptionResultStruct& result,
                  bool alwaysWriteSeekTime) {
  writer.beginObject();
  writer.field("text", result.text);
  writer.key("segments").beginArray();
  for (const auto& segment : result.segments) segment.encode(writer);
  writer.endArray();
  writer.field("language", result.language);
  writer.key("timings");
  result.timings.encode(writer);
  if (result.seekTime) {
    writer.field("seekTime", *result.seekTime);
  } else if (alwaysWriteSeekTime) {
    writer.key("seekTime").null();
  }
  writer.endObject();
}

TranscriptionResultStruct decodeResult(const nlohmann::json& json, const std::string& path,
                                       bool requireSeekTime) {
  json::requireObject(json, path);
  const auto read = [&](std::string_view key) -> const nlohmann::json& {
    return json::require(json, key, path);
  };
  const auto at = [&](std::string_view key) { return json::childPath(path, key); };
  TranscriptionResultStruct result{
      .text = json::asString(read("text"), at("text")),
      .segments = json::asList<TranscriptionSegment>(read("segments"), at("segments"),
                                                     TranscriptionSegment::decode),
      .language = json::asString(read("language"), at("language")),
      .timings = TranscriptionTimings::decode(read("timings"), at("timings")),
      .seekTime = std::nullopt,
  };
  if (requireSeekTime && !json.contains("seekTime")) {
    throw JSONDecodingError::keyNotFound(path, "seekTime");
  }
  if (const auto* seekTime = json::optional(json, "seekTime")) {
    result.seekTime = json::asFloat(*seekTime, at("seekTime"));
  }
  return result;
}

}  // namespace detail
}  // namespace kestrune
