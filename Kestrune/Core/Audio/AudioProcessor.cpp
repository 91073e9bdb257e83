#include "Kestrune/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <limits>
#include <new>
#include <numeric>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "Platform/Audio/AudioError.hpp"

namespace kestrune {

using platform::audio::AudioError;
using platform::audio::AudioFile;
using platform::audio::AudioFormat;
using platform::audio::PCMBuffer;

namespace {

template <typename... Items>
void debugLine(const Items&... items) {
  orvane::Logging::shared().log(orvane::Logging::LogType::debug, "", std::nullopt, items...);
}

void logDetails(const char* what, double rate, uint32_t channels, int64_t frames) {
  debugLine(what, " - Sample Rate: ", rate, " Hz, Channel Count: ", channels,
            ", Frame Length: ", frames, ", Duration: ", static_cast<double>(frames) / rate, "s");
}

// Reads `frameCount` frames, or up to the end of the file when it ends
// sooner.
PCMBuffer readFully(AudioFile& file, uint32_t frameCount) {
  const AudioFormat format = file.processingFormat();
  std::optional<PCMBuffer> buffer;
  try {
    buffer.emplace(format, frameCount);
  } catch (const std::bad_alloc&) {
    throw WhisperError::loadAudioFailed("Unable to create audio buffer");
  }
  file.read(*buffer, frameCount);
  while (buffer->frameLength() < frameCount) {
    const uint32_t remaining = frameCount - buffer->frameLength();
    PCMBuffer rest(format, remaining);
    file.read(rest, remaining);
    if (rest.frameLength() == 0) break;
    const auto source = rest.samples(0);
    auto destination = buffer->floatChannelData(0).subspan(buffer->frameLength());
    std::copy(source.begin(), source.end(), destination.begin());
    buffer->setFrameLength(buffer->frameLength() + rest.frameLength());
  }
  return std::move(*buffer);
}

struct FrameRange {
  int64_t start;
  int64_t end;
};

FrameRange frameRange(const AudioFile& file, std::optional<double> startTime,
                      std::optional<double> endTime) {
  const double rate = file.processingFormat().sampleRate;
  const auto length = static_cast<double>(file.length());
  const double start = std::trunc(startTime.value_or(0.0) * rate);
  const double end = endTime ? std::min(length, std::trunc(rate * *endTime)) : length;
  // NaN fails every comparison, so it lands here too.
  if (!(start >= 0 && end >= start)) {
    throw WhisperError::loadAudioFailed("Invalid audio time range");
  }
  return {static_cast<int64_t>(start), static_cast<int64_t>(end)};
}

}  // namespace

AudioProcessor::AudioProcessor() = default;
AudioProcessor::~AudioProcessor() = default;

AudioFile AudioProcessor::openAudioFile(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
  }
  try {
    return AudioFile(path);
  } catch (const AudioError& failure) {
    throw WhisperError::loadAudioFailed(failure.what());
  }
}

PCMBuffer AudioProcessor::loadAudio(const std::string& fromPath, const ChannelMode& channelMode,
                                    std::optional<double> startTime, std::optional<double> endTime,
                                    std::optional<uint32_t> maxReadFrameSize) const {
  AudioFile file = openAudioFile(fromPath);
  return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

PCMBuffer AudioProcessor::loadAudio(AudioFile& fromFile, const ChannelMode& channelMode,
                                    std::optional<double> startTime, std::optional<double> endTime,
                                    std::optional<uint32_t> maxReadFrameSize) {
  const FrameRange range = frameRange(fromFile, startTime, endTime);
  return loadFrames(fromFile, channelMode, range.start, range.end, maxReadFrameSize);
}

PCMBuffer AudioProcessor::loadFrames(AudioFile& fromFile, const ChannelMode& channelMode,
                                     int64_t startFrame, int64_t endFrame,
                                     std::optional<uint32_t> maxReadFrameSize) {
  const AudioFormat format = fromFile.processingFormat();
  if (fromFile.length() > std::numeric_limits<uint32_t>::max()) {
    throw WhisperError::loadAudioFailed(
        "Audio file is too long to load: " + std::to_string(fromFile.length()) + " frames");
  }
  const int64_t frameCount = endFrame - startFrame;
  try {
    fromFile.setFramePosition(startFrame);
  } catch (const AudioError& failure) {
    throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") +
                                        failure.what());
  }
  std::optional<PCMBuffer> buffer;
  if (format.sampleRate == sampleRate && format.channelCount == 1) {
    try {
      buffer = readFully(fromFile, static_cast<uint32_t>(frameCount));
    } catch (const AudioError& failure) {
      throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") +
                                          failure.what());
    }
  } else {
    buffer = resampleAudio(fromFile, sampleRate, 1, channelMode, frameCount,
                           maxReadFrameSize.value_or(defaultReadFrameSize));
    if (!buffer) throw WhisperError::loadAudioFailed("Failed to process audio buffer");
  }
  logDetails("Audio source details", format.sampleRate, format.channelCount, fromFile.length());
  logDetails("Audio buffer details", buffer->format().sampleRate, buffer->channelCount(),
             buffer->frameLength());
  orvane::Logging::logCurrentMemoryUsage("After loadAudio function");
  return std::move(*buffer);
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& fromPath,
                                                         const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
  AudioFile file = openAudioFile(fromPath);
  const double duration = static_cast<double>(file.length()) / file.processingFormat().sampleRate;
  const double start = startTime.value_or(0.0);
  const double end = endTime ? std::min(*endTime, duration) : duration;
  std::vector<float> samples;
  if (!(end > start)) return samples;
  // Reserving the whole result up front keeps the array from doubling
  // (and briefly existing twice) as segments are appended.
  samples.reserve(static_cast<size_t>(std::ceil((end - start) * sampleRate)) + 1);
  const int64_t anchor = frameRange(file, start, end).start;
  for (double segmentStart = start; segmentStart < end; segmentStart += segmentSeconds) {
    const FrameRange range =
        frameRange(file, segmentStart, std::min(segmentStart + segmentSeconds, end));
    appendSegment(file, channelMode, anchor, range.start, range.end, samples);
  }
  return samples;
}

