#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace orvane {

class TraceSink;

// The state of one open interval. Copies refer to the same interval, so
// ending any of them ends it.
struct SignpostIntervalState {
  uint64_t id = 0;
  std::shared_ptr<std::atomic<bool>> ended;
};

// Marks named intervals of one subsystem and category. The marks go to a
// Chrome-trace JSON file when the environment variable KESTRUNE_TRACE_FILE
// names one (read once per process); otherwise marking costs next to nothing
// and leaves no trace.
class Signposter {
 public:
  Signposter(std::string subsystem, std::string category);
  // Marks into `traceFile` instead of the process's trace.
  static Signposter writingTo(const std::filesystem::path& traceFile, std::string subsystem,
                              std::string category);

  bool isEnabled() const noexcept { return sink_ != nullptr; }
  const std::string& subsystem() const noexcept { return subsystem_; }
  const std::string& category() const noexcept { return category_; }

  // Opens an interval with a fresh id.
  SignpostIntervalState beginInterval(std::string_view name) const;
  // Closes it; a second close is marked with "[Error] Interval already ended".
  void endInterval(std::string_view name, const SignpostIntervalState& interval) const;

 private:
  Signposter(std::shared_ptr<TraceSink> sink, std::string subsystem, std::string category);

  std::shared_ptr<TraceSink> sink_;
  std::string subsystem_;
  std::string category_;
};

SignpostIntervalState beginSignpost(std::string_view name, const Signposter& signposter);
void endSignpost(std::string_view name, const SignpostIntervalState& interval,
                 const Signposter& signposter);

}  // namespace orvane
