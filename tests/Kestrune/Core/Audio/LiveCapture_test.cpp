// Real capture into the audio processor: a file that ALSA plays as a
// microphone, recorded through PortAudio, converted and accumulated.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "tests/Platform/Audio/FileMicrophone.hpp"

namespace kestrune {
namespace {

using testsupport::FileMicrophone;

class LiveCaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { microphone_ = std::make_unique<FileMicrophone>(); }
  static void TearDownTestSuite() { microphone_.reset(); }

  void SetUp() override {
    if (const auto reason = FileMicrophone::unavailable()) GTEST_SKIP() << *reason;
    const auto device = microphone_->prepare();
    ASSERT_TRUE(device) << "no " << FileMicrophone::deviceName;
    deviceID_ = device->id;
  }

  static inline std::unique_ptr<FileMicrophone> microphone_;
  AudioDeviceID deviceID_ = 0;
};

// Waits until the processor holds `count` samples; false after 10 s.
bool waitForSamples(const AudioProcessor& processor, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (processor.audioSamples().size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The tone at 16 kHz: its level and pitch past the resampler's start-up.
void expectTone(const std::vector<float>& samples) {
  ASSERT_GE(samples.size(), 16000u);
  const std::vector<float> middle(samples.begin() + 2000, samples.begin() + 14000);
  EXPECT_NEAR(AudioProcessor::calculateAverageEnergy(middle),
              FileMicrophone::toneLevel / std::sqrt(2.0f), 0.01);
  EXPECT_NEAR(FileMicrophone::crossings(middle), FileMicrophone::expectedCrossings(0.75), 4);
}

TEST_F(LiveCaptureTest, ListsTheFileBackedMicrophoneAndGrantsRecording) {
  const auto devices = AudioProcessor::getAudioDevices();
  EXPECT_TRUE(std::any_of(devices.begin(), devices.end(), [&](const AudioDevice& device) {
    return device.id == deviceID_ && device.name == FileMicrophone::deviceName;
  }));
  EXPECT_TRUE(AudioProcessor::requestRecordPermission());
}

TEST_F(LiveCaptureTest, RecordsTheFileThroughTheDefaultInput) {
  AudioProcessor processor;
  std::mutex lock;
  size_t delivered = 0;
  size_t calls = 0;
  processor.startRecordingLive(std::nullopt, [&](const std::vector<float>& samples) {
    std::lock_guard guard(lock);
    delivered += samples.size();
    ++calls;
  });
  EXPECT_TRUE(processor.isRecording());
  const bool filled = waitForSamples(processor, 16000);
  processor.stopRecording();
  ASSERT_TRUE(filled) << "the capture device delivered too little";
  EXPECT_FALSE(processor.isRecording());

  const auto samples = processor.audioSamples();
  expectTone(samples);
  std::lock_guard guard(lock);
  EXPECT_EQ(delivered, samples.size());
  EXPECT_EQ(processor.audioEnergy().size(), calls);
}

TEST_F(LiveCaptureTest, StreamsAChosenDeviceAndResumesIt) {
  AudioProcessor processor;
  std::vector<float> streamed;
  {
    auto [stream, continuation] = processor.startStreamingRecordingLive(deviceID_);
    while (streamed.size() < 16000) {
      const auto samples = stream.next();
      ASSERT_TRUE(samples);
      streamed.insert(streamed.end(), samples->begin(), samples->end());
    }
    EXPECT_EQ(processor.lastInputDevice(), std::optional<AudioDeviceID>(deviceID_));
  }
  EXPECT_FALSE(processor.isRecording());
  expectTone(streamed);
  const auto recorded = processor.audioSamples();
  ASSERT_GE(recorded.size(), streamed.size());
  EXPECT_TRUE(std::equal(streamed.begin(), streamed.end(), recorded.begin()));

  // A paused device picks up where it stopped.
  processor.startRecordingLive(deviceID_);
  ASSERT_TRUE(waitForSamples(processor, 1600));
  processor.pauseRecording();
  EXPECT_FALSE(processor.isRecording());
  const size_t paused = processor.audioSamples().size();
  processor.resumeRecordingLive(deviceID_);
  EXPECT_TRUE(processor.isRecording());
  EXPECT_TRUE(waitForSamples(processor, paused + 1600));
  processor.stopRecording();
}

}  // namespace
}  // namespace kestrune
