#include "Kestrune/Core/TranscriptionSegment.hpp"

#include <charconv>

#include "Kestrune/Core/HashCombine.hpp"
#include "Kestrune/Core/JSONReading.hpp"
#include "OrvaneCore/JSONWriter.hpp"

namespace kestrune {

namespace {

void encodeTokenLogProbs(orvane::JSONWriter& writer, const TokenLogProbs& logProbs) {
  writer.beginArray();
  for (const auto& entry : logProbs) {
    writer.beginObject();
    for (const auto& [token, logProb] : entry) writer.field(std::to_string(token), logProb);
    writer.endObject();
  }
  writer.endArray();
}

int64_t tokenKey(const std::string& key, const std::string& path) {
  int64_t token = 0;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), token);
  if (key.empty() || error != std::errc() || end != key.data() + key.size()) {
    throw JSONDecodingError::dataCorrupted(path, "Expected Int key but found \"" + key + "\".");
  }
  return token;
}

TokenLogProbs decodeTokenLogProbs(const nlohmann::json& json, const std::string& path) {
  return json::asList<std::map<int64_t, float>>(
      json, path, [](const nlohmann::json& element, const std::string& elementPath) {
        json::requireObject(element, elementPath);
        std::map<int64_t, float> entry;
        for (const auto& [key, value] : element.items()) {
          const std::string valuePath = json::childPath(elementPath, key);
          entry[tokenKey(key, valuePath)] = json::asFloat(value, valuePath);
        }
        return entry;
      });
}

}  // namespace

void TranscriptionSegment::encode(orvane::JSONWriter& writer) const {
  writer.beginObject();
  writer.field("id", id);
  writer.field("seek", seek);
  writer.field("start", start);
  writer.field("end", end);
  writer.field("text", text);
  writer.key("tokens").beginArray();
  for (const int64_t token : tokens) writer.value(token);
  writer.endArray();
  encodeTokenLogProbs(writer.key("tokenLogProbs"), tokenLogProbs);
  writer.field("temperature", temperature);
  writer.field("avgLogprob", avgLogprob);
  writer.field("compressionRatio", compressionRatio);
  writer.field("noSpeechProb", noSpeechProb);
  if (words) {
    writer.key("words").beginArray();
    for (const auto& word : *words) word.encode(writer);
    writer.endArray();
  }
  writer.endObject();
}

std::string TranscriptionSegment::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

TranscriptionSegment TranscriptionSegment::decode(const nlohmann::json& json,
                                                  const std::string& path) {
  json::requireObject(json, path);
  const auto read = [&](std::string_view key) -> const nlohmann::json& {
    return json::require(json, key, path);
  };
  const auto at = [&](std::string_view key) { return json::childPath(path, key); };
  TranscriptionSegment segment{
      .id = json::asInt(read("id"), at("id")),
      .seek = json::asInt(read("seek"), at("seek")),
      .start = json::asFloat(read("start"), at("start")),
      .end = json::asFloat(read("end"), at("end")),
      .text = json::asString(read("text"), at("text")),
      .tokens = json::asIntList(read("tokens"), at("tokens")),
      .tokenLogProbs = decodeTokenLogProbs(read("tokenLogProbs"), at("tokenLogProbs")),
      .temperature = json::asFloat(read("temperature"), at("temperature")),
      .avgLogprob = json::asFloat(read("avgLogprob"), at("avgLogprob")),
      .compressionRatio = json::asFloat(read("compressionRatio"), at("compressionRatio")),
      .noSpeechProb = json::asFloat(read("noSpeechProb"), at("noSpeechProb")),
      .words = std::nullopt,
  };
  if (const auto* words = json::optional(json, "words")) {
    segment.words = json::asList<WordTiming>(*words, at("words"), WordTiming::decode);
  }
  return segment;
}

TranscriptionSegment TranscriptionSegment::fromJSON(std::string_view json) {
  return decode(json::parse(json));
}

}  // namespace kestrune

size_t std::hash<kestrune::TranscriptionSegment>::operator()(
    const kestrune::TranscriptionSegment& value) const noexcept {
  size_t seed = 0;
  kestrune::hashCombine(seed, value.id);
  kestrune::hashCombine(seed, value.seek);
  kestrune::hashCombine(seed, value.start);
  kestrune::hashCombine(seed, value.end);
  kestrune::hashCombine(seed, value.text);
  kestrune::hashCombineRange(seed, value.tokens);
  kestrune::hashCombine(seed, value.tokenLogProbs.size());
  for (const auto& entry : value.tokenLogProbs) {
    for (const auto& [token, logProb] : entry) {
      kestrune::hashCombine(seed, token);
      kestrune::hashCombine(seed, logProb);
    }
  }
  kestrune::hashCombine(seed, value.temperature);
  kestrune::hashCombine(seed, value.avgLogprob);
  kestrune::hashCombine(seed, value.compressionRatio);
  kestrune::hashCombine(seed, value.noSpeechProb);
  kestrune::hashCombine(seed, value.words.has_value());
  if (value.words) kestrune::hashCombineRange(seed, *value.words);
  return seed;
}
