// Capture on PortAudio. On Linux only the ALSA host API is used: the other
// host APIs PortAudio may be built with (JACK, OSS) either duplicate ALSA's
// devices or need servers that a desktop session does not always run.

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "Platform/Audio/AudioError.hpp"
#include "Platform/Audio/CaptureEngine.hpp"

namespace platform::audio {

namespace {

std::string errorText(PaError error) {
  return Pa_GetErrorText(error);
}

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}
void ignoreJackMessage(const char*) {}

// While PortAudio probes its host APIs, ALSA and JACK write their own
// diagnostics to standard error (unreachable sound servers, missing cards).
// Every failure that matters comes back to us as a PortAudio error code, so
// those lines would only clutter the terminal of a command-line user and the
// diagnostic stream of the helper. JACK is reached through PortAudio, not
// linked by us, so its hooks are looked up rather than called directly.
void quietSoundLibraries() {
  snd_lib_error_set_handler(ignoreAlsaMessage);
  using SetJackHook = void (*)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (void* symbol = dlsym(RTLD_DEFAULT, name)) {
      reinterpret_cast<SetJackHook>(symbol)(ignoreJackMessage);
    }
  }
}

// One reference to the initialised library. PortAudio counts initialisations
// itself; the lock keeps a termination from racing a concurrent
// initialisation, and sharing one session keeps device indexes stable for
// everything opened while it lives.
class PortAudioSession {
 public:
  static std::shared_ptr<PortAudioSession> acquire() {
    std::lock_guard guard(lock());
    if (auto session = current().lock()) return session;
    quietSoundLibraries();
    const PaError status = Pa_Initialize();
    if (status != paNoError) {
      throw AudioError("Unable to initialise PortAudio: " + errorText(status));
    }
    auto session = std::make_shared<PortAudioSession>();
    current() = session;
    return session;
  }

  PortAudioSession() = default;
  ~PortAudioSession() {
    std::lock_guard guard(lock());
    Pa_Terminate();
  }
  PortAudioSession(const PortAudioSession&) = delete;
  PortAudioSession& operator=(const PortAudioSession&) = delete;

  // The host API whose devices are offered, or none for all of them.
  std::optional<PaHostApiIndex> hostApi() const {
    const PaHostApiIndex alsa = Pa_HostApiTypeIdToHostApiIndex(paALSA);
    if (alsa < 0) return std::nullopt;
    return alsa;
  }

  PaDeviceIndex defaultInputDevice() const {
    if (const auto api = hostApi()) {
      const PaHostApiInfo* info = Pa_GetHostApiInfo(*api);
      return info ? info->defaultInputDevice : paNoDevice;
    }
    return Pa_GetDefaultInputDevice();
  }

  // The device at `index` when it belongs to the offered host API.
  const PaDeviceInfo* device(PaDeviceIndex index) const {
    if (index < 0 || index >= Pa_GetDeviceCount()) return nullptr;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (!info) return nullptr;
    if (const auto api = hostApi(); api && info->hostApi != *api) return nullptr;
    return info;
  }

 private:
  static std::mutex& lock() {
    static std::mutex instance;
    return instance;
  }
  static std::weak_ptr<PortAudioSession>& current() {
    static std::weak_ptr<PortAudioSession> instance;
    return instance;
  }
};

CaptureDevice describe(PaDeviceIndex index, const PaDeviceInfo& info) {
  return {static_cast<uint32_t>(index), info.name ? info.name : "",
          static_cast<uint32_t>(std::max(info.maxInputChannels, 0)), info.defaultSampleRate};
}

class PortAudioEngine final : public CaptureEngine {
 public:
  PortAudioEngine(std::shared_ptr<PortAudioSession> session, CaptureDevice device,
                  uint32_t framesPerBuffer)
      : session_(std::move(session)), device_(std::move(device)), frames_(framesPerBuffer) {}

  ~PortAudioEngine() override {
    if (!stream_) return;
    if (Pa_IsStreamActive(stream_) == 1) Pa_AbortStream(stream_);
    Pa_CloseStream(stream_);
  }
  PortAudioEngine(const PortAudioEngine&) = delete;
  PortAudioEngine& operator=(const PortAudioEngine&) = delete;

