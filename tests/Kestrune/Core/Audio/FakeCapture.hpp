#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Audio/AudioError.hpp"
#include "Platform/Audio/CaptureEngine.hpp"

namespace testsupport {

// A capture device driven by the test: emit() hands a buffer to the tap on
// the calling thread, as the capture thread would, while the engine runs.
class FakeCaptureEngine : public platform::audio::CaptureEngine {
 public:
  FakeCaptureEngine(platform::audio::CaptureDevice device, platform::audio::AudioFormat format,
                    uint32_t frames)
      : device_(std::move(device)), format_(format), frames_(frames) {}

  const platform::audio::CaptureDevice& device() const override { return device_; }
  platform::audio::AudioFormat inputFormat() const override { return format_; }
  uint32_t framesPerBuffer() const override { return frames_; }
  void installTap(TapHandler handler) override {
    std::lock_guard guard(lock_);
    tap_ = std::move(handler);
  }
  void removeTap() override {
    std::lock_guard guard(lock_);
    tap_ = nullptr;
  }
  void start() override {
    std::lock_guard guard(lock_);
    if (failStart) throw platform::audio::AudioError("device busy");
    ++starts;
    running_ = true;
  }
  void pause() override {
    std::lock_guard guard(lock_);
    ++pauses;
    running_ = false;
  }
  void stop() override {
    std::lock_guard guard(lock_);
    ++stops;
    running_ = false;
  }
  bool isRunning() const override {
    std::lock_guard guard(lock_);
    return running_;
  }
  bool hasTap() const {
    std::lock_guard guard(lock_);
    return static_cast<bool>(tap_);
  }

  // Returns whether the buffer reached a tap.
  bool emit(const platform::audio::PCMBuffer& buffer) {
    std::lock_guard guard(lock_);
    if (!running_ || !tap_) return false;
    tap_(buffer);
    return true;
  }
  bool emitMono(std::vector<float> samples) {
    return emit(platform::audio::PCMBuffer(format_, {std::move(samples)}));
  }

  int starts = 0;
  int pauses = 0;
  int stops = 0;
  bool failStart = false;

 private:
  platform::audio::CaptureDevice device_;
  platform::audio::AudioFormat format_;
  uint32_t frames_;
  mutable std::recursive_mutex lock_;
  TapHandler tap_;
  bool running_ = false;
};

// What the code under test owns: it forwards to an engine the fake system
// keeps, so that the test can still look at an engine after its owner let
// it go.
class FakeEngineHandle : public platform::audio::CaptureEngine {
 public:
  explicit FakeEngineHandle(std::shared_ptr<FakeCaptureEngine> engine)
      : engine_(std::move(engine)) {}
  const platform::audio::CaptureDevice& device() const override { return engine_->device(); }
  platform::audio::AudioFormat inputFormat() const override { return engine_->inputFormat(); }
  uint32_t framesPerBuffer() const override { return engine_->framesPerBuffer(); }
  void installTap(TapHandler handler) override { engine_->installTap(std::move(handler)); }
  void removeTap() override { engine_->removeTap(); }
  void start() override { engine_->start(); }
  void pause() override { engine_->pause(); }
  void stop() override { engine_->stop(); }
  bool isRunning() const override { return engine_->isRunning(); }

 private:
  std::shared_ptr<FakeCaptureEngine> engine_;
};

// Devices in a list the test sets; every opened engine is kept for
// inspection.
class FakeCaptureSystem : public platform::audio::CaptureSystem {
 public:
  std::vector<platform::audio::CaptureDevice> devices{{0, "Built-in Microphone", 1, 16000.0},
                                                      {7, "USB Headset", 2, 48000.0}};
  platform::audio::AudioFormat format{16000.0, 1};
  bool failList = false;
  std::optional<std::string> failOpen;
  bool failStart = false;

  std::vector<platform::audio::CaptureDevice> inputDevices() override {
    if (failList) throw platform::audio::AudioError("no audio service");
    return devices;
  }
  std::unique_ptr<platform::audio::CaptureEngine> openEngine(std::optional<uint32_t> deviceID,
                                                             uint32_t frames) override {
    if (failOpen) throw platform::audio::AudioError(*failOpen);
    auto engine = std::make_shared<FakeCaptureEngine>(
        platform::audio::CaptureDevice{deviceID.value_or(0), "fake", format.channelCount,
                                       format.sampleRate},
        format, frames);
    engine->failStart = failStart;
    std::lock_guard guard(lock_);
    opened_.push_back(engine);
    openedIDs_.push_back(deviceID);
    return std::make_unique<FakeEngineHandle>(engine);
  }

  std::vector<std::shared_ptr<FakeCaptureEngine>> opened() const {
    std::lock_guard guard(lock_);
    return opened_;
  }
  std::vector<std::optional<uint32_t>> openedIDs() const {
    std::lock_guard guard(lock_);
    return openedIDs_;
  }
  std::shared_ptr<FakeCaptureEngine> latest() const {
    std::lock_guard guard(lock_);
    return opened_.empty() ? nullptr : opened_.back();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::shared_ptr<FakeCaptureEngine>> opened_;
  std::vector<std::optional<uint32_t>> openedIDs_;
};

}  // namespace testsupport
