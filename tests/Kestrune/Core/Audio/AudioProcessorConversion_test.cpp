#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using platform::audio::AudioConverter;
using platform::audio::AudioFormat;
using platform::audio::PCMBuffer;

PCMBuffer bufferOf(double rate, const std::vector<std::vector<float>>& channels) {
  PCMBuffer buffer({rate, static_cast<uint32_t>(channels.size())},
                   static_cast<uint32_t>(channels[0].size()));
  for (uint32_t c = 0; c < channels.size(); ++c) {
    std::copy(channels[c].begin(), channels[c].end(), buffer.floatChannelData(c).begin());
  }
  buffer.setFrameLength(static_cast<uint32_t>(channels[0].size()));
  return buffer;
}

std::vector<float> monoOf(const PCMBuffer& buffer) {
  const auto samples = buffer.samples(0);
  return {samples.begin(), samples.end()};
}

TEST(ConvertToMono, ChannelModes) {
  const std::vector<float> left = {0.5f, -0.25f, 0.0f, 0.1f};
  const std::vector<float> right = {0.5f, 0.25f, -0.4f, 0.0f};
  const std::vector<float> third = {0.0f, 0.0f, 0.0f, 0.2f};
  const PCMBuffer stereo = bufferOf(16000, {left, right});
  // left + right peaks at 1.0 and is scaled back to the louder channel's 0.5.
  const std::vector<float> mixed = {0.5f, 0.0f, -0.2f, 0.05f};
  const struct {
    const char* name;
    ChannelMode mode;
    std::vector<float> expected;
  } cases[] = {
      {"specific 0", ChannelMode::specificChannel(0), left},
      {"specific 1", ChannelMode::specificChannel(1), right},
      {"specific out of range", ChannelMode::specificChannel(3), left},
      {"specific negative", ChannelMode::specificChannel(-1), left},
      {"sum all", ChannelMode::sumChannels(), mixed},
      {"sum empty list", ChannelMode::sumChannels(std::vector<int>{}), mixed},
      {"sum listed", ChannelMode::sumChannels(std::vector<int>{1}), right},
      {"sum skips invalid", ChannelMode::sumChannels(std::vector<int>{7, 1, -2}), right},
      {"sum of no valid index", ChannelMode::sumChannels(std::vector<int>{5}), left},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    const auto mono = AudioProcessor::convertToMono(stereo, item.mode);
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->format(), (AudioFormat{16000, 1}));
    const std::vector<float> actual = monoOf(*mono);
    ASSERT_EQ(actual.size(), item.expected.size());
    for (size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], item.expected[i], 1e-6f);
  }
  const auto three = AudioProcessor::convertToMono(
      bufferOf(16000, {left, right, third}), ChannelMode::sumChannels(std::vector<int>{0, 2}));
  EXPECT_NEAR(monoOf(*three)[0], 0.5f, 1e-6f);
  EXPECT_NEAR(monoOf(*three)[3], 0.3f, 1e-6f);
}

TEST(ConvertToMono, LogsTheFallbackAndKeepsMonoAndSilence) {
  const PCMBuffer stereo = bufferOf(16000, {{0.1f, 0.2f}, {0.3f, 0.4f}});
  {
    testsupport::LogCapture log;
    AudioProcessor::convertToMono(stereo, ChannelMode::sumChannels(std::vector<int>{5}));
    EXPECT_TRUE(log.contains("No valid channel indices provided, defaulting to first channel"));
  }
  const PCMBuffer mono = bufferOf(8000, {{0.1f, -0.7f}});
  EXPECT_EQ(monoOf(*AudioProcessor::convertToMono(mono, ChannelMode::specificChannel(1))),
            (std::vector<float>{0.1f, -0.7f}));
  const auto silent =
      AudioProcessor::convertToMono(bufferOf(16000, {{0, 0}, {0, 0}}), ChannelMode::sumChannels());
  EXPECT_EQ(monoOf(*silent), (std::vector<float>{0, 0}));
}

