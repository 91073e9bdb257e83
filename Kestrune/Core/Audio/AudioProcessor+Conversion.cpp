#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <numeric>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "Platform/Audio/AudioError.hpp"

namespace kestrune {

using platform::audio::AudioConverter;
using platform::audio::AudioError;
using platform::audio::AudioFile;
using platform::audio::AudioFormat;
using platform::audio::PCMBuffer;

namespace {

std::string twoDecimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

float peakMagnitude(std::span<const float> samples) {
  float peak = 0.0f;
  for (const float sample : samples) peak = std::max(peak, std::fabs(sample));
  return peak;
}

std::vector<uint32_t> selectedChannels(const std::optional<std::vector<int>>& list,
                                       uint32_t channelCount) {
  std::vector<uint32_t> selected;
  if (!list || list->empty()) {
    for (uint32_t channel = 0; channel < channelCount; ++channel) selected.push_back(channel);
    return selected;
  }
  for (const int channel : *list) {
    if (channel >= 0 && static_cast<uint32_t>(channel) < channelCount) {
      selected.push_back(static_cast<uint32_t>(channel));
    }
  }
  return selected;
}

void copyChannel(const PCMBuffer& source, uint32_t channel, PCMBuffer& mono) {
  const auto samples = source.samples(channel);
  std::copy(samples.begin(), samples.end(), mono.floatChannelData(0).begin());
}

// The sum of the channels, scaled so that it peaks where the loudest of
// them does: summing correlated channels would otherwise clip.
void sumInto(const PCMBuffer& source, const std::vector<uint32_t>& channels, PCMBuffer& mono) {
  auto sum = mono.floatChannelData(0).first(source.frameLength());
  std::fill(sum.begin(), sum.end(), 0.0f);
  float loudest = 0.0f;
  for (const uint32_t channel : channels) {
    const auto samples = source.samples(channel);
    loudest = std::max(loudest, peakMagnitude(samples));
    for (size_t i = 0; i < samples.size(); ++i) sum[i] += samples[i];
  }
  const float scale = loudest / std::max(peakMagnitude(sum), 0.0001f);
  for (float& sample : sum) sample *= scale;
}

bool usableRate(double rate) {
  return std::isfinite(rate) && rate > 0;
}

}  // namespace

namespace {

// The mix of `source` (two or more channels) into the mono buffer `mono`
// of at least the same capacity.
void mixDown(const PCMBuffer& source, const ChannelMode& mode, PCMBuffer& mono) {
  const uint32_t channels = source.channelCount();
  mono.setFrameLength(source.frameLength());
  if (mode.kind() == ChannelMode::Kind::specificChannel) {
    const int wanted = mode.channel();
    const bool inRange = wanted >= 0 && static_cast<uint32_t>(wanted) < channels;
    return copyChannel(source, inRange ? static_cast<uint32_t>(wanted) : 0, mono);
  }
  const std::vector<uint32_t> selected = selectedChannels(mode.channels(), channels);
  if (selected.empty()) {
    copyChannel(source, 0, mono);
    orvane::Logging::debug("No valid channel indices provided, defaulting to first channel");
    return;
  }
  sumInto(source, selected, mono);
}

}  // namespace

std::optional<PCMBuffer> AudioProcessor::convertToMono(const PCMBuffer& buffer,
                                                       const ChannelMode& mode) {
  if (buffer.channelCount() < 2) return buffer;
  std::optional<PCMBuffer> mono;
  try {
    mono.emplace(AudioFormat{buffer.format().sampleRate, 1}, buffer.frameCapacity());
  } catch (const std::bad_alloc&) {
    orvane::Logging::error("Failed to create mono buffer.");
    return std::nullopt;
  }
  mixDown(buffer, mode, *mono);
  return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(PCMBuffer& buffer, uint32_t chunkSize) {
  const uint32_t frames = buffer.frameLength();
  std::vector<float> samples;
  if (buffer.channelCount() == 0) return samples;
  samples.reserve(frames);
  auto channel = buffer.floatChannelData(0);
  const uint32_t step = std::max<uint32_t>(chunkSize, 1);
  for (uint32_t offset = 0; offset < frames; offset += step) {
    const auto stretch = channel.subspan(offset, std::min(step, frames - offset));
    samples.insert(samples.end(), stretch.begin(), stretch.end());
    std::fill(stretch.begin(), stretch.end(), 0.0f);
  }
  return samples;
}

PCMBuffer AudioProcessor::resampleBuffer(const PCMBuffer& buffer, AudioConverter& with) {
  const double inputRate = buffer.format().sampleRate;
  const double outputRate = with.outputFormat().sampleRate;
  const double exact = outputRate * static_cast<double>(buffer.frameLength()) / inputRate;
  double capacity = exact;
  if (exact != std::floor(exact)) {
    capacity = std::max(1.0, std::nearbyint(exact));
    orvane::Logging::debug("Rounding buffer frame capacity from " + orvane::textForm(exact) +
                           " to " + std::to_string(static_cast<uint64_t>(capacity)) +
                           " to better fit new sample rate");
  }
  if (!(capacity <= std::numeric_limits<uint32_t>::max())) {
    throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
  }
  std::optional<PCMBuffer> output;
  try {
    output.emplace(with.outputFormat(), static_cast<uint32_t>(capacity));
  } catch (const std::bad_alloc&) {
    throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
  }
  try {
    output->append(with.convert(buffer, true));
  } catch (const AudioError& failure) {
    throw WhisperError::audioProcessingFailed(std::string("Error converting audio: ") +
                                              failure.what());
  }
  return std::move(*output);
}

std::optional<PCMBuffer> AudioProcessor::resampleAudio(const PCMBuffer& fromBuffer,
                                                       double toSampleRate, uint32_t channelCount) {
  const AudioFormat target{toSampleRate, channelCount};
  if (!usableRate(toSampleRate) || channelCount == 0) {
    orvane::Logging::error("Failed to create output audio format");
    return std::nullopt;
  }
  if (!AudioConverter::supports(fromBuffer.format(), target)) {
    orvane::Logging::error("Failed to create audio converter");
    return std::nullopt;
  }
  try {
    AudioConverter converter(fromBuffer.format(), target);
    return resampleBuffer(fromBuffer, converter);
  } catch (const std::exception& failure) {
    orvane::Logging::error("Failed to resample buffer: " + orvane::errorText(failure));
    return std::nullopt;
  }
}

namespace {

// Reads `frameCount` frames from the file's position piece by piece, never
// more than the read limit at the source rate, mixes each piece down and
// converts it through one converter, so that its filter runs across the
// joints. False after an error line.
bool streamFromFile(AudioFile& file, const AudioFormat& output, const ChannelMode& channelMode,
                    int64_t frameCount, uint32_t readLimit, const AudioConverter::Sink& sink) {
  const AudioFormat input = file.processingFormat();
  const int64_t start = file.framePosition();
  const int64_t end = std::min(start + std::max<int64_t>(frameCount, 0), file.length());
  std::optional<PCMBuffer> chunk;
  std::optional<PCMBuffer> mono;
  try {
    chunk.emplace(input, static_cast<uint32_t>(std::clamp<int64_t>(end - start, 1, readLimit)));
    // One mono buffer serves every chunk.
    if (input.channelCount > 1) {
      mono.emplace(AudioFormat{input.sampleRate, 1}, chunk->frameCapacity());
    }
  } catch (const std::bad_alloc&) {
    orvane::Logging::error("Failed to create output buffer");
    return false;
  }
  std::optional<AudioConverter> converter;
  try {
    converter.emplace(AudioFormat{input.sampleRate, 1}, output);
    bool drained = false;
    for (int64_t position = start; position < end && !drained;) {
      const auto count = static_cast<uint32_t>(std::min<int64_t>(readLimit, end - position));
      orvane::Logging::debug(
          "Resampling " + twoDecimals(static_cast<double>(position) / input.sampleRate) + "s - " +
          twoDecimals(static_cast<double>(position + count) / input.sampleRate) + "s");
      try {
        file.read(*chunk, count);
      } catch (const AudioError& failure) {
        orvane::Logging::error(std::string("Error reading audio file: ") + failure.what());
        return false;
      }
      // A file shorter than its header claims ends the loop here.
      if (chunk->frameLength() == 0) break;
      position += chunk->frameLength();
      if (mono) mixDown(*chunk, channelMode, *mono);
      drained = position >= end;
      converter->convert(mono ? *mono : *chunk, drained, sink);
    }
    if (!drained) converter->convert(PCMBuffer(AudioFormat{input.sampleRate, 1}, 0), true, sink);
  } catch (const AudioError&) {
    orvane::Logging::error("Failed to resample audio chunk");
    return false;
  }
  return true;
}

}  // namespace

std::optional<PCMBuffer> AudioProcessor::resampleAudio(AudioFile& fromFile, double toSampleRate,
                                                       uint32_t channelCount,
                                                       const ChannelMode& channelMode,
                                                       int64_t frameCount,
                                                       std::optional<uint32_t> maxReadFrameSize) {
  const AudioFormat input = fromFile.processingFormat();
  const AudioFormat output{toSampleRate, channelCount};
  if (!usableRate(toSampleRate) || channelCount == 0) {
    orvane::Logging::error("Failed to create output audio format");
    return std::nullopt;
  }
  orvane::Logging::debug("Resampling " +
                         twoDecimals(static_cast<double>(frameCount) / input.sampleRate) +
                         " seconds of audio");
  const double capacity =
      std::trunc(static_cast<double>(frameCount) / input.sampleRate * toSampleRate);
  std::optional<PCMBuffer> result;
  try {
    if (!(capacity >= 0 && capacity <= std::numeric_limits<uint32_t>::max())) {
      throw std::bad_alloc();
    }
    result.emplace(output, static_cast<uint32_t>(capacity));
  } catch (const std::bad_alloc&) {
    orvane::Logging::error("Failed to create output buffer");
    return std::nullopt;
  }
  const auto appendToResult = [&](const std::vector<std::vector<float>>& planes, size_t frames) {
    PCMBuffer& buffer = *result;
    const auto copied = static_cast<uint32_t>(
        std::min<size_t>(frames, buffer.frameCapacity() - buffer.frameLength()));
    for (uint32_t c = 0; c < channelCount; ++c) {
      std::copy_n(planes[c].begin(), copied,
                  buffer.floatChannelData(c).begin() + buffer.frameLength());
    }
    buffer.setFrameLength(buffer.frameLength() + copied);
  };
  const uint32_t readLimit = std::max<uint32_t>(maxReadFrameSize.value_or(defaultReadFrameSize), 1);
  if (!streamFromFile(fromFile, output, channelMode, frameCount, readLimit, appendToResult)) {
    return std::nullopt;
  }
  return std::move(*result);
}

// Each segment is converted on its own, and a resampler sees silence beyond
// the ends of its input, which would leave a click at every joint. So the
// segment is read with some context on both sides that is cut off again.
// The context before it is a whole number of output samples long, counted
// from the anchor, so that every segment lands on the same 16 kHz grid. The
// samples go straight into the caller's array, with no segment-sized buffer
// in between.
void AudioProcessor::appendSegment(AudioFile& fromFile, const ChannelMode& channelMode,
                                   int64_t anchorFrame, int64_t startFrame, int64_t endFrame,
                                   std::vector<float>& samples) {
  const AudioFormat format = fromFile.processingFormat();
  if (fromFile.length() > std::numeric_limits<uint32_t>::max()) {
    throw WhisperError::loadAudioFailed(
        "Audio file is too long to load: " + std::to_string(fromFile.length()) + " frames");
  }
  if (format.sampleRate == sampleRate && format.channelCount == 1) {
    for (int64_t start = startFrame; start < endFrame; start += defaultReadFrameSize) {
      const PCMBuffer piece =
          loadFrames(fromFile, channelMode, start,
                     std::min<int64_t>(endFrame, start + defaultReadFrameSize), std::nullopt);
      const auto part = piece.samples(0);
      samples.insert(samples.end(), part.begin(), part.end());
      if (piece.frameLength() == 0) break;
    }
    return;
  }
  const auto inputRate = static_cast<int64_t>(std::llround(format.sampleRate));
  const auto outputRate = static_cast<int64_t>(sampleRate);
  const int64_t step = inputRate / std::gcd(inputRate, outputRate);
  const int64_t margin = (inputRate / 20 + step - 1) / step * step;
  const int64_t lead = std::min(margin, (startFrame - anchorFrame) / step * step);
  const int64_t contextEnd = std::min(fromFile.length(), endFrame + margin);
  const auto outputIndex = [&](int64_t frame) {
    return (frame - anchorFrame) * outputRate / inputRate;
  };
  auto skip = static_cast<size_t>(lead * outputRate / inputRate);
  auto keep = static_cast<size_t>(outputIndex(endFrame) - outputIndex(startFrame));
  const auto take = [&](const std::vector<std::vector<float>>& planes, size_t frames) {
    const size_t skipped = std::min(skip, frames);
    skip -= skipped;
    const size_t taken = std::min(keep, frames - skipped);
    samples.insert(samples.end(), planes[0].begin() + static_cast<ptrdiff_t>(skipped),
                   planes[0].begin() + static_cast<ptrdiff_t>(skipped + taken));
    keep -= taken;
  };
  try {
    fromFile.setFramePosition(startFrame - lead);
  } catch (const AudioError& failure) {
    throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") +
                                        failure.what());
  }
  if (!streamFromFile(fromFile, {sampleRate, 1}, channelMode, contextEnd - (startFrame - lead),
                      defaultReadFrameSize, take)) {
    throw WhisperError::loadAudioFailed("Failed to process audio buffer");
  }
  orvane::Logging::logCurrentMemoryUsage("After loadAudio function");
}

}  // namespace kestrune
