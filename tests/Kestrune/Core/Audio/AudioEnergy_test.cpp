#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Audio/EnergyVAD.hpp"

namespace kestrune {
namespace {

TEST(EnergyHelpers, MeasureLevels) {
  const std::vector<float> samples = {0.5f, -0.5f, 0.5f, -0.25f};
  const SignalEnergy energy = AudioProcessor::calculateEnergy(samples);
  EXPECT_NEAR(energy.avg, std::sqrt((0.25f * 3 + 0.0625f) / 4), 1e-6f);
  EXPECT_EQ(energy.peak, 0.5f);
  EXPECT_EQ(energy.min, 0.25f);
  EXPECT_EQ(AudioProcessor::calculateAverageEnergy(samples), energy.avg);
  EXPECT_EQ(AudioProcessor::calculateEnergy({}).avg, 0.0f);
}

TEST(EnergyHelpers, RelativeEnergyScalesDecibelsIntoZeroToOne) {
  const std::vector<float> quiet(100, 0.001f);       // -60 dB
  const std::vector<float> middle(100, 0.0316228f);  // -30 dB
  const std::vector<float> loud(100, 1.0f);          // 0 dB
  const struct {
    const std::vector<float>* samples;
    std::optional<float> reference;
    float expected;
  } cases[] = {
      {&quiet, std::nullopt, 0.0f}, {&middle, std::nullopt, 0.5f}, {&loud, std::nullopt, 1.0f},
      {&middle, 0.001f, 0.5f},      {&middle, 0.0316228f, 0.0f},   {&quiet, 0.0316228f, 0.0f},
      {&loud, 0.0316228f, 1.0f},
  };
  for (const auto& item : cases) {
    EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(*item.samples, item.reference),
                item.expected, 1e-4f);
  }
  EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(std::vector<float>(10, 0.0f)), 0.0f);
}

TEST(EnergyHelpers, VoiceDetectionLooksAtTheRecentWindow) {
  std::vector<float> energy(30, 0.0f);
  const auto detectedWith = [&](size_t loudIndex, float seconds) {
    std::vector<float> values = energy;
    values[loudIndex] = 0.5f;
    return AudioProcessor::isVoiceDetected(values, seconds, 0.3f);
  };
  // 2 s: the last 20 values, of which the first 10 count.
  EXPECT_TRUE(detectedWith(10, 2.0f));
  EXPECT_TRUE(detectedWith(19, 2.0f));
  EXPECT_FALSE(detectedWith(20, 2.0f));
  EXPECT_FALSE(detectedWith(9, 2.0f));
  // 0.5 s: the last 5 values, all of which count.
  EXPECT_TRUE(detectedWith(29, 0.5f));
  EXPECT_FALSE(detectedWith(24, 0.5f));
  EXPECT_FALSE(detectedWith(29, 0.0f));
  EXPECT_FALSE(AudioProcessor::isVoiceDetected({}, 1.0f, 0.3f));
  EXPECT_FALSE(AudioProcessor::isVoiceDetected({0.3f}, 1.0f, 0.3f));
}

std::vector<float> frames(const std::vector<float>& levels, int length) {
  std::vector<float> samples;
  for (const float level : levels) samples.insert(samples.end(), length, level);
  return samples;
}

TEST(EnergyVAD, FrameIsSpeechOnlyAboveTheThreshold) {
  const EnergyVAD detector(16000, 1600, 0, 0.5f);
  EXPECT_EQ(detector.voiceActivity(frames({0.5f, 0.5001f, 0.4f, -0.6f}, 1600)),
            (std::vector<bool>{false, true, false, true}));
  const EnergyVAD standard;
  EXPECT_EQ(standard.voiceActivity(frames({0.02f, 0.0201f}, 1600)),
            (std::vector<bool>{false, true}));
  // A partial last frame is still a frame.
  EXPECT_EQ(standard.voiceActivity(std::vector<float>(1601, 0.1f)).size(), 2u);
  EXPECT_TRUE(standard.voiceActivity({}).empty());
}

TEST(EnergyVAD, OverlapReadsIntoTheNextFrame) {
  const EnergyVAD detector(16000, 4, 4, 0.1f);
  const std::vector<float> samples = {0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0};
  EXPECT_EQ(detector.voiceActivity(samples), (std::vector<bool>{true, true, false}));
}

TEST(EnergyVAD, ConstructorsTurnSecondsIntoSamples) {
  const EnergyVAD standard;
  EXPECT_EQ(standard.sampleRate(), 16000);
  EXPECT_EQ(standard.frameLengthSamples(), 1600);
  EXPECT_EQ(standard.frameOverlapSamples(), 0);
  EXPECT_EQ(standard.energyThreshold(), 0.02f);
  const EnergyVAD seconds(8000, 0.25f, 0.05f, 0.1f);
  EXPECT_EQ(seconds.frameLengthSamples(), 2000);
  EXPECT_EQ(seconds.frameOverlapSamples(), 400);
  EXPECT_THROW(EnergyVAD(16000, 0, 0), std::invalid_argument);
}

TEST(VoiceActivityDetector, SharedOperations) {
  const VoiceActivityDetector base(16000, 1600, 0);
  EXPECT_THROW(base.voiceActivity(std::vector<float>(10)), std::logic_error);
  try {
    base.voiceActivityAsync(std::vector<float>(10));
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "`voiceActivity` must be implemented by subclass");
  }
  EXPECT_EQ(base.voiceActivityIndexToAudioSampleIndex(3), 4800);
  EXPECT_FLOAT_EQ(base.voiceActivityIndexToSeconds(3), 0.3f);

  const struct {
    std::vector<bool> activity;
    std::optional<IndexRange> expected;
  } silences[] = {
      {{true, false, false, true, false}, IndexRange{1, 3}},
      {{false, false, true, false, false}, IndexRange{0, 2}},
      {{true, false, true, false, false, false}, IndexRange{3, 6}},
      {{true, true}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& item : silences)
    EXPECT_EQ(base.findLongestSilence(item.activity), item.expected);
}

TEST(VoiceActivityDetector, ActiveChunksJoinConsecutiveSpeech) {
  const EnergyVAD detector;
  std::vector<float> samples = frames({0.5f, 0.5f, 0.0f}, 1600);
  samples.insert(samples.end(), 1000, 0.5f);
  EXPECT_EQ(detector.calculateActiveChunks(samples),
            (std::vector<IndexRange>{{0, 3200}, {4800, 5800}}));
  EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(samples),
            (std::vector<IndexRange>{{0, 3200}, {4800, 5800}}));
  EXPECT_TRUE(detector.calculateActiveChunks(std::vector<float>(3200, 0.0f)).empty());
}

}  // namespace
}  // namespace kestrune
