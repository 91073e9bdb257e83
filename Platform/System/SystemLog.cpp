#include "Platform/System/SystemLog.hpp"

#include <syslog.h>

#include <string>

namespace platform {

void SystemLog::write(std::string_view subsystem, std::string_view category, Priority priority,
                      std::string_view line) {
  const int level = priority == Priority::debug  ? LOG_DEBUG
                    : priority == Priority::error ? LOG_ERR
                                                  : LOG_INFO;
  const std::string text(line);
  syslog(LOG_USER | level, "[%.*s:%.*s] %s", static_cast<int>(subsystem.size()), subsystem.data(),
         static_cast<int>(category.size()), category.data(), text.c_str());
}

}  // namespace platform
