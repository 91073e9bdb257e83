#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Audio/AudioFormat.hpp"
#include "Platform/Audio/PCMBuffer.hpp"

namespace platform::audio {

// An audio file opened for reading through FFmpeg: the first audio stream,
// decoded on demand into float planes at the file's own rate and channel
// count. Reads are sequential from `framePosition`; seeking moves it, so
// any stretch of a long file can be read without decoding what precedes it
// into memory. Every failure throws AudioError.
class AudioFile {
 public:
  explicit AudioFile(const std::string& path);
  ~AudioFile();
  AudioFile(AudioFile&&) noexcept;
  AudioFile& operator=(AudioFile&&) noexcept;
  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  const std::string& path() const noexcept;
  // The layout reads deliver: the stream's rate and channel count.
  const AudioFormat& processingFormat() const noexcept;
  // Frames in the stream.
  int64_t length() const noexcept;
  int64_t framePosition() const noexcept;
  // Positions the next read at `frame` (clamped to [0, length]).
  void setFramePosition(int64_t frame);

  // Replaces the buffer's contents with up to `frameCount` frames (at most
  // its capacity) from the current position and advances the position.
  // Fewer frames, down to none, mean the stream has ended. The buffer's
  // format must be the processing format.
  void read(PCMBuffer& buffer, uint32_t frameCount);

 private:
  struct Decoder;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace platform::audio
