#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {
class JSONWriter;
}

namespace kestrune {

// One aligned word: its text as the tokenizer gives it (leading space and
// attached punctuation included), its tokens and its time span in seconds
// from the start of the input audio.
struct WordTiming {
  std::string word{};
  std::vector<int64_t> tokens{};
  float start = 0.0f;
  float end = 0.0f;
  float probability = 0.0f;

  float duration() const { return end - start; }
  bool operator==(const WordTiming&) const = default;

  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  // Every key is required; throws JSONDecodingError.
  static WordTiming decode(const nlohmann::json& json, const std::string& path = "");
  static WordTiming fromJSON(std::string_view json);
};

}  // namespace kestrune

template <>
struct std::hash<kestrune::WordTiming> {
  size_t operator()(const kestrune::WordTiming& value) const noexcept;
};
