#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace zandrel {

// The audio of one request, exactly as it arrived.
struct PCMPayload {
  std::unique_ptr<float[]> data;
  size_t count = 0;
  std::span<const float> samples() const { return {data.get(), count}; }
};

// Reads the helper's input stream: request lines one byte per read, so that
// no byte past a line feed is ever taken from the parent, and PCM payloads in
// large reads into a buffer sized up front.
class InputReader {
 public:
  static constexpr size_t maxLineBytes = 65536;
  static constexpr size_t maxReadBytes = 1048576;
  // A stream that fails this many reads in a row, with no byte arriving in
  // between, is taken as lost: a parent cannot recover a broken descriptor,
  // and answering every failed read would otherwise spin forever.
  static constexpr int failureLimit = 8;

  explicit InputReader(int descriptor) : descriptor_(descriptor) {}

  // The next line without its line feed. Throws InputError::endOfFile when
  // the input ends (a partial line is dropped), InputError::oversizedLine
  // when the line grows past maxLineBytes (the bytes so far are dropped and
  // the next byte starts a new line), and std::system_error when a read
  // fails (the partial line is dropped).
  std::string readLine();

  // Exactly `sampleCount` native-order 32-bit floats, or nothing when the
  // input ends or fails first. Throws std::bad_alloc, before reading any
  // byte, when the payload is larger than the machine's physical memory or
  // no buffer of that size can be had.
  std::optional<PCMPayload> readPayload(uint64_t sampleCount);

  bool inputLost() const noexcept { return consecutiveFailures_ >= failureLimit; }

 private:
  // One read; retries interruptions and waits out a non-blocking descriptor.
  // Returns the byte count, 0 at end of input, or -1 with errno set.
  long readSome(void* buffer, size_t length);

  int descriptor_;
  int consecutiveFailures_ = 0;
};

}  // namespace zandrel
