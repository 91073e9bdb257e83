#include <chrono>
#include <cstdio>
#include <string>

#include "Platform/Accessibility/Accessibility.hpp"
#include "caretpeek/BoundedRun.hpp"
#include "caretpeek/CaretContext.hpp"

namespace {

// Long enough for a slow but live desktop, short enough that the host never
// waits noticeably on a dead or hung accessibility service.
[[maybe_unused]] constexpr std::chrono::milliseconds kProbeLimit{4000};

std::string probe() {
  const auto accessibility = platform::accessibility::makeSystemAccessibility();
  return accessibility ? caretpeek::caretContextLine(*accessibility) : "NO_FOCUS";
}

// On Linux the accessibility work runs in a bounded child process: libatspi
// ends the process when it finds no bus, and a hung application can stall its
// calls, yet the host must get its line. macOS bounds its own calls, and its
// frameworks must not be used in a forked child, so there the probe runs here.
std::string boundedProbe() {
#if defined(__APPLE__)
  return probe();
#else
  return caretpeek::runBounded(probe, kProbeLimit, "NO_FOCUS");
#endif
}

}  // namespace

// Prints one line telling what precedes the caret in the focused text element
// and always exits 0.
int main() {
  std::string line = "NO_FOCUS";
  try {
    line = boundedProbe();
  } catch (...) {
    // Nothing could be asked: the same answer as a platform that refuses.
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}
