#include "Kestrune/Core/Audio/AudioProcessing.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"

namespace kestrune {

std::future<platform::audio::PCMBuffer> AudioProcessing::loadAudioAsync(
    const std::string& fromPath) const {
  return std::async(std::launch::async, [fromPath] {
    platform::audio::AudioFile file = AudioProcessor::openAudioFile(fromPath);
    return AudioProcessor::loadAudio(file, ChannelMode::sumChannels(), 0.0, std::nullopt,
                                     std::nullopt);
  });
}

std::vector<uint8_t> AudioProcessing::createWaveformImage(const std::vector<float>& fromAudio,
                                                          ImageSize withSize) const {
  const int width = withSize.width;
  const int height = withSize.height;
  if (width <= 0 || height <= 0) return {};
  const std::string header =
      "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::vector<uint8_t> image(header.begin(), header.end());
  const size_t pixelStart = image.size();
  image.resize(pixelStart + static_cast<size_t>(width) * static_cast<size_t>(height), 255);
  const size_t count = fromAudio.size();
  const auto row = [height](float value) {
    const float level = (1.0f - std::clamp(value, -1.0f, 1.0f)) / 2.0f;
    return static_cast<int>(std::lround(level * static_cast<float>(height - 1)));
  };
  for (int x = 0; x < width && count > 0; ++x) {
    const size_t begin = count * static_cast<size_t>(x) / static_cast<size_t>(width);
    const size_t end = std::max(begin + 1, count * static_cast<size_t>(x + 1) / width);
    const auto [low, high] = std::minmax_element(fromAudio.begin() + static_cast<ptrdiff_t>(begin),
                                                 fromAudio.begin() + static_cast<ptrdiff_t>(end));
    for (int y = row(*high); y <= row(*low); ++y) {
      image[pixelStart + static_cast<size_t>(y) * static_cast<size_t>(width) +
            static_cast<size_t>(x)] = 0;
    }
  }
  return image;
}

}  // namespace kestrune
