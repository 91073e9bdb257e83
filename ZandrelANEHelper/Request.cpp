#include "ZandrelANEHelper/Request.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace zandrel {

namespace {

using nlohmann::json;

// The integer a JSON number stands for, when it is a whole number that fits.
std::optional<int64_t> wholeNumber(const json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // 2^63 is the first double past the range; the lower bound is exact.
    if (!std::isfinite(number) || number != std::trunc(number) || number >= 0x1p63 ||
        number < -0x1p63) {
      return std::nullopt;
    }
    return static_cast<int64_t>(number);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Request> decodeRequest(std::string_view line) {
  const json document = json::parse(line.begin(), line.end(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;

  Request request;
  const auto cmd = document.find("cmd");
  if (cmd == document.end() || !cmd->is_string()) return std::nullopt;
  request.cmd = cmd->get<std::string>();

  if (const auto samples = document.find("samples");
      samples != document.end() && !samples->is_null()) {
    request.samples = wholeNumber(*samples);
    if (!request.samples) return std::nullopt;
  }
  if (const auto language = document.find("language");
      language != document.end() && !language->is_null()) {
    if (!language->is_string()) return std::nullopt;
    request.language = language->get<std::string>();
  }
  return request;
}

Command commandOf(const Request& request) {
  if (request.cmd == "quit") return Command::quit;
  if (request.cmd == "transcribe" && request.samples && *request.samples >= 0 &&
      *request.samples <= maxSampleCount) {
    return Command::transcribe;
  }
  return Command::invalidTranscribe;
}

}  // namespace zandrel
