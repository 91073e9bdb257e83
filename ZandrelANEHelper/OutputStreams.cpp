#include "ZandrelANEHelper/OutputStreams.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zandrel {

namespace {

// Writes all of `bytes` in as few calls as the descriptor allows (one for a
// pipe in blocking mode); returns errno on failure, 0 on success.
int writeFully(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return 0;
}

}  // namespace

std::string OutputStreams::writeAnswer(std::string_view json) const {
  int error = writeFully(answers_, json);
  if (error == 0) error = writeFully(answers_, "\n");
  return error == 0 ? std::string() : std::strerror(error);
}

void OutputStreams::writeDiagnostic(std::string_view message) const {
  std::string line = "[ane-helper] ";
  line += message;
  line += '\n';
  // Nowhere is left to report a failure of the diagnostic stream itself.
  (void)writeFully(diagnostics_, line);
}

std::string formatted(const char* format, ...) {
  char buffer[256];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length < 0) return {};
  return std::string(buffer, std::min(static_cast<size_t>(length), sizeof buffer - 1));
}

}  // namespace zandrel