  // Stereo at most: more channels only cost conversion work, since every
  // buffer is mixed down to mono anyway. Devices that refuse stereo get mono.
  void open(double latency) {
    const uint32_t preferred = std::min<uint32_t>(device_.inputChannels, 2);
    PaError status = paNoError;
    for (uint32_t channels = preferred; channels >= 1; --channels) {
      const PaStreamParameters input{static_cast<PaDeviceIndex>(device_.id),
                                     static_cast<int>(channels), paFloat32 | paNonInterleaved,
                                     latency, nullptr};
      status = Pa_OpenStream(&stream_, &input, nullptr, device_.defaultSampleRate, frames_,
                             paClipOff, &PortAudioEngine::onBuffer, this);
      if (status == paNoError) {
        format_ = AudioFormat{device_.defaultSampleRate, channels};
        return;
      }
      stream_ = nullptr;
    }
    throw AudioError("Unable to open input device " + std::to_string(device_.id) + " (" +
                     device_.name + "): " + errorText(status));
  }

  const CaptureDevice& device() const override { return device_; }
  AudioFormat inputFormat() const override { return format_; }
  uint32_t framesPerBuffer() const override { return frames_; }

  void installTap(TapHandler handler) override {
    std::lock_guard guard(tapLock_);
    tap_ = std::move(handler);
  }
  void removeTap() override {
    std::lock_guard guard(tapLock_);
    tap_ = nullptr;
  }

  void start() override {
    if (Pa_IsStreamActive(stream_) == 1) return;
    const PaError status = Pa_StartStream(stream_);
    if (status != paNoError) {
      throw AudioError("Unable to start capture on " + device_.name + ": " + errorText(status));
    }
  }
  void pause() override {
    if (Pa_IsStreamStopped(stream_) == 0) Pa_StopStream(stream_);
  }
  void stop() override {
    if (Pa_IsStreamStopped(stream_) == 0) Pa_AbortStream(stream_);
  }
  bool isRunning() const override { return Pa_IsStreamActive(stream_) == 1; }

 private:
  static int onBuffer(const void* input, void*, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* context) {
    static_cast<PortAudioEngine*>(context)->deliver(static_cast<const float* const*>(input),
                                                    frames);
    return paContinue;
  }

  void deliver(const float* const* channels, unsigned long frames) {
    if (!channels || frames == 0) return;
    std::lock_guard guard(tapLock_);
    if (!tap_) return;
    std::vector<std::vector<float>> planes;
    planes.reserve(format_.channelCount);
    for (uint32_t channel = 0; channel < format_.channelCount; ++channel) {
      planes.emplace_back(channels[channel], channels[channel] + frames);
    }
    try {
      tap_(PCMBuffer(format_, std::move(planes)));
    } catch (...) {
      // Nothing may unwind into the audio library's thread; the handler
      // reports its own failures.
    }
  }

  std::shared_ptr<PortAudioSession> session_;
  CaptureDevice device_;
  uint32_t frames_;
  AudioFormat format_{};
  PaStream* stream_ = nullptr;
  std::mutex tapLock_;
  TapHandler tap_;
};

class PortAudioSystem final : public CaptureSystem {
 public:
  std::vector<CaptureDevice> inputDevices() override {
    const auto session = PortAudioSession::acquire();
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) throw AudioError("Unable to list audio devices: " + errorText(count));
    std::vector<CaptureDevice> devices;
    for (PaDeviceIndex index = 0; index < count; ++index) {
      const PaDeviceInfo* info = session->device(index);
      if (info && info->maxInputChannels >= 1) devices.push_back(describe(index, *info));
    }
    return devices;
  }

  std::unique_ptr<CaptureEngine> openEngine(std::optional<uint32_t> deviceID,
                                            uint32_t framesPerBuffer) override {
    auto session = PortAudioSession::acquire();
    const PaDeviceIndex index =
        deviceID ? static_cast<PaDeviceIndex>(*deviceID) : session->defaultInputDevice();
    if (index == paNoDevice) throw AudioError("No default audio input device");
    const PaDeviceInfo* info = session->device(index);
    if (!info) throw AudioError("No audio input device with id " + std::to_string(index));
    if (info->maxInputChannels < 1) {
      throw AudioError("Audio device " + std::to_string(index) + " (" + info->name +
                       ") has no input channels");
    }
    auto engine =
        std::make_unique<PortAudioEngine>(session, describe(index, *info), framesPerBuffer);
    engine->open(info->defaultLowInputLatency);
    return engine;
  }
};

}  // namespace

std::shared_ptr<CaptureSystem> CaptureSystem::portAudio() {
  static const auto system = std::make_shared<PortAudioSystem>();
  return system;
}

}  // namespace platform::audio
