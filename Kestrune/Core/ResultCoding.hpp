#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "Kestrune/Core/TranscriptionResultStruct.hpp"

namespace orvane {
class JSONWriter;
}

namespace kestrune::detail {

// The JSON form shared by TranscriptionResult and its plain twin; they
// differ only in whether an absent seekTime is written as null and required.
void encodeResult(orvane::JSONWriter& writer, const TranscriptionResultStruct& result,
                  bool alwaysWriteSeekTime);
TranscriptionResultStruct decodeResult(const nlohmann::json& json, const std::string& path,
                                       bool requireSeekTime);

}  // namespace kestrune::detail
