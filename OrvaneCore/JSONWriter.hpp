#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Raised when a value has no JSON form (a NaN or infinite number).
class JSONEncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes compact JSON with keys in the order they are written. Texts are
// UTF-8 with non-ASCII characters unescaped and the solidus escaped; invalid
// UTF-8 becomes U+FFFD so the output always parses. Numbers are written in
// the shortest form that reads back as the same value of their own width, so
// a 32-bit 0.56 prints as 0.56.
class JSONWriter {
 public:
  JSONWriter& beginObject();
  JSONWriter& endObject();
  JSONWriter& beginArray();
  JSONWriter& endArray();
  JSONWriter& key(std::string_view name);

  JSONWriter& value(std::string_view text);
  JSONWriter& value(const char* text) { return value(std::string_view(text)); }
  JSONWriter& value(const std::string& text) { return value(std::string_view(text)); }
  JSONWriter& value(bool flag);
  JSONWriter& value(float number);
  JSONWriter& value(double number);
  JSONWriter& value(int64_t number);
  JSONWriter& value(int number) { return value(static_cast<int64_t>(number)); }
  JSONWriter& value(uint64_t number);
  JSONWriter& null();
  // Inserts an already encoded JSON value.
  JSONWriter& raw(std::string_view json);

  template <typename Value>
  JSONWriter& field(std::string_view name, const Value& v) {
    key(name);
    return value(v);
  }

  const std::string& str() const noexcept { return out_; }
  std::string take() { return std::move(out_); }

  static void appendQuoted(std::string& out, std::string_view text);
  template <typename Number>
  static std::string number(Number value);

 private:
  void beforeValue();

  std::string out_;
  // One entry per open container: whether it already holds an element.
  std::vector<bool> hasElement_;
  bool afterKey_ = false;
};

}  // namespace orvane
