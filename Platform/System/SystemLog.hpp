#pragma once

#include <string_view>

namespace platform {

// The system log (syslog on Linux). Lines carry their subsystem and category
// as a prefix so that they can be filtered like the platform's unified log.
class SystemLog {
 public:
  enum class Priority { debug, info, error };
  static void write(std::string_view subsystem, std::string_view category, Priority priority,
                    std::string_view line);
};

}  // namespace platform
