// Live capture. Buffers arrive on the capture thread: conversion runs there,
// the shared state is touched under captureLock_, and the caller's callback
// runs without the lock, so that it may read the processor.
//
// Engines are started and stopped without captureLock_ held: stopping waits
// for a buffer in progress, and that buffer may be waiting for the lock.

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "OrvaneCore/Logging.hpp"
#include "Platform/Audio/AudioError.hpp"
#include "Platform/Audio/CaptureEngine.hpp"

namespace kestrune {

using platform::audio::AudioConverter;
using platform::audio::AudioError;
using platform::audio::AudioFormat;
using platform::audio::CaptureEngine;
using platform::audio::CaptureSystem;
using platform::audio::PCMBuffer;

namespace {

// How many recent buffers the relative energy is measured against.
constexpr size_t energyReferenceCount = 20;

std::string describe(const AudioEnergy& energy) {
  return "AudioEnergy(rel: " + orvane::textForm(energy.rel) +
         ", avg: " + orvane::textForm(energy.avg) + ", max: " + orvane::textForm(energy.max) +
         ", min: " + orvane::textForm(energy.min) + ")";
}

AudioEnergy measure(const std::vector<float>& samples, const std::vector<AudioEnergy>& history) {
  const SignalEnergy energy = AudioProcessor::calculateEnergy(samples);
  AudioEnergy record{0.0f, energy.avg, energy.peak, energy.min};
  if (history.empty()) return record;
  const auto recent =
      history.end() - static_cast<ptrdiff_t>(std::min(history.size(), energyReferenceCount));
  float reference = std::numeric_limits<float>::infinity();
  for (auto it = recent; it != history.end(); ++it) reference = std::min(reference, it->avg);
  record.rel = AudioProcessor::calculateRelativeEnergy(samples, reference);
  return record;
}

}  // namespace

AudioProcessor::AudioProcessor(std::shared_ptr<CaptureSystem> captureSystem)
    : captureSystem_(std::move(captureSystem)) {}

AudioProcessor::CaptureShutdown::~CaptureShutdown() {
  owner->AudioProcessor::stopRecording();
}

CaptureSystem& AudioProcessor::captureSystem() const {
  return captureSystem_ ? *captureSystem_ : *CaptureSystem::portAudio();
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
  return getAudioDevices(*CaptureSystem::portAudio());
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices(CaptureSystem& system) {
  std::vector<platform::audio::CaptureDevice> inputs;
  try {
    inputs = system.inputDevices();
  } catch (const AudioError& failure) {
    orvane::Logging::error(std::string("Error: Unable to get the audio device IDs. ") +
                           failure.what());
    return {};
  }
  std::vector<AudioDevice> devices;
  for (const auto& input : inputs) {
    if (input.inputChannels >= 1) devices.push_back({input.id, input.name});
  }
  return devices;
}

bool AudioProcessor::requestRecordPermission() {
  return requestRecordPermission(*CaptureSystem::portAudio());
}

bool AudioProcessor::requestRecordPermission(CaptureSystem& system) {
  try {
    system.openEngine(std::nullopt, 1600);
    return true;
  } catch (const AudioError& failure) {
    orvane::Logging::error(std::string("Microphone access denied: ") + failure.what());
    return false;
  }
}

bool AudioProcessor::hasRecordPermission() const {
  return requestRecordPermission(captureSystem());
}

std::shared_ptr<CaptureEngine> AudioProcessor::setupEngine(
    std::optional<AudioDeviceID> inputDeviceID) {
  const auto frames = static_cast<uint32_t>(std::max(minBufferLength(), 1));
  std::shared_ptr<CaptureEngine> engine;
  try {
    engine = captureSystem().openEngine(inputDeviceID, frames);
  } catch (const AudioError& failure) {
    throw WhisperError::microphoneUnavailable(failure.what());
  }
  if (inputDeviceID) orvane::Logging::info("Successfully set input device.");

  const AudioFormat nodeFormat = engine->inputFormat();
  if (!(std::isfinite(nodeFormat.sampleRate) && nodeFormat.sampleRate > 0) ||
      nodeFormat.channelCount == 0) {
    throw WhisperError::audioProcessingFailed("Failed to create node format");
  }
  const AudioFormat desiredFormat{sampleRate, 1};
  std::shared_ptr<AudioConverter> converter;
  if (nodeFormat != desiredFormat) {
    if (!AudioConverter::supports(nodeFormat, desiredFormat)) {
      throw WhisperError::audioProcessingFailed("Failed to create audio converter");
    }
    try {
      converter = std::make_shared<AudioConverter>(nodeFormat, desiredFormat);
    } catch (const AudioError&) {
      throw WhisperError::audioProcessingFailed("Failed to create audio converter");
    }
  }

  // The converter keeps its filter state from buffer to buffer, so the
  // resampled stream has no seams at buffer edges.
  engine->installTap([this, converter](const PCMBuffer& buffer) {
    handleCapturedBuffer(buffer, converter.get());
  });
  try {
    engine->start();
  } catch (const AudioError& failure) {
    engine->removeTap();
    throw WhisperError::microphoneUnavailable(failure.what());
  }
  return engine;
}

void AudioProcessor::handleCapturedBuffer(const PCMBuffer& buffer, AudioConverter* converter) {
  std::vector<float> samples;
  if (converter) {
    try {
      PCMBuffer converted = converter->convert(buffer, false);
      samples = convertBufferToArray(converted);
    } catch (const AudioError& failure) {
      orvane::Logging::error(std::string("Failed to resample buffer: ") + failure.what());
      return;
    }
  } else {
    const auto mono = buffer.samples(0);
    samples.assign(mono.begin(), mono.end());
  }
  // The resampler holds back its first few frames, so a buffer may come out
  // empty; it carries no energy worth recording.
  if (samples.empty()) return;
  if (isInputSuppressed()) std::fill(samples.begin(), samples.end(), 0.0f);
  processBuffer(samples);
}

void AudioProcessor::processBuffer(const std::vector<float>& samples) {
  AudioBufferCallback callback;
  {
    std::lock_guard guard(captureLock_);
    audioSamples_.insert(audioSamples_.end(), samples.begin(), samples.end());
    const AudioEnergy energy = measure(samples, audioEnergy_);
    audioEnergy_.push_back(energy);
    callback = audioBufferCallback_;
    const auto period = static_cast<size_t>(std::max(minBufferLength_, 1)) *
                        static_cast<size_t>(std::max(relativeEnergyWindow_, 1));
    if (audioSamples_.size() % period == 0) {
      orvane::Logging::debug("Current audio size: " + std::to_string(audioSamples_.size()) +
                             " samples, most recent buffer: " + std::to_string(samples.size()) +
                             " samples, most recent energy: " + describe(energy));
    }
  }
  if (callback) callback(samples);
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
  std::lock_guard guard(captureLock_);
  isInputSuppressed_ = suppressed;
}

bool AudioProcessor::isInputSuppressed() const {
  std::lock_guard guard(captureLock_);
  return isInputSuppressed_;
}

bool AudioProcessor::isRecording() const {
  std::shared_ptr<CaptureEngine> engine;
  {
    std::lock_guard guard(captureLock_);
    engine = audioEngine_;
  }
  return engine && engine->isRunning();
}

std::optional<AudioDeviceID> AudioProcessor::lastInputDevice() const {
  std::lock_guard guard(captureLock_);
  return lastInputDevice_;
}

int AudioProcessor::minBufferLength() const {
  std::lock_guard guard(captureLock_);
  return minBufferLength_;
}

void AudioProcessor::setMinBufferLength(int frames) {
  std::lock_guard guard(captureLock_);
  minBufferLength_ = std::max(frames, 1);
}

std::shared_ptr<CaptureEngine> AudioProcessor::takeEngine() {
  std::lock_guard guard(captureLock_);
  return std::exchange(audioEngine_, nullptr);
}

void AudioProcessor::startRecordingLive(std::optional<AudioDeviceID> inputDeviceID,
                                        AudioBufferCallback callback) {
  stopRecording();
  {
    std::lock_guard guard(captureLock_);
    audioSamples_.clear();
    audioEnergy_.clear();
    // Stored before the engine starts, so that its first buffers reach it.
    audioBufferCallback_ = std::move(callback);
  }
  auto engine = setupEngine(inputDeviceID);
  std::lock_guard guard(captureLock_);
  audioEngine_ = std::move(engine);
  lastInputDevice_ = inputDeviceID;
}

std::pair<AudioSampleStream, AudioSampleStream::Continuation>
AudioProcessor::startStreamingRecordingLive(std::optional<AudioDeviceID> inputDeviceID) {
  auto [stream, continuation] = AudioSampleStream::make();
  stream.setOnTermination([this, alive = std::weak_ptr<int>(lifeToken_)] {
    if (!alive.lock()) return;
    {
      std::lock_guard guard(captureLock_);
      audioBufferCallback_ = nullptr;
    }
    stopRecording();
  });
  try {
    startRecordingLive(inputDeviceID, [continuation](const std::vector<float>& samples) {
      continuation.yield(samples);
    });
  } catch (...) {
    continuation.finish(std::current_exception());
  }
  return {std::move(stream), continuation};
}

void AudioProcessor::pauseRecording() {
  std::shared_ptr<CaptureEngine> engine;
  {
    std::lock_guard guard(captureLock_);
    engine = audioEngine_;
  }
  if (engine) engine->pause();
}

void AudioProcessor::resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID,
                                         AudioBufferCallback callback) {
  std::shared_ptr<CaptureEngine> kept;
  {
    std::lock_guard guard(captureLock_);
    if (callback) audioBufferCallback_ = std::move(callback);
    if (inputDeviceID == lastInputDevice_) kept = audioEngine_;
  }
  if (kept) {
    try {
      kept->start();
    } catch (const AudioError& failure) {
      throw WhisperError::microphoneUnavailable(failure.what());
    }
    return;
  }
  stopRecording();
  auto engine = setupEngine(inputDeviceID);
  std::lock_guard guard(captureLock_);
  audioEngine_ = std::move(engine);
  lastInputDevice_ = inputDeviceID;
}

void AudioProcessor::stopRecording() {
  const auto engine = takeEngine();
  if (!engine) return;
  engine->removeTap();
  engine->stop();
}

}  // namespace kestrune
