#pragma once

#include <charconv>
#include <concepts>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace orvane {

// The textual form of a value as it appears in log lines and messages:
// texts as they are, booleans as true/false, numbers in their shortest form
// that reads back as the same value of their width.
inline std::string textForm(std::string_view text) {
  return std::string(text);
}
inline std::string textForm(const char* text) {
  return text;
}
inline std::string textForm(const std::string& text) {
  return text;
}
inline std::string textForm(bool value) {
  return value ? "true" : "false";
}

// Floats are written the way the system's own number descriptions are: the
// shortest digits that read back as the same value, in plain decimal with at
// least one fraction digit ("1.0", "0.0001", "16777216.0"), or in exponent
// form ("1e-05", "1e+08") for magnitudes below 1e-4 or above 2^25 (32-bit)
// or 2^54 (64-bit).
template <std::floating_point Number>
std::string textForm(Number value) {
  char buffer[512];
  if (value != value) return "nan";
  constexpr Number largest =
      sizeof(Number) == sizeof(float) ? Number(33554432.0) : Number(18014398509481984.0);
  const Number magnitude = value < 0 ? -value : value;
  const bool exponent = magnitude > largest || (magnitude != 0 && magnitude < Number(0.0001));
  const auto format = exponent ? std::chars_format::scientific : std::chars_format::fixed;
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  std::string text(buffer, result.ptr);
  if (!exponent && text.find_first_of(".n") == std::string::npos) text += ".0";
  return text;
}

template <typename Number>
requires(std::integral<Number> && !std::same_as<Number, bool> &&
         !std::same_as<Number, char>) std::string textForm(Number value) {
  return std::to_string(value);
}

template <typename Value>
requires(!std::is_arithmetic_v<Value> &&
         !std::is_convertible_v<Value, std::string_view>) std::string textForm(const Value& value) {
  if constexpr (requires { value.description(); }) {
    return std::string(value.description());
  } else {
    std::ostringstream out;
    out << value;
    return out.str();
  }
}

}  // namespace orvane