TEST(PadOrTrim, CutsAndPadsWindows) {
  std::vector<float> ten(10), twenty(20);
  for (size_t i = 0; i < twenty.size(); ++i) {
    twenty[i] = static_cast<float>(i + 1);
    if (i < 10) ten[i] = static_cast<float>(i + 1);
  }
  AudioProcessor processor;
  const auto padded = processor.padOrTrim(ten, 0, 16);
  ASSERT_TRUE(padded);
  EXPECT_EQ(padded->shape(), (std::vector<int64_t>{16}));
  EXPECT_EQ(padded->dataType(), platform::ml::MLMultiArrayDataType::float32);
  std::vector<float> expected = ten;
  expected.resize(16, 0.0f);
  EXPECT_EQ(padded->toFloatVector(), expected);

  const auto trimmed = processor.padOrTrimAudio(twenty, 5, 10);
  ASSERT_TRUE(trimmed);
  EXPECT_EQ(trimmed->toFloatVector(), std::vector<float>(twenty.begin() + 5, twenty.begin() + 15));

  testsupport::LogCapture log;
  EXPECT_FALSE(processor.padOrTrim(twenty, 20, 10));
  EXPECT_FALSE(processor.padOrTrim(twenty, -1, 10));
  EXPECT_FALSE(processor.padOrTrim({}, 0, 10));
  EXPECT_TRUE(log.contains("startIndex is outside the buffer size"));
  EXPECT_FALSE(processor.padOrTrim(twenty, 0, 0));
}

TEST(ConvertBufferToArray, CopiesTheFirstChannelAndClearsIt) {
  std::vector<float> samples(2500);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i);
  PCMBuffer buffer = bufferOf(16000, {samples, std::vector<float>(2500, 9.0f)});
  EXPECT_EQ(AudioProcessor::convertBufferToArray(buffer, 1024), samples);
  const auto cleared = buffer.samples(0);
  EXPECT_TRUE(std::all_of(cleared.begin(), cleared.end(), [](float v) { return v == 0.0f; }));
}

TEST(ResampleBuffer, RoundsTheCapacityAndConverts) {
  const PCMBuffer input = bufferOf(44100, {std::vector<float>(441, 0.25f)});
  AudioConverter converter(input.format(), {16000, 1});
  const PCMBuffer output = AudioProcessor::resampleBuffer(input, converter);
  EXPECT_EQ(output.frameCapacity(), 160u);
  EXPECT_EQ(output.frameLength(), 160u);

  testsupport::LogCapture log;
  const PCMBuffer odd = bufferOf(44100, {std::vector<float>(100, 0.0f)});
  AudioConverter again(odd.format(), {16000, 1});
  EXPECT_EQ(AudioProcessor::resampleBuffer(odd, again).frameCapacity(), 36u);
  EXPECT_TRUE(log.contains("Rounding buffer frame capacity from 36.28"));
  EXPECT_TRUE(log.contains(" to 36 to better fit new sample rate"));

  const auto resampled = AudioProcessor::resampleAudio(input, 8000, 1);
  ASSERT_TRUE(resampled);
  EXPECT_EQ(resampled->frameLength(), 80u);
  EXPECT_FALSE(AudioProcessor::resampleAudio(input, 0, 1));
  EXPECT_TRUE(log.contains("Failed to create output audio format"));
}

TEST(WaveformImage, DrawsEachColumnsRange) {
  AudioProcessor processor;
  const std::vector<float> audio = {1.0f, 1.0f, -1.0f, -1.0f, 0.0f, 0.0f};
  const std::vector<uint8_t> image = processor.createWaveformImage(audio, {3, 5});
  const std::string header = "P5\n3 5\n255\n";
  ASSERT_EQ(image.size(), header.size() + 15);
  EXPECT_EQ(std::string(image.begin(), image.begin() + header.size()), header);
  const auto pixel = [&](int x, int y) { return image[header.size() + y * 3 + x]; };
  EXPECT_EQ(pixel(0, 0), 0);
  EXPECT_EQ(pixel(0, 4), 255);
  EXPECT_EQ(pixel(1, 4), 0);
  EXPECT_EQ(pixel(1, 0), 255);
  EXPECT_EQ(pixel(2, 2), 0);
  EXPECT_EQ(pixel(2, 0), 255);
  EXPECT_TRUE(processor.createWaveformImage(audio, {0, 5}).empty());
}

}  // namespace
}  // namespace kestrune
