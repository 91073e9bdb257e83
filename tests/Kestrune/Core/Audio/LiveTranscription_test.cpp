// The stream transcriber on a real (generated, random-weight) model: the
// captured audio goes through the whole pipeline. Its text is meaningless;
// what counts is that passes run over the growing recording and end cleanly.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "FakeCapture.hpp"
#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/Audio/AudioStreamTranscriber.hpp"
#include "Kestrune/Core/Kestrune.hpp"
#include "tests/Kestrune/Core/Engine/EngineFixture.hpp"
#include "tests/Support/LogCapture.hpp"
#include "tools/kestrune-convert/WhisperConverter.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune {
namespace {

TEST(LiveTranscriptionTest, TranscribesCapturedSpeechThroughTheModelStages) {
  testing::ModelFolder root(std::vector<std::string>{});
  tools::TestModelDimensions spec;
  spec.tokenizerFolder = std::string(KESTRUNE_SHARED_DIR) + "/tokenizers/multilingual";
  tools::writeTestCheckpoint(root.path() / "checkpoint", spec);
  tools::convertCheckpoint(root.path() / "checkpoint", root.path() / "model");
  KestruneConfig config;
  config.modelFolder = (root.path() / "model").string();
  const auto engine = Kestrune::create(config);

  auto system = std::make_shared<testsupport::FakeCaptureSystem>();
  auto processor = std::make_shared<AudioProcessor>(system);
  DecodingOptions options{.language = "en"};
  options.temperatureFallbackCount = 0;
  options.sampleLength = 8;
  std::promise<void> passed;
  std::atomic<bool> signalled = false;
  AudioStreamTranscriber transcriber(
      engine->audioEncoder(), engine->featureExtractor(), engine->segmentSeeker(),
      engine->textDecoder(), engine->tokenizer(), processor, options, 2, 0.3f, 60, false,
      [&](const AudioStreamTranscriber::State& oldState,
          const AudioStreamTranscriber::State& newState) {
        // A pass over all of the audio has ended when its text is cleared.
        const bool ended = newState.lastBufferSize == 3u * 16000u && newState.currentText.empty() &&
                           newState.unconfirmedText.empty() && oldState != newState;
        if (ended && !signalled.exchange(true)) passed.set_value();
      });
  transcriber.setRecordPermissionRequest([] { return true; });

  testsupport::LogCapture log(orvane::Logging::LogLevel::error);
  std::thread loop([&] { transcriber.startStreamTranscription(); });
  std::shared_ptr<testsupport::FakeCaptureEngine> capture;
  for (int i = 0; i < 1000 && !(capture = system->latest()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(capture);
  const auto speech =
      AudioProcessor::loadAudioAsFloatArray(std::string(KESTRUNE_SHARED_DIR) + "/audio/jfk.flac");
  for (size_t start = 0; start + 1600 <= 3 * 16000; start += 1600) {
    capture->emitMono(std::vector<float>(speech.begin() + start, speech.begin() + start + 1600));
  }
  const bool done =
      passed.get_future().wait_for(std::chrono::seconds(120)) == std::future_status::ready;
  transcriber.stopStreamTranscription();
  loop.join();

  ASSERT_TRUE(done) << "no transcription pass ended";
  EXPECT_FALSE(log.contains("Error"));
  const auto state = transcriber.state();
  EXPECT_FALSE(state.isRecording);
  EXPECT_EQ(state.lastBufferSize, 3u * 16000u);
  EXPECT_FALSE(capture->isRunning());
}

}  // namespace
}  // namespace kestrune
