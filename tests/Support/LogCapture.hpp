#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaneCore/Logging.hpp"

namespace testsupport {

// Collects the log lines at `level` and up while it lives, then puts the
// logger back to silence.
class LogCapture {
 public:
  explicit LogCapture(orvane::Logging::LogLevel level = orvane::Logging::LogLevel::debug) {
    orvane::Logging::updateLogLevel(level);
    orvane::Logging::updateCallback([this](const std::string& line) {
      std::lock_guard guard(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() {
    orvane::Logging::updateCallback(nullptr);
    orvane::Logging::updateLogLevel(orvane::Logging::LogLevel::none);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }
  bool contains(const std::string& text) const {
    const auto all = lines();
    return std::any_of(all.begin(), all.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace testsupport
