#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Audio/AudioFormat.hpp"
#include "Platform/Audio/PCMBuffer.hpp"

namespace platform::audio {

// An audio input the system offers.
struct CaptureDevice {
  uint32_t id = 0;
  std::string name{};
  uint32_t inputChannels = 0;
  double defaultSampleRate = 0.0;

  bool operator==(const CaptureDevice&) const = default;
};

// One opened input device. Buffers arrive on the capture thread, in the
// device's own format, `framesPerBuffer` frames each. start() may follow
// pause() or stop() any number of times. Failures throw AudioError.
class CaptureEngine {
 public:
  using TapHandler = std::function<void(const PCMBuffer& buffer)>;

  virtual ~CaptureEngine() = default;

  virtual const CaptureDevice& device() const = 0;
  // The format of the buffers handed to the tap.
  virtual AudioFormat inputFormat() const = 0;
  virtual uint32_t framesPerBuffer() const = 0;

  // Replaces the receiver of captured buffers. The handler runs on the
  // capture thread and must not call back into the engine.
  virtual void installTap(TapHandler handler) = 0;
  // Waits for a handler call in progress, so that nothing reaches the old
  // handler once it returns.
  virtual void removeTap() = 0;

  virtual void start() = 0;
  virtual void pause() = 0;
  // Stops capture and drops what the device still holds.
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
};

// The system's audio inputs. Failures throw AudioError.
class CaptureSystem {
 public:
  virtual ~CaptureSystem() = default;

  // Devices with at least one input channel, in the system's order.
  virtual std::vector<CaptureDevice> inputDevices() = 0;
  // Opens a device (the default input when none is named) for capture in
  // buffers of `framesPerBuffer` frames; nothing is captured before start().
  virtual std::unique_ptr<CaptureEngine> openEngine(std::optional<uint32_t> deviceID,
                                                    uint32_t framesPerBuffer) = 0;

  // The process's PortAudio inputs.
  static std::shared_ptr<CaptureSystem> portAudio();
};

}  // namespace platform::audio
