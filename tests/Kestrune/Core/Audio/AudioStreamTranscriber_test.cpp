#include "Kestrune/Core/Audio/AudioStreamTranscriber.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "FakeCapture.hpp"
#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Core/TranscribeTask.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using State = AudioStreamTranscriber::State;

TranscriptionSegment segment(int64_t id, float start, float end, std::string text) {
  TranscriptionSegment made;
  made.id = id;
  made.start = start;
  made.end = end;
  made.text = std::move(text);
  return made;
}

std::vector<TranscriptionSegment> fiveSegments() {
  return {segment(0, 0, 1, " One"), segment(1, 1, 2, " two"), segment(2, 2, 3, " three"),
          segment(3, 3, 4, " four"), segment(4, 4, 5, " five")};
}

// Stands in for the model pipeline: every run reports the scripted progress
// to the callback and answers with the scripted segments.
class ScriptedTask : public TranscribeTask {
 public:
  ScriptedTask()
      : TranscribeTask({}, nullptr, std::make_shared<AudioProcessor>(), nullptr, nullptr, nullptr,
                       nullptr, nullptr) {}

  std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                           const std::optional<DecodingOptions>& decodeOptions,
                                           const TranscriptionCallback& callback) override {
    std::lock_guard guard(lock);
    sampleCounts.push_back(audioArray.size());
    clips.push_back(decodeOptions ? decodeOptions->clipTimestamps : std::vector<float>{});
    lastCallback = callback;
    for (const auto& report : progress) answers.push_back(callback(report));
    if (failure) throw *failure;
    return TranscriptionResult::make("", segments, "en", {});
  }

  std::mutex lock;
  std::vector<TranscriptionProgress> progress;
  std::vector<TranscriptionSegment> segments;
  std::optional<WhisperError> failure;
  std::vector<size_t> sampleCounts;
  std::vector<std::vector<float>> clips;
  std::vector<std::optional<bool>> answers;
  TranscriptionCallback lastCallback;
};

struct Rig {
  explicit Rig(bool useVAD = false, DecodingOptions options = {})
      : transcriber(task, processor, options, 2, 0.3f, 4, useVAD,
                    [this](const State&, const State& newState) {
                      std::lock_guard guard(lock);
                      states.push_back(newState);
                    }) {
    transcriber.setRecordPermissionRequest([] { return true; });
  }

  // Seconds of 16 kHz audio straight into the processor, in 0.1 s buffers.
  void feed(double seconds, float level) {
    for (int i = 0; i < static_cast<int>(seconds * 10 + 0.5); ++i) {
      processor->processBuffer(std::vector<float>(1600, level));
    }
  }
  std::vector<State> history() {
    std::lock_guard guard(lock);
    return states;
  }

  std::shared_ptr<testsupport::FakeCaptureSystem> system =
      std::make_shared<testsupport::FakeCaptureSystem>();
  std::shared_ptr<AudioProcessor> processor = std::make_shared<AudioProcessor>(system);
  std::shared_ptr<ScriptedTask> task = std::make_shared<ScriptedTask>();
  std::mutex lock;
  std::vector<State> states;
  AudioStreamTranscriber transcriber;
};

TEST(AudioStreamTranscriberTest, WaitsForSpeechUntilThereIsMoreThanASecond) {
  struct Case {
    const char* name;
    bool useVAD;
    double seconds;
    float level;
    bool transcribes;
  };
  const std::vector<Case> cases{
      {"no audio", false, 0.0, 0.0f, false},
      {"exactly one second", false, 1.0, 0.2f, false},
      {"more than a second", false, 1.5, 0.2f, true},
      {"silence with voice detection", true, 2.0, 0.0f, false},
      {"speech with voice detection", true, 2.0, 0.2f, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.useVAD);
    // A quiet start gives the speech something to stand out against.
    if (c.useVAD) rig.processor->processBuffer(std::vector<float>(1600, 0.0001f));
    rig.feed(c.seconds, c.level);
    rig.transcriber.transcribeCurrentBuffer();
    EXPECT_EQ(rig.task->sampleCounts.size(), c.transcribes ? 1u : 0u);
    EXPECT_EQ(rig.transcriber.state().currentText, c.transcribes ? "" : "Waiting for speech...");
  }
}

TEST(AudioStreamTranscriberTest, WaitingTextNeverReplacesText) {
  Rig rig;
  rig.feed(2, 0.2f);
  rig.transcriber.transcribeCurrentBuffer();
  // The decoder's reports may arrive after the pass that asked for them.
  rig.task->lastCallback(TranscriptionProgress{.text = "Hello"});
  rig.transcriber.transcribeCurrentBuffer();  // nothing new
  EXPECT_EQ(rig.transcriber.state().currentText, "Hello");
}

