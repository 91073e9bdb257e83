#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "Kestrune/Core/Audio/AudioProcessor+IncrementalLoading.hpp"
#include "Kestrune/Core/Audio/EnergyVAD.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Platform/Audio/AudioFixtures.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;

// Waits (bounded, so a fault fails instead of hanging) until `ready`.
template <typename Condition>
bool eventually(Condition ready) {
  for (int i = 0; i < 2000 && !ready(); ++i) std::this_thread::sleep_for(5ms);
  return ready();
}

class IncrementalLoading : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new audiotest::TemporaryFolder();
    // 75 s at 16 kHz: a tone that pauses for half a second every 7 s.
    audiotest::generate(folder_->file("speech.wav"), "0.4*sin(2*PI*220*t)*gt(mod(t\\,7)\\,0.5)",
                        16000, 75.0, "pcm_f32le");
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static std::string path() { return folder_->file("speech.wav"); }

  static audiotest::TemporaryFolder* folder_;
};

audiotest::TemporaryFolder* IncrementalLoading::folder_ = nullptr;

TEST_F(IncrementalLoading, ChunksTileTheFileInOrder) {
  const std::vector<float> whole = AudioProcessor::loadAudioAsFloatArray(path());
  auto stream =
      AudioProcessor::loadFileIncrementally(path(), ChannelMode::sumChannels(), 10.0, 2, 480000);
  int64_t expectedStart = 0;
  int count = 0;
  while (auto chunk = stream.next()) {
    const AudioChunk& audio = chunk->audioChunk;
    EXPECT_EQ(audio.seekOffsetIndex, expectedStart);
    EXPECT_LE(audio.audioSamples.size(), 480000u);
    ASSERT_LE(audio.seekOffsetIndex + static_cast<int64_t>(audio.audioSamples.size()),
              static_cast<int64_t>(whole.size()));
    EXPECT_TRUE(std::equal(audio.audioSamples.begin(), audio.audioSamples.end(),
                           whole.begin() + audio.seekOffsetIndex));
    expectedStart += static_cast<int64_t>(audio.audioSamples.size());
    chunk->completionSignal();
    ++count;
  }
  EXPECT_GE(count, 3);
  EXPECT_GT(expectedStart, static_cast<int64_t>(whole.size()) - 16000);
}

// With room for one chunk the reader stops after the first until the
// consumer signals that it is done with it.
TEST_F(IncrementalLoading, OneBufferedChunkWaitsForTheConsumer) {
  auto stream =
      AudioProcessor::loadFileIncrementally(path(), ChannelMode::sumChannels(), 30.0, 1, 480000);
  auto first = stream.next();
  ASSERT_TRUE(first);
  ASSERT_TRUE(eventually([&] { return stream.controller().waitingProducerCount() == 1; }));
  EXPECT_EQ(stream.pendingChunkCount(), 0u);
  EXPECT_EQ(stream.controller().activeChunks(), 1);

  first->completionSignal();
  first->completionSignal();  // a second call changes nothing
  auto second = stream.next();
  ASSERT_TRUE(second);
  EXPECT_GT(second->audioChunk.seekOffsetIndex, 0);
  EXPECT_EQ(stream.controller().activeChunks(), 1);
}

// Ending the stream releases a reader that waits for a slot.
TEST_F(IncrementalLoading, CancellingReleasesAWaitingReader) {
  auto stream =
      AudioProcessor::loadFileIncrementally(path(), ChannelMode::sumChannels(), 30.0, 1, 480000);
  ASSERT_TRUE(stream.next());
  ASSERT_TRUE(eventually([&] { return stream.controller().waitingProducerCount() == 1; }));
  auto finished = std::async(std::launch::async, [&] {
    stream.cancel();
    return stream.next().has_value();
  });
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(finished.get());
  EXPECT_TRUE(stream.controller().isTerminated());
}

TEST_F(IncrementalLoading, BadArgumentsFailBeforeReading) {
  const struct {
    std::string path;
    double seconds;
    int buffered;
    std::string message;
  } cases[] = {
      {path(), 0.0, 2, "Incremental chunk duration must be greater than 0"},
      {path(), -1.0, 2, "Incremental chunk duration must be greater than 0"},
      {path(), std::nan(""), 2, "Incremental chunk duration must be greater than 0"},
      {path(), INFINITY, 2, "Incremental chunk duration must be greater than 0"},
      {path(), 10.0, 0, "Incremental chunk buffer size must be greater than 0"},
      {"/no/such/file.wav", 10.0, 2, "Audio file not found at path: /no/such/file.wav"},
  };
  for (const auto& item : cases) {
    try {
      AudioProcessor::loadFileIncrementally(item.path, ChannelMode::sumChannels(), item.seconds,
                                            item.buffered, 480000);
      ADD_FAILURE() << item.message;
    } catch (const WhisperError& error) {
      EXPECT_EQ(error, WhisperError::loadAudioFailed(item.message));
    }
  }
}

TEST(IncrementalLoadingErrors, AnUnreadableFileEndsTheStreamWithItsError) {
  audiotest::TemporaryFolder folder;
  const std::string corrupt = folder.file("corrupt.wav");
  audiotest::writeBytes(corrupt, std::string(1000, '\x11'));
  auto stream = AudioProcessor::loadFileIncrementally(corrupt, ChannelMode::sumChannels(), 10.0, 2,
                                                      480000, std::make_shared<EnergyVAD>());
  try {
    stream.next();
    ADD_FAILURE() << "no error";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), WhisperError::Case::loadAudioFailed);
  }
}

TEST(IncrementalLoadController, SlotsFollowTheBufferLimit) {
  IncrementalLoadController controller(2);
  controller.requestChunkSlot();
  controller.requestChunkSlot();
  EXPECT_EQ(controller.activeChunks(), 2);
  auto third = std::async(std::launch::async, [&] { controller.requestChunkSlot(); });
  ASSERT_TRUE(eventually([&] { return controller.waitingProducerCount() == 1; }));
  EXPECT_EQ(third.wait_for(0ms), std::future_status::timeout);
  controller.signalChunkConsumed();
  ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(controller.activeChunks(), 2);

  auto blocked = std::async(std::launch::async, [&] { controller.requestChunkSlot(); });
  ASSERT_TRUE(eventually([&] { return controller.waitingProducerCount() == 1; }));
  controller.resumeWaitingProducers();
  ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(controller.activeChunks(), 2);
  controller.requestChunkSlot();  // terminated: returns at once
  EXPECT_TRUE(controller.isTerminated());

  IncrementalLoadController idle(1);
  idle.signalChunkConsumed();
  EXPECT_EQ(idle.activeChunks(), 0);
}

}  // namespace
}  // namespace kestrune
