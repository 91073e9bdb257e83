#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <thread>

#include "FakeCapture.hpp"
#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using platform::audio::AudioFormat;
using platform::audio::PCMBuffer;
using testsupport::FakeCaptureSystem;

std::vector<float> constant(float level, size_t count = 1600) {
  return std::vector<float>(count, level);
}

std::vector<float> sine(double frequency, double rate, size_t count, float amplitude) {
  std::vector<float> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency *
                                                         static_cast<double>(i) / rate));
  }
  return samples;
}

struct Rig {
  std::shared_ptr<FakeCaptureSystem> system = std::make_shared<FakeCaptureSystem>();
  AudioProcessor processor{system};
};

TEST(AudioProcessorBufferTest, RecordsEnergyRelativeToQuietestRecentBuffer) {
  AudioProcessor processor;
  // Relative energy is in decibels between the reference and full scale:
  // 0.01 against 0.001 is 20 dB above a reference 60 dB below full scale.
  struct Step {
    float level;
    AudioEnergy expected;
  };
  const std::vector<Step> steps{
      {0.001f, {0.0f, 0.001f, 0.001f, 0.001f}},      // first buffer: no reference
      {0.01f, {1.0f / 3.0f, 0.01f, 0.01f, 0.01f}},   // 20 of 60 dB
      {0.1f, {2.0f / 3.0f, 0.1f, 0.1f, 0.1f}},       // 40 of 60 dB
      {0.0005f, {0.0f, 0.0005f, 0.0005f, 0.0005f}},  // below the reference
  };
  for (const auto& step : steps) processor.processBuffer(constant(step.level));

  const auto energy = processor.audioEnergy();
  ASSERT_EQ(energy.size(), steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(energy[i].rel, steps[i].expected.rel, 1e-4);
    EXPECT_NEAR(energy[i].avg, steps[i].expected.avg, 1e-7);
    EXPECT_NEAR(energy[i].max, steps[i].expected.max, 1e-7);
    EXPECT_NEAR(energy[i].min, steps[i].expected.min, 1e-7);
  }
  EXPECT_EQ(processor.relativeEnergy().size(), steps.size());
  EXPECT_FLOAT_EQ(processor.relativeEnergy()[1], energy[1].rel);
  EXPECT_EQ(processor.audioSamples().size(), steps.size() * 1600);
}

TEST(AudioProcessorBufferTest, ReferenceForgetsBuffersOlderThanTwenty) {
  AudioProcessor processor;
  processor.processBuffer(constant(0.001f));
  for (int i = 0; i < 20; ++i) processor.processBuffer(constant(0.1f));
  // The quiet first buffer has left the window; the loud ones are now the
  // reference, so another loud one is 0 dB above it.
  processor.processBuffer(constant(0.1f));
  const auto relative = processor.relativeEnergy();
  EXPECT_NEAR(relative[20], 2.0f / 3.0f, 1e-4);
  EXPECT_NEAR(relative[21], 0.0f, 1e-4);
}

TEST(AudioProcessorBufferTest, MixedBufferMeasuresMagnitudesAndCallsBack) {
  Rig rig;
  std::vector<std::vector<float>> delivered;
  rig.processor.startRecordingLive(
      std::nullopt, [&](const std::vector<float>& samples) { delivered.push_back(samples); });
  const std::vector<float> mixed{-0.5f, 0.25f, -0.125f, 0.5f};
  rig.processor.processBuffer(mixed);
  const AudioEnergy energy = rig.processor.audioEnergy().back();
  EXPECT_FLOAT_EQ(energy.max, 0.5f);
  EXPECT_FLOAT_EQ(energy.min, 0.125f);
  EXPECT_NEAR(energy.avg, std::sqrt((0.25 + 0.0625 + 0.015625 + 0.25) / 4), 1e-6);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], mixed);
}

TEST(AudioProcessorLiveTest, ListsOnlyDevicesWithInputChannels) {
  FakeCaptureSystem system;
  system.devices = {{1, "Mic", 1, 48000}, {2, "Speakers", 0, 48000}, {3, "Array", 4, 16000}};
  EXPECT_EQ(AudioProcessor::getAudioDevices(system),
            (std::vector<AudioDevice>{{1, "Mic"}, {3, "Array"}}));

  testsupport::LogCapture log(orvane::Logging::LogLevel::error);
  system.failList = true;
  EXPECT_TRUE(AudioProcessor::getAudioDevices(system).empty());
  EXPECT_TRUE(log.contains("Unable to get the audio device IDs."));
}

