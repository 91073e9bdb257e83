#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/Support/TemporaryFolder.hpp"

namespace fuzzsupport {

// Splits a fuzz input at a marker line, so one input can carry several
// files (a manifest and its weights, a tokenizer and a text). Parts past
// `count` stay joined in the last one; missing parts are empty.
inline std::vector<std::string_view> splitParts(std::string_view input, size_t count,
                                                std::string_view marker = "\n--8<--\n") {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < count) {
    const size_t at = input.find(marker);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at));
    input.remove_prefix(at + marker.size());
  }
  parts.push_back(input);
  parts.resize(count);
  return parts;
}

inline std::string_view asText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// One folder per fuzzing process, reused by every input so that the file
// system is not the bottleneck.
inline const std::filesystem::path& scratchFolder() {
  static const testsupport::TemporaryFolder folder;
  return folder.path();
}

inline void writeFile(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// An anonymous in-memory file holding `bytes`, positioned at its start; a
// regular file never blocks a reader, whatever its size.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : descriptor_(::memfd_create("fuzz", 0)) {
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t count = ::write(descriptor_, bytes.data() + written, bytes.size() - written);
      if (count <= 0) break;
      written += static_cast<size_t>(count);
    }
    ::lseek(descriptor_, 0, SEEK_SET);
  }
  ~MemoryFile() { ::close(descriptor_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  int descriptor() const { return descriptor_; }
  std::string contents() const {
    std::string bytes;
    char block[4096];
    ::lseek(descriptor_, 0, SEEK_SET);
    for (ssize_t count; (count = ::read(descriptor_, block, sizeof block)) > 0;) {
      bytes.append(block, static_cast<size_t>(count));
    }
    return bytes;
  }

 private:
  int descriptor_;
};

}  // namespace fuzzsupport
