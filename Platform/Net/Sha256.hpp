#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace platform::net {

// SHA-256 digests as lowercase hexadecimal, two digits per byte.
std::string sha256Hex(std::string_view bytes);
// Reads the file in pieces of `pieceSize` bytes; a file that cannot be read
// throws std::filesystem::filesystem_error.
std::string fileSha256Hex(const std::filesystem::path& file, size_t pieceSize = 1048576);

}  // namespace platform::net
