#pragma once

// A microphone that plays a generated tone: ALSA's `file` PCM reads an input
// file over a `null` device, and PortAudio records it like any other input.
// The null device keeps no clock, so the "microphone" delivers as fast as it
// is read. The file is read in the format the stream is opened with, which
// PortAudio picks: 32-bit float, two channels, at the rate it reports for
// the device.

#include <portaudio.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Audio/CaptureEngine.hpp"
#include "tests/Support/TemporaryFolder.hpp"

namespace testsupport {

class FileMicrophone {
 public:
  static constexpr double toneHz = 440.0;
  static constexpr float toneLevel = 0.5f;
  static constexpr const char* deviceName = "kestrune_mic";

  // Points ALSA at a configuration of its own; call it before anything in
  // the process opens ALSA, which reads its configuration once.
  FileMicrophone() {
    // The device must open while devices are listed; the tone is written
    // again at the device's rate by prepare().
    writeTone(44100);
    writeConfig();
    ::setenv("ALSA_CONFIG_PATH", folder_.file("asound.conf").c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
  }

  // Why this machine cannot play a file as a microphone, if it cannot.
  static std::optional<std::string> unavailable() {
    if (Pa_Initialize() != paNoError) return "PortAudio cannot be initialised";
    std::optional<std::string> reason;
    if (Pa_HostApiTypeIdToHostApiIndex(paALSA) < 0) {
      reason = "PortAudio is built without its ALSA host API";
    } else {
      bool found = false;
      for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        found = found || std::string(Pa_GetDeviceInfo(i)->name) == deviceName;
      }
      if (!found) reason = "ALSA lacks the file or null PCM plugin the test device is made of";
    }
    Pa_Terminate();
    return reason;
  }

  // The device, with two seconds of the tone written at its rate. Past the
  // tone's end the device repeats stale audio, so tests read less.
  std::optional<platform::audio::CaptureDevice> prepare() {
    for (const auto& device : platform::audio::CaptureSystem::portAudio()->inputDevices()) {
      if (device.name != deviceName) continue;
      writeTone(device.defaultSampleRate);
      return device;
    }
    return std::nullopt;
  }

  // Zero crossings of the tone in `seconds`, as a check of its pitch.
  static double expectedCrossings(double seconds) { return 2 * toneHz * seconds; }
  static int crossings(const std::vector<float>& samples) {
    int count = 0;
    for (size_t i = 1; i < samples.size(); ++i) count += (samples[i - 1] < 0) != (samples[i] < 0);
    return count;
  }

 private:
  void writeTone(double rate) const {
    std::ofstream out(folder_.file("tone.raw"), std::ios::binary | std::ios::trunc);
    for (int i = 0; i < static_cast<int>(2 * rate); ++i) {
      const float value =
          toneLevel * static_cast<float>(std::sin(2 * std::numbers::pi * toneHz * i / rate));
      out.write(reinterpret_cast<const char*>(&value), sizeof value);
      out.write(reinterpret_cast<const char*>(&value), sizeof value);
    }
  }

  void writeConfig() const {
    std::ofstream out(folder_.file("asound.conf"));
    out << "pcm." << deviceName
        << " {\n"
           "  type file\n"
           "  slave.pcm { type null }\n"
           "  file \"/dev/null\"\n"
           "  infile \""
        << folder_.file("tone.raw")
        << "\"\n"
           "  format \"raw\"\n"
           "}\n"
           "pcm.default \""
        << deviceName << "\"\n";
  }

  TemporaryFolder folder_;
};

}  // namespace testsupport
