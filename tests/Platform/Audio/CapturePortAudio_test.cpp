// PortAudio capture from a file that ALSA plays as a microphone.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Platform/Audio/AudioError.hpp"
#include "Platform/Audio/CaptureEngine.hpp"
#include "tests/Platform/Audio/FileMicrophone.hpp"

namespace platform::audio {
namespace {

using testsupport::FileMicrophone;

class PortAudioCaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { microphone_ = std::make_unique<FileMicrophone>(); }
  static void TearDownTestSuite() { microphone_.reset(); }

  void SetUp() override {
    if (const auto reason = FileMicrophone::unavailable()) GTEST_SKIP() << *reason;
    const auto found = microphone_->prepare();
    ASSERT_TRUE(found) << "no " << FileMicrophone::deviceName;
    device_ = *found;
  }

  static inline std::unique_ptr<FileMicrophone> microphone_;
  CaptureDevice device_;
};

// Collects what the tap receives.
struct Collector {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<uint32_t> lengths;
  std::vector<float> left;
  std::vector<AudioFormat> formats;

  CaptureEngine::TapHandler handler() {
    return [this](const PCMBuffer& buffer) {
      std::lock_guard guard(lock);
      lengths.push_back(buffer.frameLength());
      formats.push_back(buffer.format());
      const auto samples = buffer.samples(0);
      left.insert(left.end(), samples.begin(), samples.end());
      changed.notify_all();
    };
  }
  bool waitFor(size_t frames) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return left.size() >= frames; });
  }
};

TEST_F(PortAudioCaptureTest, DeliversBuffersOfTheAskedLengthInTheDeviceFormat) {
  const auto engine = CaptureSystem::portAudio()->openEngine(device_.id, 1600);
  EXPECT_EQ(engine->device().name, FileMicrophone::deviceName);
  const AudioFormat format = engine->inputFormat();
  EXPECT_EQ(format.sampleRate, device_.defaultSampleRate);
  EXPECT_EQ(format.channelCount, 2u);  // stereo at most
  EXPECT_FALSE(engine->isRunning());

  Collector collector;
  engine->installTap(collector.handler());
  engine->start();
  EXPECT_TRUE(engine->isRunning());
  const size_t second = static_cast<size_t>(format.sampleRate);
  ASSERT_TRUE(collector.waitFor(second));
  engine->stop();
  EXPECT_FALSE(engine->isRunning());

  std::lock_guard guard(collector.lock);
  for (const uint32_t length : collector.lengths) ASSERT_EQ(length, 1600u);
  for (const auto& seen : collector.formats) ASSERT_EQ(seen, format);
  // The tone arrives unaltered: its pitch over the first second.
  const std::vector<float> first(collector.left.begin(), collector.left.begin() + second);
  EXPECT_NEAR(FileMicrophone::crossings(first), FileMicrophone::expectedCrossings(1.0), 2);
}

TEST_F(PortAudioCaptureTest, PausedOrTappedOffEngineDeliversNothing) {
  const auto engine = CaptureSystem::portAudio()->openEngine(std::nullopt, 800);
  Collector collector;
  engine->installTap(collector.handler());
  engine->start();
  ASSERT_TRUE(collector.waitFor(800));
  engine->pause();
  size_t paused = 0;
  {
    std::lock_guard guard(collector.lock);
    paused = collector.left.size();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::lock_guard guard(collector.lock);
    EXPECT_EQ(collector.left.size(), paused);
  }
  engine->start();
  EXPECT_TRUE(collector.waitFor(paused + 800));
  engine->removeTap();
  size_t removed = 0;
  {
    std::lock_guard guard(collector.lock);
    removed = collector.left.size();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::lock_guard guard(collector.lock);
  EXPECT_EQ(collector.left.size(), removed);
}

TEST_F(PortAudioCaptureTest, UnknownDeviceIsAnError) {
  const auto devices = CaptureSystem::portAudio()->inputDevices();
  uint32_t unknown = 0;
  for (const auto& device : devices) unknown = std::max(unknown, device.id + 1);
  for (const auto& device : devices) EXPECT_GE(device.inputChannels, 1u) << device.name;
  try {
    CaptureSystem::portAudio()->openEngine(unknown + 1000, 1600);
    ADD_FAILURE() << "no error";
  } catch (const AudioError& error) {
    EXPECT_NE(std::string(error.what()).find("No audio input device with id"), std::string::npos);
  }
}

}  // namespace
}  // namespace platform::audio
