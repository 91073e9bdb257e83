#pragma once

#include <string>
#include <string_view>

namespace zandrel {

// The helper's two output streams, written straight to their descriptors so
// that nothing waits in a buffer of ours: answers as the JSON text in one
// write and its line feed in a second, diagnostics as one write of
// "[ane-helper] " + message + line feed.
class OutputStreams {
 public:
  OutputStreams(int answers, int diagnostics) : answers_(answers), diagnostics_(diagnostics) {}

  // Returns the error text when the answer could not be written in full.
  std::string writeAnswer(std::string_view json) const;
  void writeDiagnostic(std::string_view message) const;

 private:
  int answers_;
  int diagnostics_;
};

// A printf-style text, for diagnostics with numbers.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zandrel
