#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform::ml {

// Where the runtime's diagnostics go. The runtime sits below the engine's
// logger, so the engine installs a sink that forwards to it; without one
// the lines are dropped, keeping the runtime as silent as the engine.
class RuntimeLog {
 public:
  enum class Level { debug, info, error };
  using Sink = std::function<void(Level, const std::string&)>;

  static void setSink(Sink sink);
  static void write(Level level, const std::string& line);
  static void debug(const std::string& line) { write(Level::debug, line); }
};

}  // namespace platform::ml