TEST(AudioProcessorLiveTest, PermissionFollowsWhetherTheDefaultInputOpens) {
  FakeCaptureSystem system;
  EXPECT_TRUE(AudioProcessor::requestRecordPermission(system));
  EXPECT_EQ(system.openedIDs(), (std::vector<std::optional<uint32_t>>{std::nullopt}));
  EXPECT_FALSE(system.latest()->isRunning());

  testsupport::LogCapture log(orvane::Logging::LogLevel::error);
  system.failOpen = "Device or resource busy";
  EXPECT_FALSE(AudioProcessor::requestRecordPermission(system));
  EXPECT_TRUE(log.contains("Microphone access denied"));
  EXPECT_TRUE(log.contains("Device or resource busy"));
}

TEST(AudioProcessorLiveTest, StartOpensTheDeviceAndFeedsConvertedBuffers) {
  Rig rig;
  rig.processor.processBuffer(constant(0.3f));  // left over from an earlier take
  std::vector<size_t> sizes;
  rig.processor.startRecordingLive(
      7, [&](const std::vector<float>& samples) { sizes.push_back(samples.size()); });
  EXPECT_TRUE(rig.processor.audioSamples().empty());
  EXPECT_EQ(rig.processor.lastInputDevice(), std::optional<AudioDeviceID>(7));
  const auto engine = rig.system->latest();
  EXPECT_EQ(engine->framesPerBuffer(), 1600u);
  EXPECT_EQ(engine->starts, 1);
  EXPECT_TRUE(rig.processor.isRecording());

  EXPECT_TRUE(engine->emitMono(constant(0.2f)));
  EXPECT_TRUE(engine->emitMono(constant(0.2f)));
  EXPECT_EQ(sizes, (std::vector<size_t>{1600, 1600}));
  EXPECT_EQ(rig.processor.audioEnergy().size(), 2u);

  rig.processor.stopRecording();
  EXPECT_EQ(engine->stops, 1);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_FALSE(rig.processor.isRecording());
  EXPECT_FALSE(engine->emitMono(constant(0.2f)));
  EXPECT_EQ(rig.processor.audioSamples().size(), 3200u);
}

TEST(AudioProcessorLiveTest, ResamplesAndMixesDeviceBuffersTo16kMono) {
  Rig rig;
  rig.system->format = AudioFormat{48000.0, 2};
  rig.processor.startRecordingLive();
  const auto engine = rig.system->latest();
  // A 440 Hz tone in 4800-frame buffers, left and right equal, for one
  // second: 16000 samples come out, give or take the resampler's delay.
  const auto tone = sine(440, 48000, 48000, 0.5f);
  for (size_t start = 0; start < tone.size(); start += 4800) {
    std::vector<float> part(tone.begin() + start, tone.begin() + start + 4800);
    ASSERT_TRUE(engine->emit(PCMBuffer(AudioFormat{48000.0, 2}, {part, part})));
  }
  const auto samples = rig.processor.audioSamples();
  EXPECT_GT(samples.size(), 15000u);
  EXPECT_LE(samples.size(), 16000u);
  // Past the filter's start-up the tone keeps its level and its pitch.
  const std::vector<float> middle(samples.begin() + 2000, samples.begin() + 14000);
  EXPECT_NEAR(AudioProcessor::calculateAverageEnergy(middle), 0.5 / std::sqrt(2.0), 0.01);
  int crossings = 0;
  for (size_t i = 1; i < middle.size(); ++i) crossings += (middle[i - 1] < 0) != (middle[i] < 0);
  EXPECT_NEAR(crossings, 2 * 440 * 0.75, 4);
}

TEST(AudioProcessorLiveTest, SuppressedInputIsRecordedAsSilence) {
  Rig rig;
  rig.processor.startRecordingLive();
  rig.processor.setInputSuppressed(true);
  rig.system->latest()->emitMono(constant(0.4f));
  rig.processor.setInputSuppressed(false);
  rig.system->latest()->emitMono(constant(0.4f));
  const auto samples = rig.processor.audioSamples();
  ASSERT_EQ(samples.size(), 3200u);
  EXPECT_EQ(samples[1599], 0.0f);
  EXPECT_EQ(samples[1600], 0.4f);
  EXPECT_EQ(rig.processor.audioEnergy()[0].avg, 0.0f);
}

