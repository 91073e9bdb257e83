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
inline std::string textForm(std::string_view text) { return std::string(text); }
inline std::string textForm(const char* text) { return text; }
inline std::string textForm(const std::string& text) { return text; }
inline std::string textForm(bool value) { return value ? "true" : "false"; }

template <std::floating_point Number>
std::string textForm(Number value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  // Whole numbers keep one decimal, as in "1.0", so floats stay recognisable.
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

template <typename Number>
  requires(std::integral<Number> && !std::same_as<Number, bool> && !std::same_as<Number, char>)
std::string textForm(Number value) {
  return std::to_string(value);
}

template <typename Value>
  requires(!std::is_arithmetic_v<Value> && !std::is_convertible_v<Value, std::string_view>)
std::string textForm(const Value& value) {
  if constexpr (requires { value.description(); }) {
    return std::string(value.description());
  } else {
    std::ostringstream out;
    out << value;
    return out.str();
  }
}

}  // namespace orvane
