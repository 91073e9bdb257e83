#include "ZandrelANEHelper/InputReader.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

#include "ZandrelANEHelper/InputError.hpp"

namespace zandrel {

long InputReader::readSome(void* buffer, size_t length) {
  for (;;) {
    const ssize_t count = ::read(descriptor_, buffer, length);
    if (count >= 0) {
      consecutiveFailures_ = 0;
      return static_cast<long>(count);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd wanted{descriptor_, POLLIN, 0};
      if (::poll(&wanted, 1, -1) >= 0 || errno == EINTR) continue;
    }
    ++consecutiveFailures_;
    return -1;
  }
}

std::string InputReader::readLine() {
  std::string line;
  for (;;) {
    char byte = 0;
    const long count = readSome(&byte, 1);
    if (count < 0) throw std::system_error(errno, std::generic_category(), "read");
    if (count == 0) throw InputError::endOfFile();
    if (byte == '\n') return line;
    line += byte;
    if (line.size() > maxLineBytes) throw InputError::oversizedLine();
  }
}

namespace {

// Physical memory in bytes; a payload larger than this could never be held,
// and under memory overcommit its allocation might even succeed, only for the
// process to be killed once the bytes arrive.
uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

}  // namespace

std::optional<PCMPayload> InputReader::readPayload(uint64_t sampleCount) {
  if (sampleCount > physicalMemoryBytes() / sizeof(float)) throw std::bad_alloc();
  PCMPayload payload;
  // Left uninitialised: pages are only taken up as the bytes arrive.
  payload.data = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(sampleCount));
  payload.count = static_cast<size_t>(sampleCount);
  auto* bytes = reinterpret_cast<char*>(payload.data.get());
  const size_t expected = payload.count * sizeof(float);
  size_t held = 0;
  while (held < expected) {
    const long count = readSome(bytes + held, std::min(expected - held, maxReadBytes));
    if (count <= 0) return std::nullopt;
    held += static_cast<size_t>(count);
  }
  return payload;
}

}  // namespace zandrel