TEST(AudioProcessorLiveTest, ResumeReusesTheKeptEngineOnlyForTheSameDevice) {
  Rig rig;
  int firstCalls = 0;
  int secondCalls = 0;
  rig.processor.startRecordingLive(7, [&](const std::vector<float>&) { ++firstCalls; });
  rig.processor.pauseRecording();
  const auto first = rig.system->latest();
  EXPECT_EQ(first->pauses, 1);
  EXPECT_FALSE(first->emitMono(constant(0.1f)));

  // Same device, no new callback: the kept engine restarts, the old
  // callback stays.
  rig.processor.resumeRecordingLive(7);
  EXPECT_EQ(rig.system->opened().size(), 1u);
  EXPECT_EQ(first->starts, 2);
  first->emitMono(constant(0.1f));
  EXPECT_EQ(firstCalls, 1);

  // Another device: a new engine, the old one shut down, the new callback.
  rig.processor.resumeRecordingLive(std::nullopt,
                                    [&](const std::vector<float>&) { ++secondCalls; });
  ASSERT_EQ(rig.system->opened().size(), 2u);
  EXPECT_EQ(first->stops, 1);
  EXPECT_FALSE(first->hasTap());
  EXPECT_EQ(rig.processor.lastInputDevice(), std::nullopt);
  rig.system->latest()->emitMono(constant(0.1f));
  EXPECT_EQ(secondCalls, 1);
  EXPECT_EQ(firstCalls, 1);
}

TEST(AudioProcessorLiveTest, SetUpFailuresAreTypedErrors) {
  struct Case {
    const char* name;
    std::function<void(FakeCaptureSystem&)> arrange;
    WhisperError::Case kind;
    std::string message;
  };
  const std::vector<Case> cases{
      {"device cannot be opened", [](auto& s) { s.failOpen = "No audio input device with id 9"; },
       WhisperError::Case::microphoneUnavailable, "No audio input device with id 9"},
      {"device cannot start", [](auto& s) { s.failStart = true; },
       WhisperError::Case::microphoneUnavailable, "device busy"},
      {"device reports no rate",
       [](auto& s) {
         s.format = AudioFormat{0.0, 1};
       },
       WhisperError::Case::audioProcessingFailed, "Failed to create node format"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    c.arrange(*rig.system);
    try {
      rig.processor.startRecordingLive(9);
      ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.kind(), c.kind);
      EXPECT_EQ(error.message(), c.message);
    }
    EXPECT_FALSE(rig.processor.isRecording());
  }
}

TEST(AudioProcessorStreamTest, YieldsBuffersAndStopsWhenLetGo) {
  Rig rig;
  {
    auto [stream, continuation] = rig.processor.startStreamingRecordingLive(7);
    const auto engine = rig.system->latest();
    std::thread producer([engine] {
      engine->emitMono(constant(0.1f, 1600));
      engine->emitMono(constant(0.2f, 1600));
    });
    const auto first = stream.next();
    const auto second = stream.next();
    producer.join();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->front(), 0.1f);
    EXPECT_EQ(second->front(), 0.2f);
    EXPECT_TRUE(rig.processor.isRecording());
  }
  const auto engine = rig.system->latest();
  EXPECT_EQ(engine->stops, 1);
  EXPECT_FALSE(rig.processor.isRecording());
  // The stream's callback is gone: later buffers reach no one.
  rig.processor.processBuffer(constant(0.1f));
}

TEST(AudioProcessorStreamTest, StartFailureEndsTheStreamWithTheError) {
  Rig rig;
  rig.system->failOpen = "No default audio input device";
  auto [stream, continuation] = rig.processor.startStreamingRecordingLive();
  try {
    stream.next();
    ADD_FAILURE() << "no error";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), WhisperError::Case::microphoneUnavailable);
  }
  EXPECT_EQ(stream.next(), std::nullopt);
}

TEST(AudioProcessorStreamTest, FinishedStreamDeliversWhatCameBeforeTheError) {
  auto [stream, continuation] = AudioSampleStream::make();
  int terminations = 0;
  stream.setOnTermination([&] { ++terminations; });
  continuation.yield({1.0f});
  continuation.finish(std::make_exception_ptr(std::runtime_error("lost")));
  continuation.yield({2.0f});  // after the end: dropped
  EXPECT_EQ(stream.next(), std::optional(std::vector<float>{1.0f}));
  EXPECT_THROW(stream.next(), std::runtime_error);
  EXPECT_EQ(stream.next(), std::nullopt);
  stream.terminate();
  EXPECT_EQ(terminations, 1);
}

TEST(AudioProcessorStreamTest, ProcessorGoneBeforeItsStreamIsHarmless) {
  auto system = std::make_shared<FakeCaptureSystem>();
  std::optional<AudioSampleStream> stream;
  {
    AudioProcessor processor(system);
    stream.emplace(processor.startStreamingRecordingLive().first);
  }
  EXPECT_EQ(system->latest()->stops, 1);
  stream.reset();
}

}  // namespace
}  // namespace kestrune