std::vector<AudioArrayOutcome> AudioProcessor::loadAudio(const std::vector<std::string>& at,
                                                         const ChannelMode& channelMode) const {
  std::vector<std::future<std::vector<float>>> tasks;
  tasks.reserve(at.size());
  for (const auto& path : at) {
    tasks.push_back(std::async(std::launch::async, [path, channelMode] {
      return loadAudioAsFloatArray(path, channelMode, 0.0, std::nullopt);
    }));
  }
  std::vector<AudioArrayOutcome> outcomes;
  outcomes.reserve(at.size());
  for (auto& task : tasks) {
    try {
      outcomes.emplace_back(task.get());
    } catch (...) {
      outcomes.emplace_back(std::current_exception());
    }
  }
  return outcomes;
}

std::optional<platform::ml::MLMultiArray> AudioProcessor::padOrTrimAudio(
    const std::vector<float>& fromArray, int64_t startAt, int64_t toLength, bool) const {
  const auto count = static_cast<int64_t>(fromArray.size());
  if (startAt < 0 || startAt >= count) {
    orvane::Logging::error("startIndex is outside the buffer size");
    return std::nullopt;
  }
  if (toLength <= 0) {
    orvane::Logging::error("Window length must be greater than 0");
    return std::nullopt;
  }
  const int64_t end = std::min(startAt + toLength, count);
  platform::ml::MLMultiArray window({toLength}, platform::ml::MLMultiArrayDataType::float32);
  std::copy(fromArray.begin() + startAt, fromArray.begin() + end, window.data<float>());
  return window;
}

std::optional<platform::ml::MLMultiArray> AudioProcessor::padOrTrim(
    const std::vector<float>& fromArray, int64_t startAt, int64_t toLength) {
  return padOrTrimAudio(fromArray, startAt, toLength, false);
}

std::vector<float> AudioProcessor::audioSamples() const {
  std::lock_guard guard(captureLock_);
  return audioSamples_;
}

size_t AudioProcessor::audioSampleCount() const {
  std::lock_guard guard(captureLock_);
  return audioSamples_.size();
}

void AudioProcessor::purgeAudioSamples(size_t keepingLast) {
  std::lock_guard guard(captureLock_);
  if (audioSamples_.size() > keepingLast) {
    audioSamples_.erase(audioSamples_.begin(),
                        audioSamples_.end() - static_cast<ptrdiff_t>(keepingLast));
  }
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
  std::lock_guard guard(captureLock_);
  return audioEnergy_;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
  std::lock_guard guard(captureLock_);
  std::vector<float> values;
  values.reserve(audioEnergy_.size());
  for (const auto& energy : audioEnergy_) values.push_back(energy.rel);
  return values;
}

int AudioProcessor::relativeEnergyWindow() const {
  std::lock_guard guard(captureLock_);
  return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(int window) {
  std::lock_guard guard(captureLock_);
  relativeEnergyWindow_ = window;
}

}  // namespace kestrune
