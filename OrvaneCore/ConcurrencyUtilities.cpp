#include "OrvaneCore/ConcurrencyUtilities.hpp"

#include <fnmatch.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "Platform/System/SystemInfo.hpp"

namespace orvane {

void EarlyStopActor::set(bool value, const UUID& id) {
  std::lock_guard guard(mutex_);
  shouldStop_[id] = value;
}

bool EarlyStopActor::get(const UUID& id) const {
  std::lock_guard guard(mutex_);
  const auto found = shouldStop_.find(id);
  return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const UUID& id) {
  std::lock_guard guard(mutex_);
  const auto found = shouldStop_.find(id);
  if (found == shouldStop_.end()) return std::nullopt;
  const bool value = found->second;
  shouldStop_.erase(found);
  return value;
}

int ConcurrencyUtilities::activeProcessorCount() {
  return platform::activeProcessorCount();
}

std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob) {
  std::vector<std::string> result;
  for (const auto& name : names) {
    if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) result.push_back(name);
  }
  return result;
}

float rounded(float value, int places) {
  const float scale = std::pow(10.0f, static_cast<float>(places));
  const float product = value * scale;
  return std::round(product) / scale;
}

namespace {

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// "~" and "~/..." name the user's home, "~name/..." that user's home; a name
// that is not a user is left as it is.
std::string expandingTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  const size_t slash = path.find('/');
  const std::string user =
      path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
      return home + rest;
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr ? entry->pw_dir + rest : path;
  }
  const passwd* entry = ::getpwnam(user.c_str());
  return entry != nullptr ? entry->pw_dir + rest : path;
}

}  // namespace

std::string trimmingFromStart(const std::string& text, char32_t character, size_t upto) {
  const std::string unit = utf8(character);
  size_t start = 0;
  for (size_t n = 0; n < upto && text.compare(start, unit.size(), unit) == 0; ++n) {
    start += unit.size();
  }
  return text.substr(start);
}

std::string trimmingFromEnd(const std::string& text, char32_t character, size_t upto) {
  const std::string unit = utf8(character);
  size_t end = text.size();
  for (size_t n = 0;
       n < upto && end >= unit.size() && text.compare(end - unit.size(), unit.size(), unit) == 0;
       ++n) {
    end -= unit.size();
  }
  return text.substr(0, end);
}

std::string resolveAbsolutePath(const std::string& path) {
  const std::string expanded = expandingTilde(path);
  if (!expanded.empty() && expanded[0] == '/') return expanded;
  std::error_code error;
  const auto current = std::filesystem::current_path(error);
  return (current / expanded).string();
}

}  // namespace orvane
