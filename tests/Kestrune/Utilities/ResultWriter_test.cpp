#include "Kestrune/Utilities/ResultWriter.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// A fresh directory under the build tree, removed afterwards.
class ResultWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(KESTRUNE_BINARY_DIR) / "tests-scratch" /
           ("ResultWriter-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
};

WordTiming word(std::string text, float start, float end) {
  return WordTiming{std::move(text), {1}, start, end, 0.9f};
}

TranscriptionSegment segment(float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
  return TranscriptionSegment{
      .start = start, .end = end, .text = std::move(text), .words = std::move(words)};
}

std::shared_ptr<TranscriptionResult> resultWith(std::vector<TranscriptionSegment> segments) {
  return TranscriptionResult::make("text", std::move(segments), "en", {});
}

TEST_F(ResultWriterTest, FormatTimeTruncatesEveryPart) {
  const WriteSRT writer(dir_.string());
  struct Case {
    float seconds;
    bool hours;
    const char* marker;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {3.5f, true, ",", "00:00:03,500"},       {65.25f, false, ".", "01:05.250"},
      {3725.0f, false, ".", "01:02:05.000"},   {0.0f, false, ".", "00:00.000"},
      {59.9999f, false, ".", "00:59.999"},     {3599.5f, false, ".", "59:59.500"},
      {36000.0f, true, "%d", "10:00:00%d000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(writer.formatTime(c.seconds, c.hours, c.marker), c.expected) << c.seconds;
  }
}

TEST_F(ResultWriterTest, SRTWritesOneBlockPerWordWhenASegmentHasWords) {
  const auto result = resultWith({
      segment(0.0f, 1.5f, " Hello there",
              std::vector{word(" Hello", 0.0f, 0.5f), word(" there", 0.5f, 1.5f)}),
      segment(1.5f, 3.25f, " no words"),
      segment(3.25f, 4.0f, " empty list", std::vector<WordTiming>{}),
  });
  const auto outcome = WriteSRT(dir_.string()).write(*result, "talk");
  ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
  EXPECT_EQ(std::get<std::string>(outcome), "file://" + (dir_ / "talk.srt").string());
  EXPECT_EQ(read(dir_ / "talk.srt"),
            "1\n00:00:00,000 --> 00:00:00,500\n Hello\n\n"
            "2\n00:00:00,500 --> 00:00:01,500\n there\n\n"
            "3\n00:00:01,500 --> 00:00:03,250\n no words\n\n"
            "4\n00:00:03,250 --> 00:00:04,000\n empty list\n\n");
  EXPECT_EQ(entries(), std::vector<std::string>{"talk.srt"});
}

TEST_F(ResultWriterTest, VTTShowsHoursOnlyWhenNeeded) {
  const auto result = resultWith({
      segment(3599.0f, 3601.5f, " across the hour"),
      segment(3725.0f, 3726.0f, " later", std::vector{word(" later", 3725.0f, 3725.75f)}),
  });
  ASSERT_TRUE(std::holds_alternative<std::string>(WriteVTT(dir_.string()).write(*result, "v")));
  EXPECT_EQ(read(dir_ / "v.vtt"),
            "WEBVTT\n\n"
            "59:59.000 --> 01:00:01.500\n across the hour\n\n"
            "01:02:05.000 --> 01:02:05.750\n later\n\n");
}

TEST_F(ResultWriterTest, ResultWithoutSegmentsGivesEmptySubtitles) {
  const auto result = resultWith({});
  ASSERT_TRUE(std::holds_alternative<std::string>(WriteSRT(dir_.string()).write(*result, "e")));
  ASSERT_TRUE(std::holds_alternative<std::string>(WriteVTT(dir_.string()).write(*result, "e")));
  EXPECT_EQ(read(dir_ / "e.srt"), "");
  EXPECT_EQ(read(dir_ / "e.vtt"), "WEBVTT\n\n");
}

TEST_F(ResultWriterTest, JSONFileReadsBackAsTheResult) {
  const auto result = TranscriptionResult::make(
      " Hi", {segment(0.0f, 1.0f, " Hi", std::vector{word(" Hi", 0.0f, 1.0f)})}, "en",
      TranscriptionTimings{.fullPipeline = 1.5});
  std::ofstream(dir_ / "r.json") << "old content that is longer than nothing";
  const auto outcome = WriteJSON(dir_.string()).write(*result, "r");
  ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
  EXPECT_EQ(std::get<std::string>(outcome), "file://" + (dir_ / "r.json").string());
  const std::string text = read(dir_ / "r.json");
  EXPECT_NE(text.find('\n'), std::string::npos);  // pretty-printed
  EXPECT_EQ(TranscriptionResult::fromJSON(text)->toStruct(), result->toStruct());
  EXPECT_TRUE(nlohmann::json::parse(text)["seekTime"].is_null());
  EXPECT_EQ(entries(), std::vector<std::string>{"r.json"});
}

TEST_F(ResultWriterTest, MissingDirectoryFailsAndWritesNothing) {
  const fs::path missing = dir_ / "missing";
  const auto result = resultWith({segment(0, 1, " x")});
  std::vector<std::unique_ptr<ResultWriting>> writers;
  writers.push_back(std::make_unique<WriteJSON>(missing.string()));
  writers.push_back(std::make_unique<WriteSRT>(missing.string()));
  writers.push_back(std::make_unique<WriteVTT>(missing.string()));
  for (const auto& writer : writers) {
    EXPECT_EQ(writer->outputDir(), missing.string());
    const auto outcome = writer->write(*result, "out");
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcome));
    try {
      std::rethrow_exception(std::get<std::exception_ptr>(outcome));
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
  }
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(entries().empty());
}

TEST_F(ResultWriterTest, UnencodableResultFailsWithoutTouchingTheTarget) {
  const auto result = resultWith({});
  result->setTimings(TranscriptionTimings{.fullPipeline = std::numeric_limits<double>::infinity()});
  std::ofstream(dir_ / "keep.json") << "previous";
  const auto outcome = WriteJSON(dir_.string()).write(*result, "keep");
  EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(outcome));
  EXPECT_EQ(read(dir_ / "keep.json"), "previous");
  EXPECT_EQ(entries(), std::vector<std::string>{"keep.json"});
}

TEST_F(ResultWriterTest, FileNamesAreEscapedInTheURL) {
  const auto outcome = WriteVTT(dir_.string()).write(*resultWith({}), "my talk #1");
  ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
  EXPECT_TRUE(std::get<std::string>(outcome).ends_with("/my%20talk%20%231.vtt"));
  EXPECT_TRUE(fs::exists(dir_ / "my talk #1.vtt"));
}

}  // namespace
}  // namespace kestrune
