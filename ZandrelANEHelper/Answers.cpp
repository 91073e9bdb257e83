#include "ZandrelANEHelper/Answers.hpp"

#include "OrvaneCore/JSONWriter.hpp"

namespace zandrel {

std::string encodeReadyResponse(double loadMilliseconds) {
  orvane::JSONWriter json;
  json.beginObject().field("ok", true).field("ready", true).field("load_ms", loadMilliseconds);
  return json.endObject().take();
}

std::string encodeTranscriptionResponse(const TranscriptionResponse& response) {
  orvane::JSONWriter json;
  json.beginObject().field("ok", true).field("text", response.text).key("words").beginArray();
  for (const WordResponse& word : response.words) {
    json.beginObject()
        .field("word", word.word)
        .field("start", word.start)
        .field("end", word.end)
        .field("probability", word.probability)
        .endObject();
  }
  json.endArray().field("decode_ms", response.decodeMilliseconds);
  return json.endObject().take();
}

std::string encodeErrorResponse(std::string_view message) {
  orvane::JSONWriter json;
  json.beginObject().field("ok", false).field("error", message);
  return json.endObject().take();
}

}  // namespace zandrel
