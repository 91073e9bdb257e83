#include "OrvaneCore/TypedError.hpp"

#include <cstdio>

namespace orvane {

namespace {

void appendEscapedControl(std::string& out, unsigned char c) {
  switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\0': out += "\\0"; return;
    default: {
      char buffer[16];
      // Two upper-case hex digits, as a debugger spells a control character.
      std::snprintf(buffer, sizeof buffer, "\\u{%02X}", static_cast<unsigned>(c));
      out += buffer;
    }
  }
}

}  // namespace

std::string debugQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\'' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7f) {
      appendEscapedControl(out, c);
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

TypedError::TypedError(std::string caseName, const std::vector<std::string>& renderedPayload)
    : caseName_(std::move(caseName)), textForm_(caseName_) {
  if (renderedPayload.empty()) return;
  textForm_ += '(';
  for (size_t i = 0; i < renderedPayload.size(); ++i) {
    if (i > 0) textForm_ += ", ";
    textForm_ += renderedPayload[i];
  }
  textForm_ += ')';
}

std::string errorText(const std::exception& error) {
  return error.what();
}

std::string errorText(const std::exception_ptr& error) {
  if (!error) return "unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return errorText(e);
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace orvane
