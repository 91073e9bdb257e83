#include "OrvaneCore/ConcurrencyUtilities.hpp"

#include <fnmatch.h>
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

int ConcurrencyUtilities::activeProcessorCount() { return platform::activeProcessorCount(); }

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
  for (size_t n = 0; n < upto && end >= unit.size() &&
                     text.compare(end - unit.size(), unit.size(), unit) == 0;
       ++n) {
    end -= unit.size();
  }
  return text.substr(0, end);
}

std::string resolveAbsolutePath(const std::string& path) {
  std::string expanded = path;
  if (!expanded.empty() && expanded[0] == '~') {
    const char* home = std::getenv("HOME");
    expanded = std::string(home ? home : "") + expanded.substr(1);
  }
  if (!expanded.empty() && expanded[0] == '/') return expanded;
  std::error_code error;
  const auto current = std::filesystem::current_path(error);
  return (current / expanded).string();
}

}  // namespace orvane
