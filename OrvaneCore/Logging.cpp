#include "OrvaneCore/Logging.hpp"

#include <cstdio>

#include "Platform/System/SystemInfo.hpp"
#include "Platform/System/SystemLog.hpp"

namespace orvane {

Logging& Logging::shared() {
  static Logging instance;
  return instance;
}

std::optional<Logging::LogLevel> Logging::levelFromRawValue(int raw) {
  if (raw < 1 || raw > 4) return std::nullopt;
  return static_cast<LogLevel>(raw);
}

Logging::LogLevel Logging::levelFor(LogType type) {
  switch (type) {
    case LogType::debug: return LogLevel::debug;
    case LogType::error:
    case LogType::fault: return LogLevel::error;
    case LogType::info:
    case LogType::defaultType: return LogLevel::info;
  }
  return LogLevel::info;
}

Logging::LogLevel Logging::logLevel() const {
  std::lock_guard guard(lock_);
  return logLevel_;
}

void Logging::setLogLevel(LogLevel level) {
  std::lock_guard guard(lock_);
  logLevel_ = level;
}

Logging::Callback Logging::loggingCallback() const {
  std::lock_guard guard(lock_);
  return loggingCallback_;
}

void Logging::setLoggingCallback(Callback callback) {
  std::lock_guard guard(lock_);
  loggingCallback_ = std::move(callback);
}

std::pair<Logging::LogLevel, Logging::Callback> Logging::snapshot() const {
  std::lock_guard guard(lock_);
  return {logLevel_, loggingCallback_};
}

void Logging::deliver(LogType type, const std::string& line, const Callback& callback) {
  if (callback) {
    callback(line);
    return;
  }
  using platform::SystemLog;
  const auto priority = type == LogType::debug              ? SystemLog::Priority::debug
                        : levelFor(type) == LogLevel::error ? SystemLog::Priority::error
                                                            : SystemLog::Priority::info;
  SystemLog::write("com.orvane.orvanecore", "Orvane", priority, line);
}

bool Logging::isLoggingEnabled() {
  return shared().logLevel() != LogLevel::none;
}

bool Logging::isLoggingEnabled(LogLevel level) {
  return passes(shared().logLevel(), level);
}

uint64_t Logging::getMemoryUsage() {
  return platform::residentMemoryBytes() >> 20;
}

void Logging::logCurrentMemoryUsage(std::string_view message) {
  if (!isLoggingEnabled(LogLevel::debug)) return;
  debug(std::string(message) + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB");
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double totalMilliseconds) {
  const double milliseconds = time * 1000.0;
  const double perRun = runs > 0 ? milliseconds / runs : 0.0;
  const double percentage = milliseconds / totalMilliseconds * 100.0;
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", milliseconds,
                runs, perRun, percentage);
  return buffer;
}

}  // namespace orvane
