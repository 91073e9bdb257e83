#include "OrvaneCore/UUID.hpp"

#include <cstdio>
#include <random>

namespace orvane {

UUID::UUID() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  const uint64_t high = generator();
  const uint64_t low = generator();
  for (int i = 0; i < 8; ++i) {
    bytes_[i] = static_cast<uint8_t>(high >> (56 - 8 * i));
    bytes_[8 + i] = static_cast<uint8_t>(low >> (56 - 8 * i));
  }
  bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0f) | 0x40);
  bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3f) | 0x80);
}

std::string UUID::uuidString() const {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(digits, sizeof digits, "%02X", bytes_[i]);
    text += digits;
  }
  return text;
}

}  // namespace orvane
