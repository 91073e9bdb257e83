#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zandrel {

// One request line. Keys other than these are ignored; null counts as absent.
struct Request {
  std::string cmd;
  std::optional<int64_t> samples;
  std::optional<std::string> language;
};

// The largest sample count whose byte count (4 per sample) is still valid.
inline constexpr int64_t maxSampleCount = (int64_t{1} << 61) - 1;

// The request on `line`, or nothing when the line is not a JSON object whose
// "cmd" is a text, whose "samples" is an integer that fits 64 bits (a whole
// number written with a fraction or exponent counts) and whose "language" is
// a text.
std::optional<Request> decodeRequest(std::string_view line);

enum class Command { quit, transcribe, invalidTranscribe };

// What to do with a decoded request: "quit" and "transcribe" compare exactly;
// a transcribe needs a sample count from 0 to maxSampleCount.
Command commandOf(const Request& request);

}  // namespace zandrel
