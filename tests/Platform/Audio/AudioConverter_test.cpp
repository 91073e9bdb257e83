#include "Platform/Audio/AudioConverter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Platform/Audio/AudioError.hpp"
#include "tests/Platform/Audio/AudioFixtures.hpp"

namespace platform::audio {
namespace {

PCMBuffer tone(AudioFormat format, uint32_t frames, double frequency, float amplitude) {
  PCMBuffer buffer(format, frames);
  for (uint32_t c = 0; c < format.channelCount; ++c) {
    auto data = buffer.floatChannelData(c);
    for (uint32_t i = 0; i < frames; ++i) {
      data[i] =
          amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * i / format.sampleRate));
    }
  }
  buffer.setFrameLength(frames);
  return buffer;
}

PCMBuffer slice(const PCMBuffer& source, uint32_t start, uint32_t count) {
  PCMBuffer part(source.format(), count);
  for (uint32_t c = 0; c < source.channelCount(); ++c) {
    const auto samples = source.samples(c).subspan(start, count);
    std::copy(samples.begin(), samples.end(), part.floatChannelData(c).begin());
  }
  part.setFrameLength(count);
  return part;
}

TEST(AudioConverter, ResamplingKeepsFrequencyLevelAndLength) {
  const struct {
    double from;
    double to;
  } rates[] = {{44100, 16000}, {48000, 16000}, {8000, 16000}, {22050, 16000}};
  for (const auto& rate : rates) {
    SCOPED_TRACE(std::to_string(rate.from) + " -> " + std::to_string(rate.to));
    AudioConverter converter({rate.from, 1}, {rate.to, 1});
    const PCMBuffer input = tone({rate.from, 1}, static_cast<uint32_t>(rate.from), 440, 0.5f);
    const PCMBuffer output = converter.convert(input, true);
    EXPECT_NEAR(output.frameLength(), rate.to, 2);
    const auto middle = output.samples(0).subspan(1000, 14000);
    EXPECT_NEAR(audiotest::toneLevel(middle, 440, rate.to), 0.25, 0.005);
    EXPECT_LT(audiotest::toneLevel(middle, 523, rate.to), 0.01);
    EXPECT_NEAR(audiotest::rms(middle), 0.5f / std::sqrt(2.0f), 0.005f);
  }
}

// Converting a stream chunk by chunk gives the one-shot result: the filter
// state carries over, so there are no clicks where chunks meet.
TEST(AudioConverter, ChunkedConversionMatchesOneShot) {
  const AudioFormat from{44100, 1};
  const PCMBuffer input = tone(from, 44100 * 2, 1000, 0.8f);
  AudioConverter whole(from, {16000, 1});
  const PCMBuffer expected = whole.convert(input, true);

  AudioConverter chunked(from, {16000, 1});
  std::vector<float> joined;
  const uint32_t sizes[] = {1, 4410, 10000, 333, 30000, 0, 21117};
  uint32_t offset = 0;
  for (size_t i = 0; offset < input.frameLength(); ++i) {
    const uint32_t count = std::min(sizes[i % std::size(sizes)], input.frameLength() - offset);
    const bool last = offset + count == input.frameLength();
    const PCMBuffer part = chunked.convert(slice(input, offset, count), last);
    const auto samples = part.samples(0);
    joined.insert(joined.end(), samples.begin(), samples.end());
    offset += count;
  }
  ASSERT_EQ(joined.size(), expected.frameLength());
  float largest = 0;
  for (size_t i = 0; i < joined.size(); ++i) {
    largest = std::max(largest, std::fabs(joined[i] - expected.samples(0)[i]));
  }
  EXPECT_LT(largest, 1e-5f);
}

TEST(AudioConverter, MapsChannels) {
  PCMBuffer stereo({16000, 2}, 4);
  const float left[] = {1, 0.5f, 0, -1};
  const float right[] = {0, 0.5f, 1, -1};
  std::copy(std::begin(left), std::end(left), stereo.floatChannelData(0).begin());
  std::copy(std::begin(right), std::end(right), stereo.floatChannelData(1).begin());
  stereo.setFrameLength(4);

  AudioConverter down({16000, 2}, {16000, 1});
  const PCMBuffer mono = down.convert(stereo, true);
  EXPECT_EQ(std::vector<float>(mono.samples(0).begin(), mono.samples(0).end()),
            (std::vector<float>{0.5f, 0.5f, 0.5f, -1}));

  AudioConverter up({16000, 1}, {16000, 3});
  const PCMBuffer wide = up.convert(mono, true);
  ASSERT_EQ(wide.channelCount(), 3u);
  for (uint32_t c = 0; c < 3; ++c) {
    EXPECT_TRUE(
        std::equal(wide.samples(c).begin(), wide.samples(c).end(), mono.samples(0).begin()));
  }
  EXPECT_FALSE(AudioConverter::supports({16000, 2}, {16000, 3}));
  EXPECT_FALSE(AudioConverter::supports({0, 1}, {16000, 1}));
  EXPECT_THROW(AudioConverter({16000, 0}, {16000, 1}), AudioError);
}

TEST(PCMBuffer, AppendStopsAtCapacityAndRefusesOtherFormats) {
  PCMBuffer target({16000, 1}, 5);
  PCMBuffer source({16000, 1}, 3);
  std::fill_n(source.floatChannelData(0).begin(), 3, 1.0f);
  source.setFrameLength(3);
  EXPECT_EQ(target.append(source), 3u);
  EXPECT_EQ(target.append(source), 2u);
  EXPECT_EQ(target.frameLength(), 5u);
  EXPECT_EQ(PCMBuffer({16000, 1}, 5).append(PCMBuffer({8000, 1}, 5)), 0u);
  EXPECT_THROW(target.floatChannelData(1), std::out_of_range);
}

}  // namespace
}  // namespace platform::audio
