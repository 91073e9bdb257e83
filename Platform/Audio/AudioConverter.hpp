#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "Platform/Audio/AudioFormat.hpp"
#include "Platform/Audio/PCMBuffer.hpp"

namespace platform::audio {

// Converts float PCM from one rate and channel count to another: channels
// are mapped first (a mono source is copied to every output channel, a
// multi-channel source averaged into mono, equal counts kept), then the
// rate is changed with libsoxr at high quality. The resampler's filter
// state is kept from one call to the next, so the consecutive chunks of one
// stream join without clicks; `endOfStream` drains the filter and readies
// the converter for a new stream. Failures throw AudioError.
class AudioConverter {
 public:
  AudioConverter(AudioFormat from, AudioFormat to);
  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  // Whether the converter can map `from` onto `to` at all.
  static bool supports(const AudioFormat& from, const AudioFormat& to);

  const AudioFormat& inputFormat() const noexcept { return from_; }
  const AudioFormat& outputFormat() const noexcept { return to_; }

  // All output the input yields now (with `endOfStream`, everything that is
  // left), in a buffer of exactly that many frames.
  PCMBuffer convert(const PCMBuffer& input, bool endOfStream);
  // The same, appended to `destination` (in the output format) as far as
  // its capacity allows; returns the number of frames appended.
  uint32_t convert(const PCMBuffer& input, bool endOfStream, PCMBuffer& destination);
  // The same, handed to `sink` in stretches (one plane per channel and the
  // number of frames in them) through a scratch block that is reused from
  // call to call, so that a long stream does not churn the heap.
  using Sink = std::function<void(const std::vector<std::vector<float>>& planes, size_t frames)>;
  void convert(const PCMBuffer& input, bool endOfStream, const Sink& sink);
  // Drops the filter state and any buffered audio.
  void reset();

 private:
  class Resampler;
  AudioFormat from_;
  AudioFormat to_;
  std::unique_ptr<Resampler> resampler_;
};

}  // namespace platform::audio
