#include "OrvaneCore/JSONWriter.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace orvane {

namespace {

// Length of the valid UTF-8 sequence at `text[i]`, or 0 when it is invalid.
size_t validSequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  char32_t minimum;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0)
    length = 2, minimum = 0x80;
  else if ((lead & 0xF0) == 0xE0)
    length = 3, minimum = 0x800;
  else if ((lead & 0xF8) == 0xF0)
    length = 4, minimum = 0x10000;
  else
    return 0;
  if (i + length > text.size()) return 0;
  char32_t code = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

void JSONWriter::appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = validSequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

template <typename Number>
std::string JSONWriter::number(Number value) {
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(value)) throw JSONEncodingError("number is not finite");
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

template std::string JSONWriter::number<float>(float);
template std::string JSONWriter::number<double>(double);
template std::string JSONWriter::number<int64_t>(int64_t);
template std::string JSONWriter::number<uint64_t>(uint64_t);

void JSONWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasElement_.empty()) {
    if (hasElement_.back()) out_ += ',';
    hasElement_.back() = true;
  }
}

JSONWriter& JSONWriter::beginObject() {
  beforeValue();
  out_ += '{';
  hasElement_.push_back(false);
  return *this;
}

JSONWriter& JSONWriter::endObject() {
  out_ += '}';
  hasElement_.pop_back();
  return *this;
}

JSONWriter& JSONWriter::beginArray() {
  beforeValue();
  out_ += '[';
  hasElement_.push_back(false);
  return *this;
}

JSONWriter& JSONWriter::endArray() {
  out_ += ']';
  hasElement_.pop_back();
  return *this;
}

JSONWriter& JSONWriter::key(std::string_view name) {
  beforeValue();
  appendQuoted(out_, name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

JSONWriter& JSONWriter::value(std::string_view text) {
  beforeValue();
  appendQuoted(out_, text);
  return *this;
}

JSONWriter& JSONWriter::value(bool flag) {
  beforeValue();
  out_ += flag ? "true" : "false";
  return *this;
}

JSONWriter& JSONWriter::value(float number) {
  const std::string text = JSONWriter::number(number);
  beforeValue();
  out_ += text;
  return *this;
}

JSONWriter& JSONWriter::value(double number) {
  const std::string text = JSONWriter::number(number);
  beforeValue();
  out_ += text;
  return *this;
}

JSONWriter& JSONWriter::value(int64_t number) {
  beforeValue();
  out_ += JSONWriter::number(number);
  return *this;
}

JSONWriter& JSONWriter::value(uint64_t number) {
  beforeValue();
  out_ += JSONWriter::number(number);
  return *this;
}

JSONWriter& JSONWriter::null() {
  beforeValue();
  out_ += "null";
  return *this;
}

JSONWriter& JSONWriter::raw(std::string_view json) {
  beforeValue();
  out_ += json;
  return *this;
}

}  // namespace orvane
