#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <variant>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"
#include "tests/Platform/Audio/AudioFixtures.hpp"
#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using audiotest::generate;

const std::string jfkPath = std::string(KESTRUNE_SHARED_DIR) + "/audio/jfk.flac";

// Generated once for the whole suite: ffmpeg start-up dominates the time.
class AudioLoading : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new audiotest::TemporaryFolder();
    generate(path("stereo44k.wav"), "0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t)", 44100, 1.0);
    generate(path("stereo44k.flac"), "0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t)", 44100, 1.0);
    generate(path("leftOnly.wav"), "0.5*sin(2*PI*440*t)|0", 44100, 1.0);
    generate(path("mono16k.wav"), "0.3*sin(2*PI*300*t)", 16000, 2.0, "pcm_f32le");
    generate(path("channels.wav"), "0.5*sin(2*PI*440*t)|0.2*sin(2*PI*1000*t)", 48000, 1.0);
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static std::string path(const std::string& name) { return folder_->file(name); }

  static audiotest::TemporaryFolder* folder_;
  AudioProcessor processor_;
};

audiotest::TemporaryFolder* AudioLoading::folder_ = nullptr;

std::string loadFailureText(const std::function<void()>& body) {
  try {
    body();
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.kind(), WhisperError::Case::loadAudioFailed) << error.what();
    return error.message();
  }
  ADD_FAILURE() << "no error";
  return {};
}

TEST_F(AudioLoading, OneSecondAt44kBecomes16000MonoSamples) {
  for (const std::string name : {"stereo44k.wav", "stereo44k.flac"}) {
    SCOPED_TRACE(name);
    const auto buffer = processor_.loadAudio(path(name));
    EXPECT_EQ(buffer.format(), (platform::audio::AudioFormat{16000, 1}));
    EXPECT_EQ(buffer.frameCapacity(), 16000u);
    EXPECT_EQ(buffer.frameLength(), 16000u);
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path(name)).size(), 16000u);
  }
}

// The resampled tone keeps its frequency and level (0.5 peak), and the
// mixdown of two equal channels does not double it.
TEST_F(AudioLoading, ResampledSineKeepsFrequencyAndLevel) {
  const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(path("stereo44k.flac"));
  const std::span<const float> middle(samples.data() + 800, 14400);
  EXPECT_NEAR(audiotest::toneLevel(middle, 440, 16000), 0.25, 0.005);
  EXPECT_LT(audiotest::toneLevel(middle, 600, 16000), 0.01);
  EXPECT_NEAR(audiotest::peak(middle), 0.5f, 0.01f);
  EXPECT_NEAR(audiotest::rms(middle), 0.5f / std::sqrt(2.0f), 0.005f);
}

TEST_F(AudioLoading, StereoMixKeepsTheLoudestChannelsPeak) {
  const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(path("leftOnly.wav"));
  EXPECT_NEAR(audiotest::peak(std::span<const float>(samples).subspan(100, 15800)), 0.5f, 0.01f);
}

TEST_F(AudioLoading, ChannelModesPickTheirChannels) {
  const struct {
    ChannelMode mode;
    double level440;
    double level1000;
  } cases[] = {
      {ChannelMode::specificChannel(0), 0.25, 0},
      {ChannelMode::specificChannel(1), 0, 0.1},
      {ChannelMode::specificChannel(3), 0.25, 0},
      {ChannelMode::sumChannels(std::vector<int>{1}), 0, 0.1},
      {ChannelMode::sumChannels(std::vector<int>{5}), 0.25, 0},
  };
  for (const auto& item : cases) {
    const std::vector<float> samples =
        AudioProcessor::loadAudioAsFloatArray(path("channels.wav"), item.mode);
    ASSERT_EQ(samples.size(), 16000u);
    const std::span<const float> middle(samples.data() + 800, 14400);
    EXPECT_NEAR(audiotest::toneLevel(middle, 440, 16000), item.level440, 0.005);
    EXPECT_NEAR(audiotest::toneLevel(middle, 1000, 16000), item.level1000, 0.005);
  }
}

// A 16 kHz mono file is read as it is, with no resampling in between.
TEST_F(AudioLoading, SixteenKilohertzMonoIsReadWithoutConversion) {
  testsupport::LogCapture log;
  const auto buffer =
      processor_.loadAudio(path("mono16k.wav"), ChannelMode::sumChannels(), 0.5, 1.5);
  EXPECT_EQ(buffer.frameLength(), 16000u);
  EXPECT_FALSE(log.contains("Resampling"));
  EXPECT_TRUE(
      log.contains("Audio source details - Sample Rate: 16000.0 Hz, Channel Count: 1, "
                   "Frame Length: 32000, Duration: 2.0s"));
  EXPECT_TRUE(
      log.contains("Audio buffer details - Sample Rate: 16000.0 Hz, Channel Count: 1, "
                   "Frame Length: 16000, Duration: 1.0s"));
  for (uint32_t i = 0; i < buffer.frameLength(); i += 997) {
    const double t = (8000.0 + i) / 16000.0;
    EXPECT_NEAR(buffer.samples(0)[i], 0.3 * std::sin(2 * M_PI * 300 * t), 1e-5);
  }
}

