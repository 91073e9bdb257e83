#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace caretpeek {

// Runs `probe` in a child process and returns the line it produced, or
// `fallback` when the child ends without a complete line (it crashed or was
// ended by its library) or is still running after `limit` (it is then killed).
// When no child can be started the probe runs in this process.
std::string runBounded(const std::function<std::string()>& probe, std::chrono::milliseconds limit,
                       const std::string& fallback);

}  // namespace caretpeek
