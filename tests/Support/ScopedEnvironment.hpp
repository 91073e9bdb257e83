#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

// Sets environment variables for its lifetime (an absent value removes the
// variable) and restores them after. Children started meanwhile inherit them.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::map<std::string, std::optional<std::string>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      apply(name, value);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) apply(name, value);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  static void apply(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testsupport
