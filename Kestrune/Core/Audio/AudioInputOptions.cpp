#include "Kestrune/Core/Audio/AudioInputOptions.hpp"

#include <utility>

#include "Kestrune/Core/JSONReading.hpp"
#include "OrvaneCore/JSONWriter.hpp"

namespace kestrune {

namespace {

// An enumeration case is an object with exactly one key, the case name,
// holding the payload object.
std::pair<std::string, const nlohmann::json*> caseOf(const nlohmann::json& json,
                                                     const std::string& path) {
  const auto& object = json::requireObject(json, path);
  if (object.size() != 1) {
    throw JSONDecodingError::dataCorrupted(path, "Invalid number of keys found, expected one.");
  }
  const auto entry = object.begin();
  json::requireObject(entry.value(), json::childPath(path, entry.key()));
  return {entry.key(), &entry.value()};
}

[[noreturn]] void unknownCase(const std::string& path, const std::string& name) {
  throw JSONDecodingError::dataCorrupted(path,
                                         "Cannot initialize from invalid case \"" + name + "\"");
}

}  // namespace

void ChannelMode::encode(orvane::JSONWriter& writer) const {
  writer.beginObject();
  if (kind_ == Kind::specificChannel) {
    writer.key("specificChannel").beginObject().field("_0", channel_).endObject();
  } else {
    writer.key("sumChannels").beginObject();
    if (channels_) {
      writer.key("_0").beginArray();
      for (const int channel : *channels_) writer.value(channel);
      writer.endArray();
    }
    writer.endObject();
  }
  writer.endObject();
}

ChannelMode ChannelMode::decode(const nlohmann::json& json, const std::string& path) {
  const auto [name, payload] = caseOf(json, path);
  const std::string payloadPath = json::childPath(path, name);
  const std::string valuePath = json::childPath(payloadPath, "_0");
  if (name == "specificChannel") {
    return specificChannel(
        static_cast<int>(json::asInt(json::require(*payload, "_0", payloadPath), valuePath)));
  }
  if (name != "sumChannels") unknownCase(path, name);
  const nlohmann::json* list = json::optional(*payload, "_0");
  if (list == nullptr) return sumChannels();
  std::vector<int> channels;
  for (const int64_t channel : json::asIntList(*list, valuePath)) {
    channels.push_back(static_cast<int>(channel));
  }
  return sumChannels(std::move(channels));
}

void AudioLoadingMode::encode(orvane::JSONWriter& writer) const {
  writer.beginObject();
  if (kind_ == Kind::incremental) {
    writer.key("incremental")
        .beginObject()
        .field("chunkDurationSeconds", chunkDurationSeconds_)
        .field("maxBufferedChunks", maxBufferedChunks_)
        .endObject();
  } else {
    writer.key("fullFile").beginObject().endObject();
  }
  writer.endObject();
}

AudioLoadingMode AudioLoadingMode::decode(const nlohmann::json& json, const std::string& path) {
  const auto [name, payload] = caseOf(json, path);
  if (name == "fullFile") return fullFile();
  if (name != "incremental") unknownCase(path, name);
  const std::string payloadPath = json::childPath(path, name);
  const double seconds =
      json::asDouble(json::require(*payload, "chunkDurationSeconds", payloadPath),
                     json::childPath(payloadPath, "chunkDurationSeconds"));
  const auto chunks =
      static_cast<int>(json::asInt(json::require(*payload, "maxBufferedChunks", payloadPath),
                                   json::childPath(payloadPath, "maxBufferedChunks")));
  return incremental(seconds, chunks);
}

void AudioInputOptions::encode(orvane::JSONWriter& writer) const {
  writer.beginObject().key("channelMode");
  channelMode.encode(writer);
  writer.key("audioLoadingMode");
  audioLoadingMode.encode(writer);
  writer.endObject();
}

std::string AudioInputOptions::toJSON() const {
  orvane::JSONWriter writer;
  encode(writer);
  return writer.take();
}

AudioInputOptions AudioInputOptions::decode(const nlohmann::json& json, const std::string& path) {
  const auto& object = json::requireObject(json, path);
  return {ChannelMode::decode(json::require(object, "channelMode", path),
                              json::childPath(path, "channelMode")),
          AudioLoadingMode::decode(json::require(object, "audioLoadingMode", path),
                                   json::childPath(path, "audioLoadingMode"))};
}

AudioInputOptions AudioInputOptions::fromJSON(std::string_view text) {
  return decode(json::parse(text));
}

}  // namespace kestrune