TEST_F(AudioLoading, TimeRangesSelectFrames) {
  const struct {
    std::optional<double> start;
    std::optional<double> end;
    size_t frames;
  } cases[] = {{0.0, std::nullopt, 32000},
               {std::nullopt, 0.25, 4000},
               {1.0, 5.0, 16000},
               {2.0, std::nullopt, 0},
               {0.5, 0.5, 0}};
  for (const auto& item : cases) {
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path("mono16k.wav"), ChannelMode::sumChannels(),
                                                    item.start, item.end)
                  .size(),
              item.frames);
  }
  EXPECT_EQ(processor_.loadAudio(path("stereo44k.wav"), ChannelMode::sumChannels(), 0.25, 0.75)
                .frameLength(),
            8000u);
  EXPECT_EQ(loadFailureText([&] {
              processor_.loadAudio(path("mono16k.wav"), ChannelMode::sumChannels(), 1.5, 1.0);
            }),
            "Invalid audio time range");
  EXPECT_EQ(loadFailureText([&] {
              processor_.loadAudio(path("mono16k.wav"), ChannelMode::sumChannels(), -1.0);
            }),
            "Invalid audio time range");
}

TEST_F(AudioLoading, SmallReadLimitGivesTheSameSamples) {
  const auto whole = processor_.loadAudio(path("channels.wav"));
  const auto pieces = processor_.loadAudio(path("channels.wav"), ChannelMode::sumChannels(), 0.0,
                                           std::nullopt, 4801);
  ASSERT_EQ(whole.frameLength(), pieces.frameLength());
  float largest = 0;
  for (uint32_t i = 0; i < whole.frameLength(); ++i) {
    largest = std::max(largest, std::fabs(whole.samples(0)[i] - pieces.samples(0)[i]));
  }
  EXPECT_LT(largest, 1e-5f);
}

TEST_F(AudioLoading, SharedRecordingHasItsLengthAndRate) {
  platform::audio::AudioFile file = AudioProcessor::openAudioFile(jfkPath);
  EXPECT_EQ(file.processingFormat(), (platform::audio::AudioFormat{44100, 2}));
  EXPECT_EQ(file.length(), 485100);
  const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(jfkPath);
  EXPECT_EQ(samples.size(), 176000u);
  EXPECT_GT(audiotest::peak(samples), 0.1f);
  EXPECT_LE(audiotest::peak(samples), 1.0f);
}

// Files that cannot be read fail with loadAudioFailed and a message that
// says why; none crashes.
TEST_F(AudioLoading, UnreadableFilesFailWithLoadAudioFailed) {
  const std::string missing = path("missing.wav");
  EXPECT_EQ(loadFailureText([&] { processor_.loadAudio(missing); }),
            "Resource path does not exist " + missing);
  EXPECT_EQ(loadFailureText([&] { AudioProcessor::loadAudioAsFloatArray(missing); }),
            "Resource path does not exist " + missing);

  const std::string corrupt = path("corrupt.wav");
  audiotest::writeBytes(corrupt, std::string(3000, '\x5a'));
  const std::string header = path("header.flac");
  audiotest::truncateCopy(path("stereo44k.flac"), header, 30);
  for (const std::string& file : {corrupt, header}) {
    SCOPED_TRACE(file);
    const std::string text = loadFailureText([&] { AudioProcessor::loadAudioAsFloatArray(file); });
    EXPECT_EQ(text.rfind("Failed to open audio file at " + file + ": ", 0), 0u) << text;
  }
}

// A FLAC file cut off in its data ends in a damaged frame, which fails the
// whole read rather than passing for complete audio.
TEST_F(AudioLoading, TruncatedDataFailsTheRead) {
  const std::string cut = path("cut.flac");
  audiotest::truncateCopy(path("stereo44k.flac"), cut,
                          std::filesystem::file_size(path("stereo44k.flac")) / 2);
  testsupport::LogCapture log;
  EXPECT_EQ(loadFailureText([&] { AudioProcessor::loadAudioAsFloatArray(cut); }),
            "Failed to process audio buffer");
  EXPECT_TRUE(log.contains("Error reading audio file: Failed to decode audio of " + cut));
}

// Long files are converted in 600-second segments; the joint between two
// must not show in the signal.
TEST(AudioLoadingSegments, SegmentsJoinWithoutAClick) {
  audiotest::TemporaryFolder folder;
  const std::string file = folder.file("long.flac");
  generate(file, "0.5*sin(2*PI*440*t)", 8000, 601.0);
  const std::vector<float> samples = AudioProcessor::loadAudioAsFloatArray(file);
  ASSERT_EQ(samples.size(), 601u * 16000);
  double worst = 0;
  for (size_t i = 600 * 16000 - 800; i < 600 * 16000 + 800; ++i) {
    const double ideal = 0.5 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 16000);
    worst = std::max(worst, std::fabs(samples[i] - ideal));
  }
  EXPECT_LT(worst, 1e-3);
}

TEST_F(AudioLoading, ManyFilesComeBackInPathOrder) {
  const std::vector<std::string> paths = {path("mono16k.wav"), path("nothing.wav"),
                                          path("stereo44k.wav")};
  const auto outcomes = processor_.loadAudio(paths, ChannelMode::sumChannels());
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(std::get<std::vector<float>>(outcomes[0]).size(), 32000u);
  ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[1]));
  EXPECT_EQ(orvane::errorText(std::get<std::exception_ptr>(outcomes[1])),
            "loadAudioFailed(\"Resource path does not exist " + paths[1] + "\")");
  EXPECT_EQ(std::get<std::vector<float>>(outcomes[2]).size(), 16000u);
}

TEST_F(AudioLoading, AsyncLoadSumsAllChannels) {
  auto pending = processor_.loadAudioAsync(path("leftOnly.wav"));
  const auto buffer = pending.get();
  EXPECT_EQ(buffer.frameLength(), 16000u);
  EXPECT_NEAR(audiotest::peak(buffer.samples(0).subspan(100, 15800)), 0.5f, 0.01f);
  EXPECT_THROW(processor_.loadAudioAsync(path("nothing.wav")).get(), WhisperError);
}

}  // namespace
}  // namespace kestrune
