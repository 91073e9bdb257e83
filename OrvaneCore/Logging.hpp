#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "OrvaneCore/TextForm.hpp"

namespace orvane {

// The process-wide logger. Lines below the current level are dropped before
// their items are turned into text; the rest go to the installed callback, or
// to the system log when there is none. The lock guards only the level and
// the callback and is never held while a line is built or delivered, so a
// callback may itself log.
class Logging {
 public:
  enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };
  // The platform's log message types; each maps onto a level.
  enum class LogType { debug, info, defaultType, error, fault };
  using Callback = std::function<void(const std::string&)>;

  static Logging& shared();

  static std::optional<LogLevel> levelFromRawValue(int raw);
  static LogLevel levelFor(LogType type);

  LogLevel logLevel() const;
  void setLogLevel(LogLevel level);
  Callback loggingCallback() const;
  void setLoggingCallback(Callback callback);

  // Logs `items` joined by `separator`, then `terminator` when given.
  template <typename... Items>
  void log(LogType type, [[maybe_unused]] std::string_view separator,
           std::optional<std::string_view> terminator, const Items&... items) {
    const auto [level, callback] = snapshot();
    if (!passes(level, levelFor(type))) return;
    std::string line;
    [[maybe_unused]] bool first = true;
    ((appendItem(line, items, separator, first)), ...);
    if (terminator) line += *terminator;
    deliver(type, line, callback);
  }

  template <typename... Items>
  static void debug(const Items&... items) {
    shared().log(LogType::debug, " ", std::nullopt, items...);
  }
  template <typename... Items>
  static void info(const Items&... items) {
    shared().log(LogType::info, " ", std::nullopt, items...);
  }
  template <typename... Items>
  static void error(const Items&... items) {
    shared().log(LogType::error, " ", std::nullopt, items...);
  }

  static void updateLogLevel(LogLevel level) { shared().setLogLevel(level); }
  static void updateCallback(Callback callback) {
    shared().setLoggingCallback(std::move(callback));
  }
  static bool isLoggingEnabled();
  static bool isLoggingEnabled(LogLevel level);

  // Resident memory of the process in mebibytes; 0 when it cannot be read.
  static uint64_t getMemoryUsage();
  static void logCurrentMemoryUsage(std::string_view message);
  // "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%" of a time in seconds.
  static std::string formatTimeWithPercentage(double time, double runs, double totalMilliseconds);

 private:
  Logging() = default;
  std::pair<LogLevel, Callback> snapshot() const;
  static bool passes(LogLevel current, LogLevel wanted) {
    return current != LogLevel::none && static_cast<int>(wanted) >= static_cast<int>(current);
  }
  template <typename Item>
  static void appendItem(std::string& line, const Item& item, std::string_view separator,
                         bool& first) {
    if (!first) line += separator;
    first = false;
    line += textForm(item);
  }
  static void deliver(LogType type, const std::string& line, const Callback& callback);

  mutable std::mutex lock_;
  LogLevel logLevel_ = LogLevel::none;
  Callback loggingCallback_;
};

}  // namespace orvane
