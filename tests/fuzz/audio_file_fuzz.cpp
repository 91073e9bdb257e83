// Arbitrary bytes as an audio file: opening either fails with AudioError or
// gives a stream whose reads stay within what was asked and end.
#include <cstdint>
#include <cstdlib>

#include "Platform/Audio/AudioError.hpp"
#include "Platform/Audio/AudioFile.hpp"
#include "tests/fuzz/FuzzSupport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::audio::AudioFile;
  const auto file = fuzzsupport::scratchFolder() / "input.audio";
  fuzzsupport::writeFile(file, fuzzsupport::asText(data, size));
  try {
    AudioFile audio(file.string());
    const auto format = audio.processingFormat();
    if (format.channelCount == 0 || format.channelCount > 64) return 0;
    platform::audio::PCMBuffer buffer(format, 4096);
    // A tiny input cannot hold more than a bounded amount of sound; the cap
    // keeps a header that claims hours from making one run slow.
    for (int block = 0; block < 256; ++block) {
      audio.read(buffer, 4096);
      if (buffer.frameLength() > 4096) std::abort();
      if (buffer.frameLength() == 0) break;
    }
    audio.setFramePosition(audio.length() / 2);
    audio.read(buffer, 1024);
  } catch (const platform::audio::AudioError&) {
  }
  return 0;
}
