#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace orvane {

// A random (version 4) universally unique identifier.
class UUID {
 public:
  UUID();  // a fresh random identifier
  std::string uuidString() const;
  bool operator==(const UUID&) const = default;
  auto operator<=>(const UUID&) const = default;
  const std::array<uint8_t, 16>& bytes() const noexcept { return bytes_; }

 private:
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace orvane

template <>
struct std::hash<orvane::UUID> {
  size_t operator()(const orvane::UUID& id) const noexcept {
    size_t h = 0;
    for (const auto b : id.bytes()) h = h * 131 + b;
    return h;
  }
};
