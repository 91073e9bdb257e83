#include "Platform/Audio/AudioConverter.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Platform/Audio/AudioError.hpp"

namespace platform::audio {

namespace {

using Planes = std::vector<std::vector<float>>;

bool validFormat(const AudioFormat& format) {
  return format.channelCount > 0 && std::isfinite(format.sampleRate) && format.sampleRate > 0;
}

// The input's frames mapped onto `channels` output channels.
Planes mapChannels(const PCMBuffer& input, uint32_t channels) {
  const uint32_t frames = input.frameLength();
  const uint32_t sourceChannels = input.channelCount();
  Planes planes(channels, std::vector<float>(frames, 0.0f));
  if (sourceChannels == channels) {
    for (uint32_t c = 0; c < channels; ++c) {
      const auto source = input.samples(c);
      std::copy(source.begin(), source.end(), planes[c].begin());
    }
  } else if (sourceChannels == 1) {
    const auto source = input.samples(0);
    for (auto& plane : planes) std::copy(source.begin(), source.end(), plane.begin());
  } else {
    const float scale = 1.0f / static_cast<float>(sourceChannels);
    for (uint32_t c = 0; c < sourceChannels; ++c) {
      const auto source = input.samples(c);
      for (uint32_t i = 0; i < frames; ++i) planes[0][i] += source[i] * scale;
    }
  }
  return planes;
}

}  // namespace

class AudioConverter::Resampler {
 public:
  Resampler(double inputRate, double outputRate, uint32_t channels) : channels_(channels) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    handle_ = soxr_create(inputRate, outputRate, channels, &error, &io, &quality, nullptr);
    if (error != nullptr || handle_ == nullptr) {
      throw AudioError(std::string("Failed to create the resampler: ") +
                       (error ? error : "unknown error"));
    }
  }
  ~Resampler() { soxr_delete(handle_); }
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Feeds `frames` frames of the channel pointers (none: drain) and hands
  // each stretch of output to `deliver(planes, count)`. The output goes
  // through one scratch block that is reused from call to call, so a long
  // stream does not churn the heap.
  template <typename Deliver>
  void process(const std::vector<const float*>* input, size_t frames, Deliver&& deliver) {
    constexpr size_t step = 65536;
    scratch_.resize(channels_);
    for (auto& plane : scratch_) plane.resize(step);
    std::vector<const float*> in(channels_, nullptr);
    std::vector<float*> out(channels_);
    for (uint32_t c = 0; c < channels_; ++c) out[c] = scratch_[c].data();
    size_t consumed = 0;
    while (true) {
      for (uint32_t c = 0; c < channels_ && input; ++c) in[c] = (*input)[c] + consumed;
      size_t used = 0;
      size_t done = 0;
      const soxr_error_t error =
          soxr_process(handle_, input ? in.data() : nullptr, input ? frames - consumed : 0, &used,
                       out.data(), step, &done);
      if (error != nullptr) throw AudioError(std::string("Resampling failed: ") + error);
      consumed += used;
      if (done > 0) deliver(scratch_, done);
      const bool inputLeft = input && consumed < frames;
      if (!inputLeft && done < step) break;
    }
  }

  void clear() { soxr_clear(handle_); }

 private:
  soxr_t handle_ = nullptr;
  uint32_t channels_;
  Planes scratch_;
};

AudioConverter::AudioConverter(AudioFormat from, AudioFormat to) : from_(from), to_(to) {
  if (!supports(from, to)) throw AudioError("Unsupported audio conversion");
  if (from.sampleRate != to.sampleRate) {
    resampler_ = std::make_unique<Resampler>(from.sampleRate, to.sampleRate, to.channelCount);
  }
}

AudioConverter::~AudioConverter() = default;

bool AudioConverter::supports(const AudioFormat& from, const AudioFormat& to) {
  if (!validFormat(from) || !validFormat(to)) return false;
  return from.channelCount == to.channelCount || from.channelCount == 1 || to.channelCount == 1;
}

PCMBuffer AudioConverter::convert(const PCMBuffer& input, bool endOfStream) {
  Planes output(to_.channelCount);
  convert(input, endOfStream, [&](const Planes& planes, size_t count) {
    for (uint32_t c = 0; c < to_.channelCount; ++c) {
      output[c].insert(output[c].end(), planes[c].begin(), planes[c].begin() + count);
    }
  });
  return PCMBuffer(to_, std::move(output));
}

uint32_t AudioConverter::convert(const PCMBuffer& input, bool endOfStream, PCMBuffer& destination) {
  if (destination.format() != to_) throw AudioError("Destination does not have the output format");
  uint32_t appended = 0;
  convert(input, endOfStream, [&](const Planes& planes, size_t count) {
    const uint32_t room = destination.frameCapacity() - destination.frameLength();
    const auto copied = static_cast<uint32_t>(std::min<size_t>(count, room));
    for (uint32_t c = 0; c < to_.channelCount; ++c) {
      std::copy_n(planes[c].begin(), copied,
                  destination.floatChannelData(c).begin() + destination.frameLength());
    }
    destination.setFrameLength(destination.frameLength() + copied);
    appended += copied;
  });
  return appended;
}

void AudioConverter::convert(const PCMBuffer& input, bool endOfStream, const Sink& deliver) {
  if (input.format() != from_) throw AudioError("Input does not have the converter's format");
  Planes mapped;
  std::vector<const float*> channels;
  if (from_.channelCount == to_.channelCount) {
    for (uint32_t c = 0; c < to_.channelCount; ++c) channels.push_back(input.samples(c).data());
  } else {
    mapped = mapChannels(input, to_.channelCount);
    for (const auto& plane : mapped) channels.push_back(plane.data());
  }
  if (!resampler_) {
    Planes copy(to_.channelCount);
    for (uint32_t c = 0; c < to_.channelCount; ++c) {
      copy[c].assign(channels[c], channels[c] + input.frameLength());
    }
    return deliver(copy, input.frameLength());
  }
  resampler_->process(&channels, input.frameLength(), deliver);
  if (endOfStream) {
    resampler_->process(nullptr, 0, deliver);
    resampler_->clear();
  }
}

void AudioConverter::reset() {
  if (resampler_) resampler_->clear();
}

}  // namespace platform::audio
