#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {
class JSONWriter;
}

namespace kestrune {

// How a multi-channel source becomes mono: one channel (zero-based), or the
// peak-preserving sum of some channels (all of them when none are listed).
class ChannelMode {
 public:
  enum class Kind { specificChannel, sumChannels };

  static ChannelMode specificChannel(int channel) { return ChannelMode(channel); }
  static ChannelMode sumChannels(std::optional<std::vector<int>> channels = std::nullopt) {
    return ChannelMode(std::move(channels));
  }

  Kind kind() const noexcept { return kind_; }
  // The channel of specificChannel (0 for sumChannels).
  int channel() const noexcept { return channel_; }
  // The list of sumChannels (none for specificChannel).
  const std::optional<std::vector<int>>& channels() const noexcept { return channels_; }

  bool operator==(const ChannelMode&) const = default;

  // {"specificChannel":{"_0":1}} or {"sumChannels":{"_0":[0,1]}}; an absent
  // list is left out: {"sumChannels":{}}.
  void encode(orvane::JSONWriter& writer) const;
  static ChannelMode decode(const nlohmann::json& json, const std::string& path = "");

 private:
  explicit ChannelMode(int channel) : kind_(Kind::specificChannel), channel_(channel) {}
  explicit ChannelMode(std::optional<std::vector<int>> channels)
      : kind_(Kind::sumChannels), channels_(std::move(channels)) {}

  Kind kind_;
  int channel_ = 0;
  std::optional<std::vector<int>> channels_;
};

// Whether a file is read whole before transcription or streamed in
// segments of `chunkDurationSeconds` with at most `maxBufferedChunks`
// chunks waiting for the transcriber.
class AudioLoadingMode {
 public:
  enum class Kind { incremental, fullFile };
  static constexpr double defaultChunkDurationSeconds = 120;
  static constexpr int defaultMaxBufferedChunks = 2;

  static AudioLoadingMode incremental(double chunkDurationSeconds = defaultChunkDurationSeconds,
                                      int maxBufferedChunks = defaultMaxBufferedChunks) {
    return AudioLoadingMode(Kind::incremental, chunkDurationSeconds, maxBufferedChunks);
  }
  static AudioLoadingMode fullFile() { return AudioLoadingMode(Kind::fullFile, 0, 0); }

  Kind kind() const noexcept { return kind_; }
  double chunkDurationSeconds() const noexcept { return chunkDurationSeconds_; }
  int maxBufferedChunks() const noexcept { return maxBufferedChunks_; }

  bool operator==(const AudioLoadingMode&) const = default;

  // {"incremental":{"chunkDurationSeconds":120,"maxBufferedChunks":2}} or
  // {"fullFile":{}}.
  void encode(orvane::JSONWriter& writer) const;
  static AudioLoadingMode decode(const nlohmann::json& json, const std::string& path = "");

 private:
  AudioLoadingMode(Kind kind, double seconds, int chunks)
      : kind_(kind), chunkDurationSeconds_(seconds), maxBufferedChunks_(chunks) {}

  Kind kind_;
  double chunkDurationSeconds_;
  int maxBufferedChunks_;
};

// How the engine reads audio files.
struct AudioInputOptions {
  ChannelMode channelMode = ChannelMode::sumChannels();
  AudioLoadingMode audioLoadingMode = AudioLoadingMode::fullFile();

  bool operator==(const AudioInputOptions&) const = default;

  // {"channelMode":…,"audioLoadingMode":…}; both keys are required on
  // reading. Reading throws JSONDecodingError.
  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  static AudioInputOptions decode(const nlohmann::json& json, const std::string& path = "");
  static AudioInputOptions fromJSON(std::string_view json);
};

}  // namespace kestrune