TEST(AudioStreamTranscriberTest, ConfirmsAllButTheLastTwoSegmentsOnce) {
  Rig rig;
  rig.task->segments = fiveSegments();
  rig.feed(6, 0.2f);
  rig.transcriber.transcribeCurrentBuffer();

  State state = rig.transcriber.state();
  const auto all = fiveSegments();
  EXPECT_EQ(state.confirmedSegments, std::vector(all.begin(), all.begin() + 3));
  EXPECT_EQ(state.unconfirmedSegments, std::vector(all.begin() + 3, all.end()));
  EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 3.0f);
  EXPECT_EQ(state.lastBufferSize, 6u * 16000u);
  EXPECT_EQ(rig.task->clips.front(), std::vector<float>{0.0f});

  // The same segments again: the next pass starts at the confirmed end and
  // nothing is confirmed twice.
  rig.feed(2, 0.2f);
  rig.transcriber.transcribeCurrentBuffer();
  state = rig.transcriber.state();
  EXPECT_EQ(rig.task->clips.back(), std::vector<float>{3.0f});
  EXPECT_EQ(state.confirmedSegments.size(), 3u);
  EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 3.0f);

  // Later segments: the three that are now old enough join the confirmed.
  rig.task->segments.clear();
  for (int i = 3; i < 8; ++i) rig.task->segments.push_back(segment(i, i, i + 1, " more"));
  rig.feed(2, 0.2f);
  rig.transcriber.transcribeCurrentBuffer();
  state = rig.transcriber.state();
  EXPECT_EQ(state.confirmedSegments.size(), 6u);
  EXPECT_EQ(state.confirmedSegments[3].id, 3);
  EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 6.0f);
  EXPECT_EQ(state.unconfirmedSegments.front().id, 6);
  EXPECT_EQ(rig.task->sampleCounts, (std::vector<size_t>{96000, 128000, 160000}));
}

TEST(AudioStreamTranscriberTest, FewSegmentsStayUnconfirmed) {
  Rig rig;
  rig.task->segments = {segment(0, 0, 1, " One"), segment(1, 1, 2, " two")};
  rig.feed(3, 0.2f);
  rig.transcriber.transcribeCurrentBuffer();
  const State state = rig.transcriber.state();
  EXPECT_TRUE(state.confirmedSegments.empty());
  EXPECT_EQ(state.unconfirmedSegments, rig.task->segments);
  EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, 0.0f);
}

TEST(AudioStreamTranscriberTest, ShrinkingProgressKeepsTheLongerTextUnlessItFellBack) {
  Rig rig;
  TranscriptionProgress fallback{.text = "Hel"};
  fallback.timings.totalDecodingFallbacks = 1;
  rig.task->progress = {TranscriptionProgress{.text = "Hello world"},
                        TranscriptionProgress{.text = "Hello"}, fallback};
  rig.feed(2, 0.2f);
  testsupport::LogCapture log(orvane::Logging::LogLevel::info);
  rig.transcriber.transcribeCurrentBuffer();

  const auto history = rig.history();
  ASSERT_GE(history.size(), 5u);
  // lastBufferSize, then one state per progress report, then the result.
  const State& shrunk = history[2];
  EXPECT_EQ(shrunk.currentText, "Hello");
  EXPECT_EQ(shrunk.unconfirmedText, std::vector<std::string>{"Hello world"});
  const State& fellBack = history[3];
  EXPECT_EQ(fellBack.currentText, "Hel");
  EXPECT_EQ(fellBack.currentFallbacks, 1);
  EXPECT_EQ(fellBack.unconfirmedText, std::vector<std::string>{"Hello world"});
  EXPECT_TRUE(log.contains("Fallback occured: 1"));
  EXPECT_TRUE(rig.transcriber.state().unconfirmedText.empty());
}

