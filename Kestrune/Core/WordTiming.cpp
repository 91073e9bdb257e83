#include "Kestrune/Core/WordTiming.hpp"

#include "Kestrune/Core/HashCombine.hpp"
#include "Kestrune/Core/JSONReading.hpp"
#include "OrvaneCore/JSONWriter.hpp"

namespace kestrune {

void WordTiming::encode(orvane::JSONWriter& writer) const {
  writer.beginObject();
  writer.field("word", word);
  writer.key("tokens").beginArray();
  for (const int64_t token : tokens) writer.value(token);
  writer.endArray();
  writer.field("start", start);
  writer.field("end", end);
  writer.field("probability", probability);
  writer.endObject();
}

std::string WordTiming::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

WordTiming WordTiming::decode(const nlohmann::json& json, const std::string& path) {
  json::requireObject(json, path);
  const auto read = [&](std::string_view key) -> const nlohmann::json& {
    return json::require(json, key, path);
  };
  const auto at = [&](std::string_view key) { return json::childPath(path, key); };
  return WordTiming{
      .word = json::asString(read("word"), at("word")),
      .tokens = json::asIntList(read("tokens"), at("tokens")),
      .start = json::asFloat(read("start"), at("start")),
      .end = json::asFloat(read("end"), at("end")),
      .probability = json::asFloat(read("probability"), at("probability")),
  };
}

WordTiming WordTiming::fromJSON(std::string_view json) {
  return decode(json::parse(json));
}

}  // namespace kestrune

size_t std::hash<kestrune::WordTiming>::operator()(
    const kestrune::WordTiming& value) const noexcept {
  size_t seed = 0;
  kestrune::hashCombine(seed, value.word);
  kestrune::hashCombineRange(seed, value.tokens);
  kestrune::hashCombine(seed, value.start);
  kestrune::hashCombine(seed, value.end);
  kestrune::hashCombine(seed, value.probability);
  return seed;
}
