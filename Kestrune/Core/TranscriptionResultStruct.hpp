#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/TranscriptionSegment.hpp"
#include "Kestrune/Core/TranscriptionTimings.hpp"

namespace kestrune {

// A plain copy of a TranscriptionResult, without locks.
struct TranscriptionResultStruct {
  std::string text{};
  std::vector<TranscriptionSegment> segments{};
  std::string language{};
  TranscriptionTimings timings{};
  std::optional<float> seekTime{};

  bool operator==(const TranscriptionResultStruct&) const = default;

  // "seekTime" is written only when present and may be missing on reading.
  void encode(orvane::JSONWriter& writer) const;
  std::string toJSON() const;
  static TranscriptionResultStruct decode(const nlohmann::json& json, const std::string& path = "");
  static TranscriptionResultStruct fromJSON(std::string_view json);
};

}  // namespace kestrune