TEST(AudioStreamTranscriberTest, EarlyStopAnswers) {
  const auto transcriberWith = [](std::optional<float> ratio, std::optional<float> logProb) {
    DecodingOptions options;
    options.compressionRatioThreshold = ratio;
    options.logProbThreshold = logProb;
    return std::make_unique<AudioStreamTranscriber>(std::make_shared<ScriptedTask>(), nullptr,
                                                    options, 2, 0.3f, 20, false);
  };
  const auto strict = transcriberWith(2.4f, -1.0f);
  const auto lenient = transcriberWith(std::nullopt, std::nullopt);
  const std::vector<int64_t> few{1, 2, 3, 4, 5};
  const std::vector<int64_t> repeated(200, 7);
  struct Case {
    const char* name;
    const AudioStreamTranscriber& transcriber;
    TranscriptionProgress progress;
    std::optional<bool> answer;
  };
  const std::vector<Case> cases{
      {"nothing wrong", *strict, {.tokens = few, .avgLogprob = -0.2f}, std::nullopt},
      {"repetition past the window", *strict, {.tokens = repeated}, false},
      {"repetition within the window", *strict, {.tokens = {7, 7, 7, 7}}, std::nullopt},
      {"low log-probability", *strict, {.tokens = few, .avgLogprob = -1.5f}, false},
      {"no log-probability", *strict, {.tokens = few}, std::nullopt},
      {"no log-probability threshold",
       *lenient,
       {.tokens = few, .avgLogprob = -9.0f},
       std::nullopt},
      // Without a ratio threshold any window past its length stops.
      {"no ratio threshold", *lenient, {.tokens = std::vector<int64_t>(21, 1)}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.transcriber.earlyStopAnswer(c.progress), c.answer);
  }
}

TEST(AudioStreamTranscriberTest, LiveLoopTranscribesCapturedAudioUntilStopped) {
  Rig rig(true);
  rig.task->segments = fiveSegments();
  rig.task->progress = {TranscriptionProgress{.text = "One two"}};
  std::promise<void> confirmed;
  std::atomic<bool> signalled = false;
  AudioStreamTranscriber transcriber(
      rig.task, rig.processor, {}, 2, 0.3f, 4, true, [&](const State&, const State& newState) {
        if (!newState.confirmedSegments.empty() && !signalled.exchange(true)) {
          confirmed.set_value();
        }
      });
  transcriber.setRecordPermissionRequest([] { return true; });

  std::thread loop([&] { transcriber.startStreamTranscription(7); });
  std::shared_ptr<testsupport::FakeCaptureEngine> engine;
  for (int i = 0; i < 500 && !(engine = rig.system->latest()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(engine);
  engine->emitMono(std::vector<float>(1600, 0.0001f));
  for (int i = 0; i < 20; ++i) engine->emitMono(std::vector<float>(1600, 0.3f));
  const bool done =
      confirmed.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  transcriber.stopStreamTranscription();
  loop.join();
  ASSERT_TRUE(done);

  const State state = transcriber.state();
  EXPECT_FALSE(state.isRecording);
  EXPECT_EQ(state.confirmedSegments.size(), 3u);
  EXPECT_FALSE(engine->isRunning());
  EXPECT_EQ(engine->stops, 1);
  EXPECT_EQ(state.bufferEnergy.size(), 21u);
  EXPECT_EQ(rig.system->openedIDs(), (std::vector<std::optional<uint32_t>>{7}));
}

TEST(AudioStreamTranscriberTest, StartEndsAtOnceWithoutPermissionOrOnFailure) {
  {
    Rig rig;
    testsupport::LogCapture log(orvane::Logging::LogLevel::error);
    rig.transcriber.setRecordPermissionRequest([] { return false; });
    rig.transcriber.startStreamTranscription();
    EXPECT_TRUE(log.contains("Microphone access was not granted."));
    EXPECT_TRUE(rig.system->opened().empty());
    EXPECT_FALSE(rig.transcriber.state().isRecording);
  }
  {
    Rig rig;
    testsupport::LogCapture log(orvane::Logging::LogLevel::error);
    rig.system->failOpen = "No default audio input device";
    rig.transcriber.startStreamTranscription();
    EXPECT_TRUE(log.contains("No default audio input device"));
    EXPECT_FALSE(rig.transcriber.state().isRecording);
  }
  {
    // A failing transcription ends the loop and the recording.
    Rig rig;
    rig.task->failure = WhisperError::transcriptionFailed("window lost");
    testsupport::LogCapture log(orvane::Logging::LogLevel::error);
    std::thread loop([&] { rig.transcriber.startStreamTranscription(); });
    std::shared_ptr<testsupport::FakeCaptureEngine> engine;
    for (int i = 0; i < 500 && !(engine = rig.system->latest()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(engine);
    for (int i = 0; i < 20; ++i) engine->emitMono(std::vector<float>(1600, 0.3f));
    loop.join();
    EXPECT_TRUE(log.contains("Error: transcriptionFailed"));
    EXPECT_FALSE(rig.transcriber.state().isRecording);
    EXPECT_FALSE(engine->isRunning());
  }
}

}  // namespace
}  // namespace kestrune
