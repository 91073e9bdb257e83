#include "Platform/Audio/AudioFile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Platform/Audio/AudioError.hpp"
#include "tests/Platform/Audio/AudioFixtures.hpp"

namespace platform::audio {
namespace {

using audiotest::generate;

std::vector<std::vector<float>> readAll(AudioFile& file, uint32_t step) {
  const uint32_t channels = file.processingFormat().channelCount;
  std::vector<std::vector<float>> planes(channels);
  PCMBuffer buffer(file.processingFormat(), step);
  while (true) {
    file.read(buffer, step);
    if (buffer.frameLength() == 0) break;
    for (uint32_t c = 0; c < channels; ++c) {
      const auto samples = buffer.samples(c);
      planes[c].insert(planes[c].end(), samples.begin(), samples.end());
    }
  }
  return planes;
}

struct FormatCase {
  const char* name;
  const char* codec;
  int rate;
  int channels;
  double seconds;
};

void PrintTo(const FormatCase& format, std::ostream* out) {
  *out << format.name;
}

class AudioFileFormats : public ::testing::TestWithParam<FormatCase> {};

// Each channel carries its own tone (left 0.5 at 440 Hz, right 0.25 at
// 1000 Hz), so a swapped or mixed channel shows.
TEST_P(AudioFileFormats, DecodesLengthRateAndChannels) {
  const FormatCase& format = GetParam();
  audiotest::TemporaryFolder folder;
  const std::string path = folder.file(format.name);
  const std::string expressions =
      format.channels == 1 ? "0.5*sin(2*PI*440*t)" : "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*1000*t)";
  generate(path, expressions, format.rate, format.seconds, format.codec);

  AudioFile file(path);
  EXPECT_EQ(file.processingFormat(), (AudioFormat{static_cast<double>(format.rate),
                                                  static_cast<uint32_t>(format.channels)}));
  const auto expectedLength = static_cast<int64_t>(std::llround(format.rate * format.seconds));
  EXPECT_EQ(file.length(), expectedLength);

  const auto planes = readAll(file, 4096);
  ASSERT_EQ(planes.size(), static_cast<size_t>(format.channels));
  EXPECT_EQ(static_cast<int64_t>(planes[0].size()), expectedLength);
  EXPECT_NEAR(audiotest::peak(planes[0]), 0.5f, 0.01f);
  EXPECT_NEAR(audiotest::toneLevel(planes[0], 440, format.rate), 0.25, 0.01);
  if (format.channels == 2) {
    EXPECT_NEAR(audiotest::peak(planes[1]), 0.25f, 0.01f);
    EXPECT_NEAR(audiotest::toneLevel(planes[1], 1000, format.rate), 0.125, 0.01);
  }
  EXPECT_EQ(file.framePosition(), expectedLength);
}

INSTANTIATE_TEST_SUITE_P(Containers, AudioFileFormats,
                         ::testing::Values(FormatCase{"stereo44k.wav", "", 44100, 2, 1.0},
                                           FormatCase{"stereo44k.flac", "", 44100, 2, 1.0},
                                           FormatCase{"mono16k.wav", "", 16000, 1, 2.5},
                                           FormatCase{"float48k.wav", "pcm_f32le", 48000, 2, 0.75},
                                           FormatCase{"u8_22k.wav", "pcm_u8", 22050, 1, 1.0},
                                           FormatCase{"mono8k.flac", "", 8000, 1, 3.0}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// Reading from any position after a seek gives the frames that a straight
// read gives at that position, in both containers and across a seek back.
TEST(AudioFile, SeekThenReadMatchesStraightRead) {
  audiotest::TemporaryFolder folder;
  for (const std::string name : {"sweep.wav", "sweep.flac"}) {
    const std::string path = folder.file(name);
    generate(path, "0.6*sin(2*PI*(200+400*t)*t)|0.3*sin(2*PI*(900-100*t)*t)", 44100, 4.0);
    AudioFile reference(path);
    const auto all = readAll(reference, 100000);
    AudioFile file(path);
    for (const int64_t start : {int64_t{100000}, int64_t{12345}, int64_t{0}, int64_t{176399}}) {
      SCOPED_TRACE(name + " from " + std::to_string(start));
      file.setFramePosition(start);
      EXPECT_EQ(file.framePosition(), start);
      PCMBuffer buffer(file.processingFormat(), 3000);
      file.read(buffer, 3000);
      const auto expected = std::min<int64_t>(3000, file.length() - start);
      ASSERT_EQ(buffer.frameLength(), expected);
      for (uint32_t c = 0; c < 2; ++c) {
        const auto samples = buffer.samples(c);
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), all[c].begin() + start));
      }
    }
  }
}

TEST(AudioFile, BoundedReadsNeverExceedTheRequestOrCapacity) {
  audiotest::TemporaryFolder folder;
  const std::string path = folder.file("tone.wav");
  generate(path, "0.5*sin(2*PI*440*t)", 16000, 1.0);
  AudioFile file(path);
  PCMBuffer buffer(file.processingFormat(), 1000);
  file.read(buffer, 700);
  EXPECT_EQ(buffer.frameLength(), 700u);
  file.read(buffer, 5000);
  EXPECT_EQ(buffer.frameLength(), 1000u);
  EXPECT_EQ(file.framePosition(), 1700);
  file.setFramePosition(15900);
  file.read(buffer, 1000);
  EXPECT_EQ(buffer.frameLength(), 100u);
  file.read(buffer, 1000);
  EXPECT_EQ(buffer.frameLength(), 0u);
}

// What cannot be opened is reported with the library's reason and the path.
TEST(AudioFile, UnreadableFilesThrowWithTheReason) {
  audiotest::TemporaryFolder folder;
  const std::string wav = folder.file("good.wav");
  generate(wav, "0.5*sin(2*PI*440*t)", 16000, 1.0);
  std::string noise(4096, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty.wav", ""}, {"text.wav", "just some words, not audio\n"}, {"noise.bin", noise}};
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    const std::string path = folder.file(item.name);
    audiotest::writeBytes(path, item.bytes);
    try {
      AudioFile file(path);
      ADD_FAILURE() << "opened " << item.name;
    } catch (const AudioError& error) {
      EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
  }
  const std::string header = folder.file("header.wav");
  audiotest::truncateCopy(wav, header, 20);
  EXPECT_THROW(AudioFile{header}, AudioError);
  EXPECT_THROW(AudioFile{folder.file("missing.wav")}, AudioError);
}

// A file cut off mid-data decodes up to the cut and then ends cleanly.
TEST(AudioFile, TruncatedDataEndsEarlyWithoutFailing) {
  audiotest::TemporaryFolder folder;
  const std::string wav = folder.file("long.wav");
  generate(wav, "0.5*sin(2*PI*440*t)", 16000, 2.0);
  const std::string cut = folder.file("cut.wav");
  std::ifstream in(wav, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t dataStart = bytes.find("data") + 8;
  audiotest::truncateCopy(wav, cut, dataStart + 2 * 8000);
  AudioFile file(cut);
  const auto planes = readAll(file, 4096);
  EXPECT_EQ(planes[0].size(), 8000u);
}

}  // namespace
}  // namespace platform::audio
